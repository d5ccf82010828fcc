#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite: once in the normal build
# and once built with AddressSanitizer and UndefinedBehaviorSanitizer; then the Debian package,
# made from the normal build, is checked as installed; then the Windows build, cross-built, has
# its tests run under wine and makes the Windows download; then a minute of fuzzing per libFuzzer
# target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The static Qt of the window for Windows: built once (about 25 minutes on two cores), then kept.
scripts/qt-windows.sh
# The tests that reach a server share run against a private Samba server started for each build's
# run (it needs root); without one they skip.
server=()
if [ "$(id -u)" -eq 0 ] && command -v smbd >/dev/null; then
    server=(scripts/smbserver.sh run)
else
    echo "(not root or no smbd: the tests against a Samba server skip)"
fi
passed=0
run_tests() {
    local log
    log=$(mktemp)
    "${server[@]}" ctest --preset "$@" -j"$(nproc)" | tee "$log"
    count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")
    passed=$((passed + ${count:-0}))
    rm -f "$log"
}
for preset in default sanitize; do
    echo "=== $preset build"
    scripts/build.sh "$preset"
    run_tests "$preset"
done
echo "=== package"
started=$SECONDS
deb=$(scripts/package.sh | tail -n 1)
log=$(mktemp)
tests/package/check.sh "$deb" | tee "$log"
count=$(sed -n 's/^package checks: \([0-9]*\) passed, 0 failed$/\1/p' "$log")
passed=$((passed + ${count:-0}))
rm -f "$log"
echo "package made and checked in $((SECONDS - started)) s"
echo "=== windows build, tests under wine"
started=$SECONDS
scripts/build.sh windows
scripts/wine.sh start build-windows
trap 'scripts/wine.sh stop build-windows' EXIT
# Under load wine now and then fails to start a test program at all (no output, not even
# GoogleTest's first line); a test that fails so is run once more.
run_tests windows --repeat until-pass:2
scripts/wine.sh stop build-windows
trap - EXIT
rm -rf build-windows/package
(cd build-windows && cpack >/dev/null)
zip=$(ls build-windows/package/kavrin-dbtool-*-win64.zip)
# The whole listing is read before it is compared: a reader that stops at its first match would
# leave the lister to die of SIGPIPE, which pipefail turns into a failure.
listing=$(cmake -E tar tf "$zip")
top=$(basename "$zip" .zip)
expected=$(printf "$top/%s\n" LICENSE.txt README.txt THIRD-PARTY.txt kavrin-dbtool-cli.exe \
    kavrin-dbtool.exe)
if [ "$(LC_ALL=C sort <<<"$listing")" != "$expected" ]; then
    printf 'FAILED: %s holds\n%s\nnot\n%s\n' "$zip" "$listing" "$expected"
    exit 1
fi
echo "Windows build tested and $zip made in $((SECONDS - started)) s"
echo "=== fuzz"
scripts/fuzz.sh
echo "tests: $passed passed, 0 failed"
