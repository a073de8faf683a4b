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

cmake --preset windows
# 32-bit Wine needs a kernel that runs 32-bit programs; some virtual machines' kernels are built
# without that. There the same tree is built for 64-bit Windows and its tests run under 64-bit
# Wine: the Windows platform layer, the dialog and the tools are tested all the same, and the
# 32-bit driver is built and its exports read. The same holds where 32-bit Wine could not be
# installed (install-deps.sh goes on without it when a mirror does not serve the i386 packages).
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  why="this machine's kernel cannot run 32-bit programs (32-bit Wine fails with \"Exec format error\")"
elif [ ! -x /usr/lib/wine/wine ]; then
  why="32-bit Wine (package wine32:i386) is not installed"
else
  why=""
fi
if [ -z "$why" ]; then
  echo "== Windows build (MinGW-w64, i686)"
  cmake --build --preset windows -j "$jobs"
  echo "== Windows tests (under 32-bit Wine)"
  ctest --preset windows
else
  # What only the 32-bit build shows: the record layouts (checked as it compiles) and the
  # export's decoration (driver_exports reads the built DLL). The rest is tested on 64 bits.
  echo "== Windows build (MinGW-w64, i686): the driver DLL"
  cmake --build --preset windows -j "$jobs" --target vududidi
  ctest --preset windows -R '^driver_exports$'
  echo "== Windows tests: $why; the 32-bit driver is built and its exports checked, the tests" \
    "run on a 64-bit build under 64-bit Wine"
  cmake --preset windows64
  cmake --build --preset windows64 -j "$jobs"
  echo "== Windows tests (64-bit build, under 64-bit Wine)"
  ctest --preset windows64
fi
