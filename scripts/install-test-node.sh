#!/bin/sh
# Installs the MQTT 3.1.1 broker of the gateway's tests: the npm package aedes, at the versions
# of tests/tools/node/package-lock.json, into build/test-node/ (build/ is left out of git), where
# tests/tools/CMakeLists.txt looks for it. Nothing is done when that install is already there.
# Usage: install-test-node.sh
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
source_dir="$top/tests/tools/node"
dest="$top/build/test-node"
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "install-test-node.sh: node and npm are not installed (Node.js 20 or later is needed):" \
    "the MQTT 3.1.1 test cannot run" >&2
  exit 1
fi
if cmp -s "$source_dir/package-lock.json" "$dest/package-lock.json" &&
  [ -f "$dest/node_modules/aedes/package.json" ]; then
  echo "install-test-node.sh: aedes is installed in $dest"
  exit 0
fi
mkdir -p "$dest"
cp "$source_dir/package.json" "$source_dir/package-lock.json" "$dest/"
# npm ci installs exactly the lock file's versions; a registry that does not answer fails it
# within about a minute and a half (two tries of 30 s).
if ! (cd "$dest" && npm ci --no-audit --no-fund --loglevel=error --fetch-retries=1 \
  --fetch-timeout=30000); then
  rm -f "$dest/package-lock.json"
  echo "install-test-node.sh: npm could not install aedes: the npm registry did not answer or" \
    "refused (see npm's message above); run this script again later" >&2
  exit 1
fi
echo "install-test-node.sh: aedes installed in $dest"
