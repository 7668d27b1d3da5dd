#!/usr/bin/env bash
# Checks a built kestrel-capture .deb the way a user meets it: lintian, the
# file list, the desktop entry, AppStream data, manual pages and icons, then
# starts the unpacked binary under Xvfb with no board, ends it with SIGTERM
# and looks at what it left behind. Given the build folder too, it runs the
# unpacked binary against the emulated board with old firmware and an image
# in the package's firmware folder, and pushes Start: the update must find it.
#   packaging/check-package.sh kestrel-capture_<version>_<arch>.deb [build folder]
set -euo pipefail

deb=$(realpath "$1")
build=${2:+$(realpath "$2")}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-package-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
failures=0

step() { printf '== %s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*" >&2; failures=$((failures + 1)); }

step "lintian $(basename "$deb")"
# Errors fail the check; warnings and the rest are listed for the reader.
lintian --fail-on error --display-level '>=info' "$deb" 2>&1 | grep -v 'running with root privileges' ||
    [ "${PIPESTATUS[0]}" = 0 ] || fail "lintian reports errors"

step "control fields"
dpkg-deb -f "$deb" Package Version Architecture Depends
# The camera share links the PipeWire client library (the daemon itself is optional).
dpkg-deb -f "$deb" Depends | grep -q 'libpipewire-0\.3-0' || fail "Depends does not name the PipeWire client library"
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "kestrel-capture_${version}_$(dpkg-deb -f "$deb" Architecture).deb" ] ||
    fail "file name does not match the package's name, version and architecture"
zcat -f <(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/kestrel-capture/changelog.gz) |
    head -1 | grep -qF "kestrel-capture ($version)" || fail "the changelog's latest entry is not version $version"

step "file list"
dpkg-deb -x "$deb" "$root"
(cd "$root" && find . \( -type f -o -type l \) -printf '/%P\n' | sort) >"$work/actual"
grep -v '^#' "$here/expected-files.txt" | sort >"$work/expected"
diff -u "$work/expected" "$work/actual" || fail "the package's files differ from packaging/expected-files.txt"
for program in usr/bin/kestrel-capture usr/bin/kestrel-capture-board-access; do
    [ -x "$root/$program" ] || fail "/$program is not executable"
done
firmware=$root/usr/share/kestrel-capture/firmware
[ -d "$firmware" ] && [ "$(ls -A "$firmware")" = README.md ] ||
    fail "/usr/share/kestrel-capture/firmware should hold its README only"

step "desktop entry"
desktop-file-validate "$root/usr/share/applications/kestrel-capture.desktop" || fail "desktop-file-validate"

step "AppStream metainfo"
metainfo=$(ls "$root"/usr/share/metainfo/*.metainfo.xml 2>/dev/null || true)
[ -n "$metainfo" ] || fail "no metainfo under /usr/share/metainfo"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
grep -q '<launchable type="desktop-id">kestrel-capture.desktop</launchable>' "$metainfo" ||
    fail "the metainfo does not launch kestrel-capture.desktop"
grep -q '<screenshot' "$metainfo" || fail "the metainfo has no screenshot"

step "manual pages"
for page in "$root"/usr/share/man/man1/*.1.gz; do
    # groff's own warnings (-w) count as faults: they mean broken markup.
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man -l $(basename "$page")"
    [ -z "$warnings" ] || fail "man -l $(basename "$page"): $warnings"
    MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^NAME' || fail "$(basename "$page") renders no NAME section"
done

step "icons"
for size in 48 128 256; do
    png=$root/usr/share/icons/hicolor/${size}x$size/apps/kestrel-capture.png
    [ -f "$png" ] || { fail "no ${size}x$size icon"; continue; }
    # The IHDR chunk: width and height as big-endian 32-bit numbers at byte 16.
    read -r w h < <(od -An -tu1 -j16 -N8 "$png" | awk '{ print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }')
    [ "$w $h" = "$size $size" ] || fail "$png is ${w}x$h, not ${size}x$size"
done

step "kestrel-capture-board-access --print"
mkdir -p "$work/home/.config/Wren Capture"
echo "1234:ABCD  # a board" >"$work/home/.config/Wren Capture/usb-ids"
rule=$(env -u XDG_CONFIG_HOME HOME="$work/home" "$root/usr/bin/kestrel-capture-board-access" --print) ||
    fail "kestrel-capture-board-access --print"
printf '%s\n' "$rule"
grep -q 'ATTRS{idVendor}=="1234", ATTRS{idProduct}=="abcd".*TAG+="uaccess"' <<<"$rule" ||
    fail "the printed rule does not name 1234:abcd"
rm -r "$work/home"

step "kestrel-capture under Xvfb, no board, ended by SIGTERM"
home=$work/home
mkdir -p "$home" "$work/runtime"
chmod 700 "$work/runtime"
cat >"$work/run.sh" <<'EOF'
set -u
"$KESTREL_BINARY" >"$KESTREL_LOG" 2>&1 &
pid=$!
# Up to two minutes for the control window and the screen window to be mapped
# (the machine may be busy).
for _ in $(seq 240); do
    windows=$(xwininfo -root -tree 2>/dev/null | grep -c '("kestrel-capture" "Kestrel Capture")')
    [ "$windows" -ge 2 ] && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.5
done
xwininfo -root -tree | grep '("kestrel-capture"' >"$KESTREL_WINDOWS"
kill -TERM $pid 2>/dev/null
wait $pid
EOF
status=0
env -i PATH="$PATH" HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
    XDG_STATE_HOME="$home/state" XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$work/runtime" \
    KESTREL_BINARY="$root/usr/bin/kestrel-capture" KESTREL_LOG="$work/app.log" KESTREL_WINDOWS="$work/windows" \
    xvfb-run -a -s "-screen 0 1280x1024x24" sh "$work/run.sh" || status=$?
sed 's/^/  window: /' "$work/windows"
[ "$(wc -l <"$work/windows")" -ge 2 ] || fail "the control window and a screen window did not both open"
[ "$status" = 0 ] || fail "kestrel-capture ended with status $status after SIGTERM"
settings="$home/config/Wren Capture/kestrel_capture.cfg"
[ -s "$settings" ] || fail "no settings written to $settings"
if [ $failures != 0 ] && [ -s "$work/app.log" ]; then
    echo "kestrel-capture's output:"; sed 's/^/  /' "$work/app.log"
fi

step "the unpacked kestrel-capture updates an old board from /usr/share/kestrel-capture/firmware"
launcher=${build:+$build/tests/kestrel-usb-launcher}
image=${build:+$build/src/demo_firmware/104.zlib}
if [ -z "$build" ]; then
    echo "  (skipped: no build folder given)"
elif [ ! -x "$launcher" ] || [ ! -f "$image" ]; then
    fail "$launcher or $image is missing (build the tests first)"
else
    # The emulated board is of type 4 and takes image 104; the program sees
    # the unpacked package as its root (KESTREL_CAPTURE_ROOT), nothing else.
    # No sound: ALSA's probe of /dev/snd under the USB emulation's preload
    # overflows the preload's table of open devices.
    cp "$image" "$firmware/104.zlib"
    home=$work/update-home
    mkdir -p "$home/config/Wren Capture"
    echo "1209:4b43  # the emulated capture board" >"$home/config/Wren Capture/usb-ids"
    cat >"$work/update.sh" <<'SCRIPT'
set -u
"$KESTREL_LAUNCHER" --old-firmware -- "$KESTREL_BINARY" >"$KESTREL_LOG" 2>&1 &
pid=$!
named() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1; }
outcome="the firmware update dialog did not appear"
dialog=
for _ in $(seq 240); do
    dialog=$(named '^Firmware Update$')
    [ -n "$dialog" ] && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.5
done
if [ -n "$dialog" ]; then
    # Cancel, the default button, has the focus; Start is the one before it.
    sleep 1
    xdotool windowfocus --sync "$dialog" key shift+Tab space
    outcome="the update did not end within two minutes"
    for _ in $(seq 240); do
        error=$(named '^Error \(')
        if [ -n "$error" ]; then outcome="$(xdotool getwindowname "$error")"; break; fi
        if [ -z "$(named '^Firmware Update$')" ]; then
            # Cancel would have ended the program: an update leaves it running.
            sleep 2
            kill -0 $pid 2>/dev/null && outcome=updated || outcome="the program ended with the dialog"
            break
        fi
        sleep 0.5
    done
fi
echo "$outcome" >"$KESTREL_OUTCOME"
kill -TERM $pid 2>/dev/null
wait $pid
SCRIPT
    env -i PATH="$PATH" HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
        XDG_STATE_HOME="$home/state" XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$work/runtime" \
        SDL_AUDIODRIVER=dummy KESTREL_CAPTURE_ROOT="$root" KESTREL_LAUNCHER="$launcher" KESTREL_BINARY="$root/usr/bin/kestrel-capture" \
        KESTREL_LOG="$work/update.log" KESTREL_OUTCOME="$work/outcome" \
        xvfb-run -a -s "-screen 0 1280x1024x24" sh "$work/update.sh" || true
    outcome=$(cat "$work/outcome" 2>/dev/null || echo "no outcome")
    echo "  $outcome"
    if [ "$outcome" != updated ]; then
        fail "the update with $firmware/104.zlib: $outcome"
        sed 's/^/  /' "$work/update.log"
    fi
fi

if [ $failures != 0 ]; then
    echo "package check: $failures failure(s)" >&2
    exit 1
fi
echo "package check: $(basename "$deb") is fine"
