#!/usr/bin/env bash
# kestrel-capture-board-access against a fake root: id, pkexec, sudo and
# udevadm are stand-ins in PATH that log what they are asked, and the rule goes
# to a file under a temporary folder instead of /etc/udev/rules.d.
#   board_access_test.sh HELPER UDEV_TEMPLATE
set -u
helper=$1
template=$2
T=$(mktemp -d "${TMPDIR:-/tmp}/board-access-test.XXXXXX")
trap 'rm -rf "$T"' EXIT
failures=0

# The system tools the helper may use, and nothing else: a real pkexec or sudo
# on the machine must never be reached.
mkdir -p "$T/sys" "$T/fake" "$T/pkexec" "$T/sudo" "$T/tmp" "$T/home/.config/Wren Capture"
for tool in sh cat sed grep mkdir cp mv rm chmod mktemp tr cmp dirname; do
    ln -s "$(type -P $tool)" "$T/sys/$tool"
done
cat >"$T/fake/id" <<'EOF'
#!/bin/sh
[ "$1" = -u ] && echo "${FAKE_UID:-1000}"
EOF
cat >"$T/fake/udevadm" <<'EOF'
#!/bin/sh
echo "udevadm $*" >>"$LOG"
[ "$1" = control ] && exit "${FAKE_RELOAD_STATUS:-0}"
exit 0
EOF
for via in pkexec sudo; do
    cat >"$T/$via/$via" <<EOF
#!/bin/sh
echo "$via \$*" >>"\$LOG"
[ -n "\${FAKE_REFUSE:-}" ] && exit 126
exec "\$@"
EOF
done
chmod +x "$T"/fake/* "$T/pkexec/pkexec" "$T/sudo/sudo"

rule=$T/root/etc/udev/rules.d/70-kestrel-capture.rules
ids_file="$T/home/.config/Wren Capture/usb-ids"
with_pkexec="$T/fake:$T/pkexec:$T/sudo:$T/sys"
path=$with_pkexec

# helper_run [VAR=value]... [ARG]...: runs the helper, sets $out and $status.
helper_run() {
    local assignments=()
    while [ $# -gt 0 ] && [[ $1 =~ ^[A-Z_]+= ]]; do assignments+=("$1"); shift; done
    : >"$T/log"
    out=$(env -i PATH="$path" HOME="$T/home" TMPDIR="$T/tmp" LOG="$T/log" \
        KESTREL_BOARD_ACCESS_RULE_FILE="$rule" "${assignments[@]}" "$helper" "$@" 2>&1)
    status=$?
    # Whatever happened, a rule file may only name single boards.
    if [ -e "$rule" ] && grep -v '^#' "$rule" |
        grep -Ev 'ATTRS\{idVendor\}=="[0-9a-f]{4}".*ATTRS\{idProduct\}=="[0-9a-f]{4}"' | grep -q .; then
        fail "rule file holds a line that does not name one board:" && cat "$rule"
    fi
}
fail() { echo "FAIL [$case]: $*"; failures=$((failures + 1)); }
# expect STATUS REGEX: the last run's exit status and a pattern its output must match.
expect() {
    local before=$failures
    [ "$status" = "$1" ] || fail "exit status $status, expected $1"
    grep -Eq -- "$2" <<<"$out" || fail "output does not match /$2/"
    [ "$failures" = "$before" ] || { echo "--- output:"; echo "$out"; }
}
logged() { grep -qF -- "$1" "$T/log" || fail "'$1' was not run"; }
nothing_run() { [ ! -s "$T/log" ] || { fail "ran:"; cat "$T/log"; }; }
expected_rule() {  # expected_rule ID...: the rule file for these ids
    local line
    line=$(grep -v '^#' "$template" | grep VENDOR)
    for id in "$@"; do
        sed -e "s/VENDOR/${id%:*}/" -e "s/PRODUCT/${id#*:}/" <<<"$line"
    done
}
rule_names() {  # the ids the installed rule names, in order
    grep -v '^#' "$rule" | sed -E 's/.*idVendor\}=="([0-9a-f]{4})".*idProduct\}=="([0-9a-f]{4})".*/\1:\2/' | tr '\n' ' '
}

case="ids file, through pkexec"
printf '# my boards\n1234:ABCD   # the first one\n  1:2f\n0fd9:0063\r\n\n1234:abcd\n' >"$ids_file"
helper_run
expect 0 "Wrote .*70-kestrel-capture.rules \(through pkexec\).*1234:abcd 0001:002f 0fd9:0063"
grep -Eq "1234:abcd is given twice" <<<"$out" || fail "no word on the duplicate"
logged "pkexec /bin/sh -c"
logged "udevadm control --reload-rules"
logged "udevadm trigger --action=add --subsystem-match=usb"
diff <(grep -v '^#' "$rule") <(expected_rule 1234:abcd 0001:002f 0fd9:0063) || fail "rule lines differ from the template's"
[ "$(stat -c %a "$rule")" = 644 ] || fail "rule file mode $(stat -c %a "$rule")"

case="same ids again: already installed"
helper_run
expect 0 "already installed"
nothing_run

case="--force reinstalls"
helper_run --force
expect 0 "Wrote|Replaced"
logged "udevadm control --reload-rules"

case="command-line ids replace the rule"
helper_run 5678:9ABC
expect 0 "Replaced .*5678:9abc"
grep -q "5678:9abc is not in" <<<"$out" || fail "no word that the id is missing from usb-ids"
[ "$(rule_names)" = "5678:9abc " ] || fail "rule names $(rule_names)"

case="--print changes nothing"
cp "$rule" "$T/before"
helper_run --print 0abc:0def
expect 0 'idVendor\}=="0abc", ATTRS\{idProduct\}=="0def"'
nothing_run
cmp -s "$rule" "$T/before" || fail "--print changed the rule"

# Malformed ids: nothing is written and no privilege is asked for.
for bad in "1234" "12345:abcd" "*:*" "1234:abcd:ef" "12 34:abcd" ":abcd" "1234:" "12g4:abcd" "-1:2"; do
    case="malformed line '$bad'"
    printf '1234:abcd\n%s\n' "$bad" >"$ids_file"
    helper_run
    expect 2 "line 2: '$(sed 's/[*]/[*]/g' <<<"$bad")' is not a vendor:product pair"
    nothing_run
    cmp -s "$rule" "$T/before" || fail "the rule changed"
done
for args in "*" "1234:abcd 99999:1" "--bogus" "--remove 1234:abcd"; do
    case="bad command line '$args'"
    # shellcheck disable=SC2086
    helper_run $args
    expect 2 "not a vendor:product pair|unknown option|takes no ids"
    nothing_run
done

case="no ids file"
rm "$ids_file"
helper_run
expect 3 "no usb-ids file at '$T/home/.config/Wren Capture/usb-ids'"
nothing_run
case="XDG_CONFIG_HOME is honoured"
mkdir -p "$T/xdg/Wren Capture" && echo 1234:abcd >"$T/xdg/Wren Capture/usb-ids"
helper_run XDG_CONFIG_HOME="$T/xdg" --print
expect 0 'idVendor\}=="1234"'
case="ids file with comments only"
printf '# nothing yet\n\n   \n' >"$ids_file"
helper_run
expect 3 "lists no boards"
nothing_run

echo 1234:abcd >"$ids_file"
case="neither pkexec nor sudo"
path="$T/fake:$T/sys"
helper_run
expect 4 "neither pkexec nor sudo"
cmp -s "$rule" "$T/before" || fail "the rule changed"
case="sudo when there is no pkexec"
path="$T/fake:$T/sudo:$T/sys"
helper_run
expect 0 "through sudo"
logged "sudo /bin/sh -c"
[ "$(rule_names)" = "1234:abcd " ] || fail "rule names $(rule_names)"
path=$with_pkexec

case="pkexec refused"
cp "$rule" "$T/before"
helper_run FAKE_REFUSE=1 0abc:0def
expect 1 "refused or dismissed; nothing was changed"
cmp -s "$rule" "$T/before" || fail "the rule changed"
case="udev reload fails"
helper_run FAKE_RELOAD_STATUS=1 0abc:0def
expect 1 "reload-rules' failed"
case="as root: no pkexec"
helper_run FAKE_UID=0 0123:4567
expect 0 "Replaced"
grep -q pkexec "$T/log" && fail "pkexec was used as root"

case="a rule written by hand is left alone"
expected_rule 1234:abcd >"$rule"
cp "$rule" "$T/before"
helper_run
expect 5 "not written by kestrel-capture-board-access"
nothing_run
cmp -s "$rule" "$T/before" || fail "the rule changed"
helper_run --remove
expect 5 "not written by"
case="--force replaces a rule written by hand"
helper_run --force
expect 0 "Replaced"

case="--remove"
helper_run --remove
expect 0 "Removed .*70-kestrel-capture.rules"
[ ! -e "$rule" ] || fail "the rule is still there"
logged "udevadm control --reload-rules"
helper_run --remove
expect 0 "nothing to do"
nothing_run

case="no udevadm"
rm "$T/fake/udevadm"
helper_run
expect 1 "udevadm is not installed"
[ ! -e "$rule" ] || fail "a rule was written"

[ "$failures" = 0 ] && echo "all cases passed"
[ "$failures" = 0 ]
