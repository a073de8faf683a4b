#!/bin/sh
# The checks CI runs after the README's test command and the sanitizer run: the Linux tests in
# the other build types (g++ Release and Debug, clang), the threaded tests under ThreadSanitizer,
# the formatting check, clang-tidy on the driver's sources, and every fuzz target for a bounded time under AddressSanitizer and
# UndefinedBehaviorSanitizer. Each step prints how long it took; every step runs, and the script
# fails when any of them failed.
#
# Usage: sh scripts/ci-matrix.sh [STEP...]
#   steps: release debug clang tsan format tidy fuzz (default: all, in this order)
# Environment:
#   KIV_FUZZ_SECONDS  how long each fuzz target runs (default 30)
#   KIV_FUZZ_SKIP     fuzz targets not run (names as in fuzz/, e.g. "kiv_main_fuzz")
#   KIV_JOBS          parallel build jobs (default: the number of processors)
set -eu
script="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
cd "$(dirname "$0")/.."
jobs=${KIV_JOBS:-$(nproc 2>/dev/null || echo 2)}
fuzz_seconds=${KIV_FUZZ_SECONDS:-30}
fuzz_skip=${KIV_FUZZ_SKIP:-}
all_steps="release debug clang tsan format tidy fuzz"

usage() {
    sed -n '2,14p' "$script" | sed 's/^# \{0,1\}//'
}

# Builds a preset and runs its tests.
build_and_test() {
    cmake --preset "$1"
    cmake --build --preset "$1" -j "$jobs"
    ctest --preset "$1"
}

# The C and C++ files of the tree: those git tracks, or every one when this is no git checkout.
source_files() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp'
    else
        find bench fuzz include qorpro sim src tests tools -type f \
            \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) | sort
    fi
}

step_release() { build_and_test linux-release; }
step_debug() { build_and_test linux-debug; }
step_clang() { build_and_test linux-clang; }
# The tests whose threads share the instance: the receiver, the lifecycle, the badge table's
# reload beside look-ups, the port functions, the link and write tests on the simulated line;
# kivhost's own threads: its view under a storm, a run of four lines, the MQTT gateway.
step_tsan() { TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build_and_test linux-tsan; }

step_format() {
    clang-format --version
    source_files | xargs clang-format --dry-run --Werror
    echo "$(source_files | wc -l) files formatted as .clang-format says"
}

# clang-tidy over the driver's sources that the Linux build compiles, with that build's compile
# database; any finding fails.
step_tidy() {
    [ -f build/linux/compile_commands.json ] || cmake --preset linux >/dev/null
    files=$(source_files | grep '^src/.*\.cpp$' | while read -r f; do
        grep -q "\"file\": \"$PWD/$f\"" build/linux/compile_commands.json && echo "$f"; done)
    clang-tidy --version | grep -i version
    # Its own messages ("N warnings generated", for system headers) go to a file; the findings
    # come on the standard output.
    if ! echo "$files" | xargs -P "$jobs" -n 4 clang-tidy -p build/linux --quiet \
        --warnings-as-errors='*' 2>build/linux/clang-tidy.log; then
        cat build/linux/clang-tidy.log
        return 1
    fi
    echo "$(echo "$files" | wc -l) files without a finding"
}

# Builds the fuzz targets, runs each once over its seeds, then fuzzes each for fuzz_seconds on a
# copy of its seeds (new inputs go to build/fuzz/corpus, never into the tree). A crash, a leak,
# a time-out or a sanitizer report fails the step; the reproducer lands in build/fuzz/artifacts.
step_fuzz() {
    cmake --preset fuzz
    cmake --build --preset fuzz -j "$jobs"
    ctest --preset fuzz
    mkdir -p build/fuzz/artifacts
    failed=""
    for source in fuzz/*_fuzz.cpp; do
        target=$(basename "$source" .cpp)
        case " $fuzz_skip " in
        *" $target "*) echo "-- $target: SKIPPED (KIV_FUZZ_SKIP)"; continue ;;
        esac
        corpus=build/fuzz/corpus/$target
        log=build/fuzz/$target.log
        rm -rf "$corpus" && mkdir -p "$corpus"
        if build/fuzz/bin/"$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/"$target"- \
            "$corpus" fuzz/corpus/"$target" >"$log" 2>&1; then
            echo "-- $target: $(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}') runs," \
                "$(find "$corpus" -type f | wc -l) new inputs, no crash"
        else
            echo "-- $target: FAILED; the end of $log:"
            tail -n 60 "$log"
            failed="$failed $target"
        fi
    done
    [ -z "$failed" ] || { echo "fuzz targets that failed:$failed"; return 1; }
}

if [ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ]; then
    usage
    exit 0
fi
# One step in a process of its own, so that "set -e" holds inside it.
if [ "${1:-}" = "--step" ]; then
    "step_$2"
    exit 0
fi

steps=${*:-$all_steps}
for s in $steps; do
    case " $all_steps " in
    *" $s "*) ;;
    *) echo "ci-matrix.sh: unknown step '$s' (steps: $all_steps)" >&2; exit 2 ;;
    esac
done

summary=""
status=0
for s in $steps; do
    echo "== ci-matrix: $s"
    start=$(date +%s)
    if sh "$script" --step "$s"; then result=passed; else result=FAILED; status=1; fi
    line="ci-matrix: $s $result in $(($(date +%s) - start)) s"
    echo "$line"
    summary="$summary$line
"
done
printf '== ci-matrix summary\n%s' "$summary"
exit $status
