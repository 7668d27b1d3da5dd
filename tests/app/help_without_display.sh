#!/bin/sh
# --help, --version and a wrong option are answered with no display at all
# (no X server, no Wayland): the program must not reach its windowing.
#   help_without_display.sh <program>...
set -u
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
for program in "$@"; do
    name=$(basename "$program")
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$program" --help 2>&1); status=$?
    [ $status = 0 ] || fail "$name --help ended with status $status: $out"
    printf '%s\n' "$out" | grep -q "^Usage: $name " || fail "$name --help printed no usage: $out"
    printf '%s\n' "$out" | grep -q -- "--version" || fail "$name --help does not list --version"
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$program" --version 2>&1); status=$?
    [ $status = 0 ] && printf '%s\n' "$out" | grep -q '^Kestrel Capture [0-9]' ||
        fail "$name --version: status $status, '$out'"
    err=$(env -u DISPLAY -u WAYLAND_DISPLAY "$program" --no-such-option 2>&1 >/dev/null); status=$?
    [ $status = 2 ] || fail "$name --no-such-option ended with status $status, not 2"
    printf '%s\n' "$err" | grep -q "unknown option '--no-such-option'" || fail "$name: the error does not name the option: $err"
done
[ $failures = 0 ] && echo "help without a display: fine"
exit $failures
