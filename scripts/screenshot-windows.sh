#!/usr/bin/env bash
# Takes docs/window-windows.png: the window for Windows (build-windows/app/kavrin-dbtool.exe, as
# the ZIP holds it) under wine on a virtual X display without a window manager, with wine's own
# fonts, started with --folder Z:\... on a database that the Windows command line generates; the
# offer to mark the duplicates answered No, as in docs/window.png. Builds what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/qt-windows.sh >/dev/null
scripts/build.sh windows >/dev/null
build=build-windows
exe=$build/app/kavrin-dbtool.exe
cli=$build/cli/kavrin-dbtool-cli.exe
wine=$(sed -n 's/^KAVRIN_WINE:FILEPATH=//p' "$build/CMakeCache.txt")
if [ ! -f "$exe" ] || [ -z "$wine" ]; then
    echo "screenshot-windows.sh: no $exe or no wine (scripts/setup.sh installs wine)" >&2
    exit 1
fi

scratch=$(mktemp -d)
source scripts/wine-desktop.sh
cleanup() {
    desktop_stop
    rm -rf "$scratch"
}
trap cleanup EXIT
# Under the C locale wine's user locale is en-US: dates as Windows writes them there.
export LC_ALL=C.UTF-8

desktop_start
desktop_wine_prefix "$scratch/wine"
inventory="Z:$(tr / '\\' <<<"$scratch/inventory")"
"$wine" "$cli" generate "$inventory" --nodes 500 --installs-per-node 20 --titles 300 --seed 7 \
    </dev/null >/dev/null
# Ended with the prefix's wine server on exit; the shell's word of that goes nowhere.
{ "$wine" "$exe" --folder "$inventory" </dev/null >/dev/null 2>&1 || true; } 2>/dev/null &

window=$(desktop_window '^KavrinServer Database Tool : ')
xdotool windowfocus --sync "$window"
dialog=$(desktop_window '^Important Information$')
sleep 0.5
desktop_key "$dialog" Return
dialog=$(desktop_window '^Confirm$')
sleep 0.5
desktop_key "$dialog" Escape
xdotool mousemove 1279 799
sleep 2
desktop_shoot "$window" docs/window-windows.png
