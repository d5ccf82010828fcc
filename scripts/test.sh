#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite: once in the normal build,
# once built with AddressSanitizer and UndefinedBehaviorSanitizer, once cross-built for Windows
# and run under wine (which also makes the Windows download), then a minute of fuzzing per
# libFuzzer target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
passed=0
run_tests() {
    local log
    log=$(mktemp)
    ctest --preset "$1" -j"$(nproc)" | tee "$log"
    count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")
    passed=$((passed + ${count:-0}))
    rm -f "$log"
}
for preset in default sanitize; do
    echo "=== $preset build"
    scripts/build.sh "$preset"
    run_tests "$preset"
done
echo "=== windows build, tests under wine"
scripts/build.sh windows
scripts/wine.sh start build-windows
trap 'scripts/wine.sh stop build-windows' EXIT
run_tests windows
scripts/wine.sh stop build-windows
trap - EXIT
(cd build-windows && cpack >/dev/null)
zip=$(ls build-windows/package/kavrin-dbtool-cli-*-win64.zip)
cmake -E tar tf "$zip" | grep -q '/kavrin-dbtool-cli.exe$'
echo "Windows download: $zip"
echo "=== fuzz"
scripts/fuzz.sh
echo "tests: $passed passed, 0 failed"
