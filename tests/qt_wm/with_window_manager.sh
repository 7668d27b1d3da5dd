#!/bin/sh
# Runs a command on an X display of its own with a real window manager:
# starts Xvfb (a free display number, 1600x1200) and openbox, waits until the
# window manager has taken the screen, runs the command, then ends both.
# Works the same under `make test`, in CI and beside other UI tests.
set -u
work=$(mktemp -d)
xvfb=""
wm=""
cleanup() {
    [ -n "$wm" ] && kill "$wm" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

Xvfb -displayfd 3 -screen 0 1600x1200x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
DISPLAY=":$(cat "$work/display")"
export DISPLAY

openbox --sm-disable >"$work/openbox.log" 2>&1 &
wm=$!
# The window manager announces itself on the root window (EWMH).
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done
xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' ||
    { echo "openbox did not start"; cat "$work/openbox.log"; exit 1; }

"$@"
status=$?
trap - EXIT INT TERM
cleanup
exit $status
