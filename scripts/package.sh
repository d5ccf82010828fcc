#!/usr/bin/env bash
# Builds the Debian package kavrin-dbtool_<version>_<architecture>.deb from the default build in
# build/ (compiling only what changed) and prints its path as the last line.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! (cd build && cpack -G DEB) > "$log" 2>&1; then
    cat "$log"
    exit 1
fi
sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$log"
