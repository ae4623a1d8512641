#!/usr/bin/env bash
# Runs a command on a private X server with a system tray: Xvfb (1280 x 800) and
# Debian's trayer docked at the top right, the way a small desktop panel would.
#   gui-session.sh COMMAND [ARGS...]
set -euo pipefail

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

trayer --edge top --align right --widthtype request --height 24 --SetDockType false \
    --SetPartialStrut false --expand false >"$dir/trayer.log" 2>&1 &
trayer=$!
# The tray is ready when its panel window exists.
timeout 20 xdotool search --sync --name '^panel$' >/dev/null ||
    { echo "gui-session: trayer did not start" >&2; cat "$dir/trayer.log" >&2; exit 1; }

"$@"
