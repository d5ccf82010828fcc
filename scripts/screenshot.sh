#!/usr/bin/env bash
# Takes docs/window.png: the window as the package installs it (unpacked into a scratch root),
# started with --folder on a generated database, on a virtual X display without a window manager;
# then docs/preview.png, the "Preview Commit" dialog once the duplicates are marked, and
# docs/restore.png, the "Restore Backup" dialog listing three backups.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(scripts/package.sh | tail -n 1)
scratch=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2> /dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

dpkg-deb -x "$deb" "$scratch/root"
bin=$scratch/root/usr/bin
inventory=$scratch/inventory
"$bin/kavrin-dbtool-cli" generate "$inventory" --nodes 500 --installs-per-node 20 --titles 300 \
    --seed 7 > /dev/null
# Backups for the restore dialog, a second apart so that each has a time of its own.
for _ in 1 2 3; do
    "$bin/kavrin-dbtool-cli" backup "$inventory" > /dev/null 2>&1
    sleep 1
done

# A display number nobody uses; the screen is kept as an XWD file in the scratch folder.
display=99
while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x800x24 -fbdir "$scratch" -nolisten tcp 2> /dev/null &
pids+=($!)
export DISPLAY=:$display
for _ in $(seq 50); do
    [[ -e /tmp/.X11-unix/X$display ]] && break
    sleep 0.1
done

# Its own settings folder: the location it keeps is not the user's.
XDG_CONFIG_HOME=$scratch/config "$bin/kavrin-dbtool" --folder "$inventory" 2> /dev/null &
pids+=($!)
window=$(xdotool search --sync --name '^KavrinServer Database Tool : ' | sed -n 1p)
# Without a window manager nothing activates the window: this is its first activation, which
# shows the information dialog; OK has the focus there.
xdotool windowfocus --sync "$window"
dialog=$(xdotool search --sync --name '^Important Information$' | sed -n 1p)
sleep 0.5
xdotool windowfocus --sync "$dialog" key Return
# The open offers to mark the duplicates the generator made: No, as Escape answers.
for _ in $(seq 50); do
    if confirm=$(xdotool search --name '^Confirm$'); then
        xdotool windowfocus --sync "$(head -n 1 <<< "$confirm")" key Escape
        break
    fi
    sleep 0.1
done
xdotool mousemove 1279 799
sleep 1

# The part of the screen a window covers, as a PNG.
shoot() {
    local id=$1 file=$2
    eval "$(xdotool getwindowgeometry --shell "$id")"
    xwdtopnm "$scratch/Xvfb_screen0" 2> /dev/null |
        pnmcut -left "$X" -top "$Y" -width "$WIDTH" -height "$HEIGHT" |
        pnmtopng > "$file"
    echo "$file: at $X,$Y, ${WIDTH}x$HEIGHT"
}
shoot "$window" docs/window.png

# A menu item by keys: a click on "DB", the menu `right` places further right (which opens
# with its first item chosen), then `down` steps over its enabled items.
menu() {
    local right=$1 down=$2
    xdotool windowfocus --sync "$window"
    xdotool mousemove --window "$window" 12 8 click 1
    sleep 0.3
    for ((i = 0; i < right; i++)); do xdotool key Right; done
    for ((i = 0; i < down; i++)); do xdotool key Down; done
    xdotool key Return
    sleep 0.5
}
# Tools > Fix Duplicates, then DB > Preview Commit...
menu 1 2
menu 0 2
dialog=$(xdotool search --sync --name '^Preview Commit$' | sed -n 1p)
sleep 0.5
shoot "$dialog" docs/preview.png
xdotool windowfocus --sync "$dialog" key Escape
sleep 0.3
# Tools > Restore Backup...
menu 1 1
dialog=$(xdotool search --sync --name '^Restore Backup$' | sed -n 1p)
sleep 0.5
shoot "$dialog" docs/restore.png
xdotool windowfocus --sync "$dialog" key Escape
xdotool mousemove 1279 799
