#!/usr/bin/env bash
# The window for Windows under wine against the Linux window, each driven as a user drives it
# (xdotool on a virtual X display, no window manager) through the same steps on copies of one
# generated database: started with --folder, the information dialog closed, Yes to the offer to
# mark the duplicates, "Commit / Compact". The three files each window writes, and the three its
# backup holds with the commit's manifest.csv and offsets.csv, must be byte for byte the same, and
# the commit must have removed nodes.
#   window-matches-linux.sh WINDOWS_WINDOW LINUX_WINDOW LINUX_CLI WINE
# Exit 77 (skipped) without a Linux build to compare with, or without Xvfb or xdotool.
set -euo pipefail
windows_window=$1 linux_window=$2 linux_cli=$3 wine=$4
for program in "$linux_window" "$linux_cli"; do
    if [ ! -x "$program" ]; then
        echo "no Linux build at $program: nothing to compare with"
        exit 77
    fi
done
for tool in Xvfb xdotool xwdtopnm; do
    if ! command -v "$tool" >/dev/null; then
        echo "no $tool: the windows cannot be driven"
        exit 77
    fi
done

scratch=$(mktemp -d)
source "$(dirname "$0")/../../scripts/wine-desktop.sh"
running=
cleanup() {
    if [[ -n $running ]]; then
        kill "$running" 2>/dev/null || true
    fi
    desktop_stop
    rm -rf "$scratch"
}
trap cleanup EXIT
# Under the C locale wine's user locale is en-US; the Linux window formats as C does.
export LC_ALL=C.UTF-8

"$linux_cli" generate "$scratch/seed" --nodes 300 --installs-per-node 8 --titles 80 --seed 23 \
    --duplicate-rate 0.05 >/dev/null
for side in linux windows; do
    cp -r "$scratch/seed" "$scratch/$side"
done
desktop_start
desktop_wine_prefix "$scratch/wine"

# drive FOLDER: the steps, on the window just started for FOLDER; returns once its commit has
# ended (a backup with its summary, no claim and no journal left in the folder).
drive() {
    local folder=$1 window dialog
    window=$(desktop_window '^KavrinServer Database Tool : ')
    # Without a window manager this is the window's first activation; it shows the information
    # dialog, where OK has the focus.
    xdotool windowfocus --sync "$window"
    dialog=$(desktop_window '^Important Information$')
    sleep 0.5
    desktop_key "$dialog" Return
    # The open offers to mark the duplicates: Yes is the default button.
    dialog=$(desktop_window '^Confirm$')
    sleep 0.5
    desktop_key "$dialog" Return
    sleep 2
    # DB > Commit / Compact, the item above Exit.
    desktop_menu "$window" 0 2
    for _ in $(seq 600); do
        if compgen -G "$folder/2*/summary.txt" >/dev/null && [ ! -e "$folder/Kavrin.claim" ] &&
            [ ! -e "$folder/Kavrin.journal" ]; then
            sleep 1
            return 0
        fi
        sleep 0.1
    done
    echo "the commit did not end in $folder within a minute" >&2
    return 1
}

XDG_CONFIG_HOME=$scratch/config "$linux_window" --folder "$scratch/linux" 2>/dev/null &
running=$!
drive "$scratch/linux"
kill "$running"
wait "$running" 2>/dev/null || true
running=
echo "Linux window: committed"

drive_path="Z:$(tr / '\\' <<<"$scratch/windows")"
# Ended below by ending the prefix's wine server; the shell's word of that goes nowhere.
{ "$wine" "$windows_window" --folder "$drive_path" </dev/null >/dev/null 2>&1 || true; } 2>/dev/null &
running=$!
drive "$scratch/windows"
WINEPREFIX=$desktop_prefix "$(dirname "$wine")/wineserver" -k </dev/null >/dev/null 2>&1 || true
wait "$running" 2>/dev/null || true
running=
echo "Windows window under wine: committed"

failures=0
compared=0
# same LINUX_FILE WINDOWS_FILE: byte for byte.
same() {
    compared=$((compared + 1))
    cmp "$1" "$2" || failures=$((failures + 1))
}
# The backup folders are named after the time of each commit.
linux_backup=$(compgen -G "$scratch/linux/2*/summary.txt")
windows_backup=$(compgen -G "$scratch/windows/2*/summary.txt")
for file in Kavrin.cmp Kavrin.ist Kavrin.ttl; do
    same "$scratch/linux/$file" "$scratch/windows/$file"
    same "${linux_backup%/*}/$file" "${windows_backup%/*}/$file"
done
same "${linux_backup%/*}/manifest.csv" "${windows_backup%/*}/manifest.csv"
same "${linux_backup%/*}/offsets.csv" "${windows_backup%/*}/offsets.csv"
before=$(stat -c %s "$scratch/seed/Kavrin.cmp")
after=$(stat -c %s "$scratch/windows/Kavrin.cmp")
if [ "$after" -ge "$before" ]; then
    echo "FAILED: the commit removed no node ($before bytes before, $after after)"
    failures=$((failures + 1))
fi
echo "node file: $before bytes before, $after after; $compared files compared"
if [ "$failures" -ne 0 ]; then
    echo "$failures files differ"
    exit 1
fi
echo "the window for Windows writes what the Linux window writes"
