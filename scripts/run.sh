#!/bin/sh
# The main job: builds the Linux driver and the host tool, then runs the driver as a host does:
# its information, and the check of the example tag configuration.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
sh scripts/install-deps.sh --native-only
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs" --target kivhost vududidi >/dev/null
build/linux/bin/kivhost info "$@"
echo
# Every tag of the example configuration through the driver's Parse: the refused ones (none)
# and the summary.
exec build/linux/bin/kivhost check --quiet examples/vxs100-line.tags
