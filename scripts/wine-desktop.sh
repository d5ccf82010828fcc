# A virtual X display without a window manager, and a wine prefix whose windows show on it: the
# functions that scripts/screenshot-windows.sh and tests/windows/window-matches-linux.sh drive
# the window with. Sourced, not run. The caller sets `scratch` (a folder removed afterwards) and
# `wine`, and calls desktop_stop on exit.

desktop_pids=()
desktop_prefix=

# desktop_start: Xvfb on a display number nobody uses, its screen kept as an XWD file in
# $scratch; DISPLAY is exported.
desktop_start() {
    local display=99
    while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 1280x800x24 -fbdir "$scratch" -nolisten tcp 2>/dev/null &
    desktop_pids+=($!)
    export DISPLAY=:$display
    for _ in $(seq 100); do
        [[ -e /tmp/.X11-unix/X$display ]] && return 0
        sleep 0.1
    done
    echo "Xvfb did not start on :$display" >&2
    return 1
}

# desktop_wine_prefix FOLDER: a wine prefix of its own, made with the display set, so that its
# desktop draws on it (a prefix made without a display keeps a desktop without one). Without a
# window manager wine activates a window on the X server's focus events only when it is told not
# to wait for the manager's WM_TAKE_FOCUS.
desktop_wine_prefix() {
    desktop_prefix=$1
    export WINEPREFIX=$desktop_prefix WINEDEBUG=-all
    mkdir -p "$desktop_prefix"
    "$(dirname "$wine")/wineserver" -p </dev/null >/dev/null 2>&1
    "$wine" wineboot </dev/null >/dev/null 2>&1
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v UseTakeFocus /d N /f </dev/null \
        >/dev/null 2>&1
}

desktop_stop() {
    if [[ -n $desktop_prefix ]]; then
        WINEPREFIX=$desktop_prefix "$(dirname "$wine")/wineserver" -k </dev/null >/dev/null 2>&1 || true
    fi
    for pid in "${desktop_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}

# desktop_window NAME [SECONDS]: the first window whose name matches the regular expression, once
# there is one (default: within 60 s); fails after that.
desktop_window() {
    local found tries=$((${2:-60} * 10))
    for ((i = 0; i < tries; i++)); do
        if found=$(xdotool search --onlyvisible --name "$1" 2>/dev/null); then
            sed -n 1p <<<"$found"
            return 0
        fi
        sleep 0.1
    done
    echo "no window \"$1\" appeared" >&2
    return 1
}

# desktop_key WINDOW KEY: the window activated, then the key.
desktop_key() {
    xdotool windowfocus --sync "$1"
    sleep 0.3
    xdotool key "$2"
}

# desktop_menu WINDOW RIGHT UP: a menu item by keys: a click on the first menu, the menu RIGHT
# places further right, then UP steps from its end and Return. Counted from the end, over
# enabled items only: the Windows style stops on disabled items too, the Linux one does not.
desktop_menu() {
    xdotool windowfocus --sync "$1"
    xdotool mousemove --window "$1" 12 8 click 1
    sleep 0.5
    for ((i = 0; i < $2; i++)); do xdotool key Right; done
    for ((i = 0; i < $3; i++)); do xdotool key Up; done
    xdotool key Return
}

# desktop_shoot WINDOW FILE: the part of the screen the window covers, as a PNG.
desktop_shoot() {
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1")"
    xwdtopnm "$scratch/Xvfb_screen0" 2>/dev/null |
        pnmcut -left "$X" -top "$Y" -width "$WIDTH" -height "$HEIGHT" |
        pnmtopng >"$2"
    echo "$2: at $X,$Y, ${WIDTH}x$HEIGHT"
}
