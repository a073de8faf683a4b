#!/bin/sh
# Installs what the builds and tests need on Debian 12, only what is missing, without questions.
# Usage: install-deps.sh [--native-only]
set -eu
native_only=0
[ "${1:-}" = "--native-only" ] && native_only=1

# help2man: the manual pages of kivhost and vxs-sim are made from their --help at build time.
packages="cmake make g++ libgtest-dev googletest libgmock-dev libbenchmark-dev python3 libcli11-dev nlohmann-json3-dev help2man"
# The MQTT gateway of kivhost run (libmosquitto) and its test: a mosquitto broker, its tools,
# openssl for the test's certificates and paho-mqtt for the test's clients.
packages="$packages libmosquitto-dev mosquitto mosquitto-clients openssl python3-paho-mqtt"
# kivhost run as a service: systemd's notify protocol (libsystemd-dev), the metrics' HTTP server
# (libcpp-httplib-dev), found through pkg-config; the service test fetches the metrics with curl
# and checks them with promtool, which comes with the Prometheus server (prometheus, about 20 MB
# to download: the test skips where it is missing).
packages="$packages pkg-config libsystemd-dev libcpp-httplib-dev curl prometheus"
native_packages="$packages"
if [ "$native_only" = 0 ]; then
  # Xvfb and Wine's fonts: the driver's dialog is shown and photographed on a virtual display.
  # tmux: the live view of kivhost run is tested in a real terminal.
  packages="$packages g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386 xvfb fonts-wine tmux"
  # Where the kernel cannot run 32-bit programs, the Windows tests run on a 64-bit build under
  # 64-bit Wine (scripts/test-all.sh).
  packages="$packages g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64"
  # The checks of scripts/ci-matrix.sh: the clang build, libFuzzer, clang-format, clang-tidy,
  # and llvm-symbolizer for readable sanitizer reports.
  packages="$packages git clang libclang-rt-14-dev llvm clang-format clang-tidy"
  # The package test: the Debian package (dpkg-shlibdeps of dpkg-dev and file find its
  # dependencies), checked by lintian, its manual pages shown by man.
  packages="$packages dpkg-dev file lintian man-db"
  # tshark: the Wireshark dissector of kivhost's pcap files is tested by decoding a run's trace
  # (its debconf question, whether others may capture, takes its default without asking).
  packages="$packages tshark"
fi

# The MQTT 3.1.1 broker of the gateway's test (aedes, from the npm registry); its failure is said
# and the packages go on: that test fails under CI and is skipped elsewhere while it is missing.
sh "$(dirname "$0")/install-test-node.sh" ||
  echo "install-deps.sh: going on without the MQTT 3.1.1 test's broker" >&2

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
if [ -z "$missing" ]; then
  echo "install-deps.sh: every package is installed"
  exit 0
fi

if [ "$(id -u)" != 0 ]; then
  SUDO=sudo
else
  SUDO=""
fi
export DEBIAN_FRONTEND=noninteractive
echo "Installing:$missing"
if [ "$native_only" = 0 ] && ! dpkg --print-foreign-architectures | grep -q '^i386$'; then
  $SUDO dpkg --add-architecture i386
fi
# A mirror in the middle of a sync fails an index or two for a few minutes: try again, and go on
# with the lists apt already has when it still fails (the install below says whether they did).
tries=0
until $SUDO apt-get update -qq; do
  tries=$((tries + 1))
  if [ "$tries" -ge 2 ]; then
    echo "install-deps.sh: apt-get update failed $tries times (a package mirror may be syncing);" \
      "going on with the package lists already here" >&2
    break
  fi
  echo "install-deps.sh: apt-get update failed; trying again in 20 s" >&2
  sleep 20
done
# The native packages first, on their own: the 32-bit ones (wine32) need the i386 lists, whose
# failure must not keep the Linux build from its tools.
native_missing=""
other_missing=""
for p in $missing; do
  case " $native_packages " in
    *" $p "*) native_missing="$native_missing $p" ;;
    *) other_missing="$other_missing $p" ;;
  esac
done
install_or_say() {
  # shellcheck disable=SC2086
  if ! $SUDO apt-get install -y -qq --no-install-recommends "$@"; then
    echo "install-deps.sh: could not install: $*" >&2
    echo "install-deps.sh: the package archive did not serve them (a mirror may be syncing or" \
      "unreachable); run this script again in a few minutes" >&2
    exit 1
  fi
}
# shellcheck disable=SC2086
[ -z "$native_missing" ] || install_or_say $native_missing
# 32-bit Wine needs the i386 package lists as well; when they cannot be had, the rest goes in
# without it and the Windows tests run on the 64-bit build (scripts/test-all.sh).
without_wine32=$(echo "$other_missing" | sed 's/ wine32:i386//')
# shellcheck disable=SC2086
if [ -n "$other_missing" ] && ! $SUDO apt-get install -y -qq --no-install-recommends $other_missing; then
  [ "$without_wine32" != "$other_missing" ] || install_or_say $other_missing
  echo "install-deps.sh: 32-bit Wine could not be installed (its i386 packages were not served);" \
    "going on without it: the Windows tests run on the 64-bit build" >&2
  install_or_say $without_wine32
fi
