#!/bin/sh
# Builds the driver for Linux and for 32-bit Windows and runs every test: natively, then the
# Windows programs under Wine. Installs what is missing first.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

sh scripts/install-deps.sh

echo "== Linux build"
cmake --preset linux
cmake --build --preset linux -j "$jobs"
echo "== Linux tests"
ctest --preset linux

echo "== Windows build (MinGW-w64, i686)"
cmake --preset windows
cmake --build --preset windows -j "$jobs"
echo "== Windows tests (under Wine)"
ctest --preset windows
