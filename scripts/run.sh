#!/bin/sh
# The main job: builds the Linux driver and the host tool, then runs the driver as a host does
# for about 20 seconds on a simulated line: events from the simulated controllers become tag
# values, a badge is added by a tag write, and a summary closes the run. Extra arguments go to
# kivhost run (kivhost run --help lists them).
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
sh scripts/install-deps.sh --native-only
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs" --target kivhost vududidi >/dev/null
# The driver keeps its files (events, badge database) in its working folder.
exec build/linux/bin/kivhost run --duration 20 --rate 1 --script examples/demo.run \
  --workdir build/linux/run "$@"
