#!/usr/bin/env bash
# Starts or stops wine for the tests of a Windows build tree: scripts/wine.sh start|stop [BUILD].
#
# "start" runs the wine server of the tree's prefix (made on first use) with wine's services, all
# with their output away from the caller: a wine process that starts them itself hands them its
# output, and CTest then waits for them after every test, or listing a program's tests hangs.
# It also makes the server share the tests reach: \\KAVRIN-TEST\Kavrin$ is the folder
# BUILD/test-share. "stop" ends that server and everything running in the prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
action=${1:?start or stop}
build=${2:-build-windows}
cache="$build/CMakeCache.txt"
prefix=$(sed -n 's/^KAVRIN_WINEPREFIX:PATH=//p' "$cache")
wine=$(sed -n 's/^KAVRIN_WINE:FILEPATH=//p' "$cache")
if [ -z "$prefix" ] || [ -z "$wine" ] || [ ! -x "$wine" ]; then
    echo "wine.sh: $cache names no wine and prefix (configure with the windows preset)" >&2
    exit 1
fi
export WINEPREFIX="$prefix" WINEDEBUG=-all
unset DISPLAY
server="$(dirname "$wine")/wineserver"

case "$action" in
start)
    mkdir -p "$prefix"
    "$server" -p </dev/null >/dev/null 2>&1
    "$wine" wineboot </dev/null >/dev/null 2>&1
    share="$(cd "$build" && pwd)/test-share"
    mkdir -p "$share" "$prefix/dosdevices/unc/kavrin-test"
    ln -sfn "$share" "$prefix/dosdevices/unc/kavrin-test/kavrin\$"
    ;;
stop)
    "$server" -k </dev/null >/dev/null 2>&1 || true
    ;;
*)
    echo "wine.sh: start or stop, not $action" >&2
    exit 2
    ;;
esac
