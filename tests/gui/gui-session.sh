#!/usr/bin/env bash
# Runs a command on a private X server (Xvfb, 1280 x 800) with Debian's trayer
# as the system tray, the way a small desktop panel would:
#   gui-session.sh [--tray top|bottom|none] COMMAND [ARGS...]
#   top     a light panel at the top right (the default)
#   bottom  a dark panel at the bottom right
#   none    no tray at all
# The command finds the choice in TESSELWICK_GUI_TRAY.
set -euo pipefail

tray=top
if [ "${1:-}" = --tray ]; then
    tray=${2:?--tray needs top, bottom or none}
    shift 2
fi
export TESSELWICK_GUI_TRAY=$tray

dir=$(mktemp -d /tmp/tesselwick-gui.XXXXXX)
xvfb= trayer=
cleanup() {
    set +e
    [ -n "$trayer" ] && kill "$trayer" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$dir"
}
trap 'status=$?; cleanup; exit $status' EXIT
trap 'exit 143' TERM INT

# Xvfb writes its display number to the pipe once it accepts clients.
mkfifo "$dir/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb=$!
read -r -t 20 display <"$dir/display" || { echo "gui-session: Xvfb did not start" >&2; cat "$dir/xvfb.log" >&2; exit 1; }
export DISPLAY=":$display"

panel=(--widthtype request --height 24 --SetDockType false --SetPartialStrut false --expand false)
case $tray in
top) panel+=(--edge top --align right) ;;
bottom) panel+=(--edge bottom --align right --transparent true --tint 0x202020 --alpha 0) ;;
none) panel=() ;;
*) echo "gui-session: --tray is top, bottom or none" >&2; exit 64 ;;
esac
if [ ${#panel[@]} -gt 0 ]; then
    trayer "${panel[@]}" >"$dir/trayer.log" 2>&1 &
    trayer=$!
    # The tray is ready when its panel window exists.
    timeout 20 xdotool search --sync --name '^panel$' >/dev/null ||
        { echo "gui-session: trayer did not start" >&2; cat "$dir/trayer.log" >&2; exit 1; }
fi

"$@"
