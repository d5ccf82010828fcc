#!/usr/bin/env bash
# Takes docs/window.png: the window as the package installs it (unpacked into a scratch root),
# started with --folder on a generated database, on a virtual X display without a window manager;
# then docs/preview.png, the "Preview Commit" dialog once the duplicates are marked,
# docs/restore.png, the "Restore Backup" dialog listing three backups, docs/filter.png, the list
# narrowed by its filter with rows marked by hand and the marked count, docs/date.png, the
# date dialog paged back with the date it uses and what it would mark, and docs/protect.png, the
# two protection rules the command line added. A second display of
# 1280x900 at scale 2 gives docs/preview-scaled.png; a copy of the database whose node file is
# cut short gives docs/damaged-open.png (the open's error) and docs/damaged-restore.png (Restore
# Backup... offered all the same).
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
# Two protection rules, which keep no duplicate: the preview's figures stay those of the duplicates.
"$bin/kavrin-dbtool-cli" protect "$inventory" --add 'SRV-*' --reason 'servers, rarely switched on' \
    > /dev/null 2>&1
"$bin/kavrin-dbtool-cli" protect "$inventory" --add 'PC-009??' --reason 'the lab, kept for an audit' \
    > /dev/null 2>&1
# Backups for the restore dialog, a second apart so that each has a time of its own.
for _ in 1 2 3; do
    "$bin/kavrin-dbtool-cli" backup "$inventory" > /dev/null 2>&1
    sleep 1
done

# A display number nobody uses, of the size given; the screen is kept as an XWD file in a folder
# of its own. Sets DISPLAY and `screen`, the file.
start_display() {
    local size=$1
    display=99
    while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do
        display=$((display + 1))
    done
    mkdir -p "$scratch/screen$display"
    Xvfb ":$display" -screen 0 "${size}x24" -fbdir "$scratch/screen$display" -nolisten tcp \
        2> /dev/null &
    pids+=($!)
    export DISPLAY=:$display
    screen=$scratch/screen$display/Xvfb_screen0
    for _ in $(seq 50); do
        [[ -e /tmp/.X11-unix/X$display ]] && break
        sleep 0.1
    done
}

# Starts the window on `folder` with its own settings folder (the location it keeps is not the
# user's), gives it its first activation (which shows the information dialog, OK focused) and
# answers the offer to mark duplicates with `key` when it comes. Sets `window`.
start_window() {
    local folder=$1 key=$2
    XDG_CONFIG_HOME=$scratch/config$display "$bin/kavrin-dbtool" --folder "$folder" 2> /dev/null &
    pids+=($!)
    window=$(xdotool search --sync --name '^KavrinServer Database Tool : ' | sed -n 1p)
    # Without a window manager nothing activates the window.
    xdotool windowfocus --sync "$window"
    local dialog
    dialog=$(xdotool search --sync --name '^Important Information$' | sed -n 1p)
    sleep 0.5
    xdotool windowfocus --sync "$dialog" key Return
    [[ -z $key ]] && return
    for _ in $(seq 50); do
        if confirm=$(xdotool search --name '^Confirm$'); then
            xdotool windowfocus --sync "$(head -n 1 <<< "$confirm")" key "$key"
            break
        fi
        sleep 0.1
    done
}

start_display 1280x800
# The open offers to mark the duplicates the generator made: No, as Escape answers.
start_window "$inventory" Escape
xdotool mousemove 1279 799
sleep 1

# The part of the screen a window covers, as a PNG.
shoot() {
    local id=$1 file=$2
    eval "$(xdotool getwindowgeometry --shell "$id")"
    xwdtopnm "$screen" 2> /dev/null |
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
# The dialog titled `title` a menu item opened, as `file`, after `keys` (if any) were typed into
# it; then Escape closes it.
shoot_dialog() {
    local title=$1 file=$2 dialog
    shift 2
    dialog=$(xdotool search --sync --name "^$title\$" | sed -n 1p)
    if (($# > 0)); then
        xdotool windowfocus --sync "$dialog" key "$@"
    fi
    sleep 0.5
    shoot "$dialog" "$file"
    xdotool windowfocus --sync "$dialog" key Escape
    sleep 0.3
}
# Tools > Fix Duplicates, then DB > Preview Commit...
menu 1 2
menu 0 2
shoot_dialog 'Preview Commit' docs/preview.png
# Tools > Restore Backup...
menu 1 1
shoot_dialog 'Restore Backup' docs/restore.png
xdotool mousemove 1279 799

# The filter narrowing the list, three rows marked by hand (Delete) beside the duplicates, and
# the count of marks in the status bar.
xdotool windowfocus --sync "$window" key ctrl+f
xdotool type --delay 50 "pc-001"
xdotool key Tab Down shift+Down shift+Down Delete
sleep 0.5
shoot "$window" docs/filter.png
# Tools > Delete Older Than..., paged three months back.
menu 1 3
shoot_dialog 'Delete older than...' docs/date.png Page_Up Page_Up Page_Up
# Tools > Protected Nodes..., with the rules the command line added.
menu 1 4
shoot_dialog 'Protected Nodes' docs/protect.png

# The Preview of a window at scale 2 on a screen of 1280x900: the dialog is kept whole on it.
start_display 1280x900
QT_SCALE_FACTOR=2 start_window "$inventory" Return
sleep 1
menu 0 2
shoot_dialog 'Preview Commit' docs/preview-scaled.png

# A database whose node file was cut short, in a folder that holds backups: the open's error
# names the file, and Tools > Restore Backup... is offered all the same.
damaged=$scratch/damaged
cp -r "$inventory" "$damaged"
truncate -s 100 "$damaged/Kavrin.cmp"
start_display 1280x800
start_window "$damaged" ""
dialog=$(xdotool search --sync --name '^Error$' | sed -n 1p)
sleep 0.5
shoot "$dialog" docs/damaged-open.png
xdotool windowfocus --sync "$dialog" key Return
sleep 0.3
xdotool windowfocus --sync "$window"
xdotool mousemove --window "$window" 12 8 click 1
sleep 0.3
xdotool key Right
sleep 0.5
shoot "$window" docs/damaged-restore.png
xdotool key Escape Escape
