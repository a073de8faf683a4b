#!/bin/sh
# The main job: builds the Linux driver and the host tool, then runs the driver as a host does
# for about 20 seconds on a simulated line: events from the simulated controllers become tag
# values, a badge is added by a tag write, and a summary closes the run. A line per step, and
# the build's own progress, come first. Extra arguments go to kivhost run (kivhost run --help
# lists them).
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
step() {
    printf '== run.sh [%s/4] %s\n' "$1" "$2"
}

step 1 "the packages the build needs (what is missing is installed)"
sh scripts/install-deps.sh --native-only
step 2 "configuring the Linux build in build/linux"
cmake --preset linux --log-level=WARNING
step 3 "building the driver and kivhost ($jobs jobs)"
cmake --build --preset linux -j "$jobs" --target kivhost  # the driver with it
# The driver keeps its files (events, badge database) in the working folder.
step 4 "the demo: kivhost run --duration 20 --rate 1 --script examples/demo.run"
exec build/linux/bin/kivhost run --duration 20 --rate 1 --script examples/demo.run \
  --workdir build/linux/run "$@"
