#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite: once in the normal build
# and once built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in default sanitize; do
    echo "=== $preset build"
    scripts/build.sh "$preset"
    ctest --preset "$preset" -j"$(nproc)"
done
echo "=== fuzz"
scripts/fuzz.sh
