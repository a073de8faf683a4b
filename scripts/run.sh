#!/bin/sh
# The main job: builds the Linux driver and the host tool, then runs the driver as a host does.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
sh scripts/install-deps.sh --native-only
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs" --target kivhost vududidi >/dev/null
exec build/linux/bin/kivhost info "$@"
