#!/bin/sh
# The demo as a user runs it, for SOAK_SECONDS (default 1800): under its own
# virtual display with a window manager and SDL's disk audio driver, driven
# with xdotool (split toggles with the control window focused, snapshots, a
# recording of SOAK_RECORD_SECONDS every SOAK_RECORD_EVERY seconds), resident
# memory sampled every 30 s. At the end every snapshot must pass pngcheck,
# every recording decode cleanly in ffmpeg, SIGTERM must end the program
# with status 0 having written the settings file, and resident memory (its
# anonymous part, sampled between recordings) may grow by less than 2 MiB
# from the end of the second recording to the end, nor keep rising: over the
# last 20 minutes (or the run after the second recording, if shorter) its
# slope stays under 10 KiB a minute. The picture may not stand still for
# more than 250 ms, not counting the time its UI thread waited for a CPU:
# the demo reports each gap between painted frames of 100 ms or more, and
# each is set beside the driver's last action before it (this driver
# neither replugs the board nor updates its firmware, the two times a longer
# gap is expected).
#   soak_app.sh BUILD_DIR
# SOAK_APP_KEEP=1 keeps the work folder (snapshots, recordings, the log);
# SOAK_APP_WRAPPER="heaptrack -o FILE" runs the demo under a tool (the memory
# figures and the exit check then see the tool's process).
set -u

build=${1:-build}
demo=$(cd "$build/src" 2>/dev/null && pwd)/kestrel-capture-demo
[ -x "$demo" ] || { echo "soak-app: no $build/src/kestrel-capture-demo (make build first)" >&2; exit 2; }

if [ "${SOAK_APP_INSIDE:-}" != 1 ]; then
    export SOAK_APP_INSIDE=1
    exec xvfb-run -a -s "-screen 0 1920x1080x24" sh "$0" "$build"
fi

seconds=${SOAK_SECONDS:-1800}
record_every=${SOAK_RECORD_EVERY:-150}
record_seconds=${SOAK_RECORD_SECONDS:-20}
growth_limit_kib=2048
slope_limit_kib_per_min=10
slope_window=1200
paint_gap_limit_ms=250
work=$(mktemp -d /tmp/kestrel-soak-app.XXXXXX)
mkdir -p "$work/home/Desktop" "$work/config"
out="$work/home/Desktop"
settings_file="$work/config/Wren Capture/kestrel_capture.cfg"
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work"
export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null SDL_DISKAUDIOFILEIN=/dev/zero
export QT_QPA_PLATFORM=xcb

failed=0
fail() { echo "  [FAILED] $*"; failed=$((failed + 1)); }
pass() { echo "  [ok] $*"; }

openbox >/dev/null 2>&1 &
wm=$!
sleep 1
${SOAK_APP_WRAPPER:-} "$demo" >"$work/demo.log" 2>&1 &
pid=$!

cleanup() {
    kill "$pid" 2>/dev/null
    kill "$wm" 2>/dev/null
    if [ "${SOAK_APP_KEEP:-}" = 1 ] || [ "$failed" -gt 0 ]; then
        echo "work folder kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

# The control window is the wide one of the program's two top-level windows
# at start (the joined screen window is taller than wide).
ctl=""
for _ in $(seq 1 300); do
    for w in $(xdotool search --name '^Kestrel Capture$' 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$w")"
        [ "$WIDTH" -gt "$HEIGHT" ] && ctl=$w && cw=$WIDTH && ch=$HEIGHT
    done
    [ -n "$ctl" ] && break
    sleep 0.2
done
[ -n "$ctl" ] || { fail "the control window did not appear"; exit 1; }

# Clicks a point of the control window given in tenths of its dialog units
# (the window is 251 x 103 dialog units).
click() {
    xdotool mousemove --window "$ctl" $((cw * $1 / 2510)) $((ch * $2 / 1030)) click 1
}
record_button() { click 235 220; }
snapshot_button() { click 630 220; }
# Split and join again: outside these few seconds the layout is always the
# joined one, so that memory samples compare like with like (two windows
# hold more than one).
split_toggle() {
    xdotool windowactivate --sync "$ctl" key alt+s
    sleep 3
    xdotool windowactivate --sync "$ctl" key alt+s
}

# Resident memory in all, and its anonymous part (heap, stacks): the check is
# on the anonymous part, since the resident share of mapped library code
# rises and falls with the page cache of the whole machine.
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null; }
anon_kib() { awk '/^RssAnon:/ { print $2 }' "/proc/$pid/status" 2>/dev/null; }
# What the driver did when, in wall-clock seconds as the demo reports gaps.
event() { echo "$(date +%s.%N) $*" >>"$work/events"; }

echo "soak-app: $seconds s, a $record_seconds s recording every $record_every s, work folder $work"
start=$(date +%s)
recordings=0
snapshots=0
toggles=0
recording_until=-1
last_stop=-100
rss_after_second=""
samples=""
next_sample=0
next_record=30
next_snapshot=5
next_toggle=20
t=0
while [ "$t" -lt "$seconds" ]; do
    kill -0 "$pid" 2>/dev/null || { fail "the demo ended on its own at $t s"; break; }
    if [ "$t" -ge "$next_sample" ]; then
        rss=$(rss_kib)
        anon=$(anon_kib)
        samples="$samples $t:$rss/$anon"
        # A recording holds its encoder and file buffers: the memory checks
        # take only the samples between recordings.
        [ "$recording_until" -lt 0 ] && [ "$recordings" -ge 2 ] && [ $((t - last_stop)) -ge 10 ] &&
            echo "$t $anon" >>"$work/idle_anon"
        echo "  t=${t}s rss=${rss} KiB anon=${anon} KiB recordings=$recordings snapshots=$snapshots"
        next_sample=$((next_sample + 30))
    fi
    if [ "$recording_until" -ge 0 ] && [ "$t" -ge "$recording_until" ]; then
        event "recording $((recordings + 1)) stop"
        record_button
        recording_until=-1
        recordings=$((recordings + 1))
        last_stop=$t
        if [ "$recordings" -eq 2 ]; then
            sleep 5
            rss_after_second=$(rss_kib)
            anon_after_second=$(anon_kib)
            echo "  after the second recording: rss=${rss_after_second} KiB anon=${anon_after_second} KiB"
        fi
    elif [ "$recording_until" -lt 0 ] && [ "$t" -ge "$next_record" ] &&
         [ $((t + record_seconds)) -lt "$seconds" ]; then
        event "recording $((recordings + 1)) start"
        record_button
        recording_until=$((t + record_seconds))
        next_record=$((next_record + record_every))
    fi
    if [ "$t" -ge "$next_snapshot" ]; then
        event "snapshot $((snapshots + 1))$([ "$recording_until" -ge 0 ] && echo ' (recording)')"
        snapshot_button
        snapshots=$((snapshots + 1))
        next_snapshot=$((next_snapshot + 15))
    fi
    if [ "$t" -ge "$next_toggle" ]; then
        event "split toggle $((toggles + 1))"
        split_toggle
        toggles=$((toggles + 1))
        next_toggle=$((next_toggle + 45))
    fi
    sleep 2
    t=$(($(date +%s) - start))
done
[ "$recording_until" -ge 0 ] && { event "recording $((recordings + 1)) stop"; record_button; recordings=$((recordings + 1)); }
# As long as the samples between recordings wait after a stop.
sleep 10
rss_end=$(rss_kib)
anon_end=$(anon_kib)
echo "  end: rss=${rss_end} KiB anon=${anon_end} KiB"

# Shutdown by signal, as a session ending would.
stop_at=$(date +%s)
sleep 1
kill -TERM "$pid"
wait "$pid"
status=$?
echo "soak-app: ${recordings} recordings, ${snapshots} snapshot clicks, ${toggles} split toggles"
echo "resident memory (s:KiB all/anonymous):$samples end:$rss_end/$anon_end"

[ "$status" -eq 0 ] && pass "SIGTERM ended the demo with status 0" || fail "SIGTERM: exit status $status"
if [ -f "$settings_file" ] && [ "$(stat -c %Y "$settings_file")" -ge "$stop_at" ] &&
   [ "$(stat -c %s "$settings_file")" -ge 1864 ]; then
    pass "settings file written at exit"
else
    fail "settings file not written at exit ($settings_file)"
fi

pngs=0
bad_pngs=0
for f in "$out"/*.png; do
    [ -e "$f" ] || continue
    pngs=$((pngs + 1))
    pngcheck -q "$f" >/dev/null 2>&1 || { bad_pngs=$((bad_pngs + 1)); pngcheck "$f"; }
done
[ "$pngs" -gt 0 ] && [ "$bad_pngs" -eq 0 ] && pass "$pngs snapshots pass pngcheck" ||
    fail "snapshots: $pngs written, $bad_pngs fail pngcheck"
[ "$pngs" -ge $((snapshots * 9 / 10)) ] || fail "only $pngs snapshot files for $snapshots clicks"

avis=0
bad_avis=0
for f in "$out"/*.avi; do
    [ -e "$f" ] || continue
    avis=$((avis + 1))
    errors=$(ffmpeg -nostdin -v error -i "$f" -f null - 2>&1)
    if [ $? -ne 0 ] || [ -n "$errors" ]; then
        bad_avis=$((bad_avis + 1))
        echo "$f: $errors" | head -5
    fi
done
[ "$avis" -eq "$recordings" ] && [ "$bad_avis" -eq 0 ] && pass "$avis recordings decode without an error" ||
    fail "recordings: $avis files for $recordings recordings, $bad_avis with decoding errors"

# From the first sample between recordings after the second one: the end
# of a recording is still settling 5 s after it.
idle_after_second=$(awk 'NR == 1 { print $2 }' "$work/idle_anon" 2>/dev/null)
[ -n "$idle_after_second" ] && anon_after_second=$idle_after_second
if [ -n "$rss_after_second" ] && [ "$recordings" -ge 4 ]; then
    growth=$((anon_end - anon_after_second))
    echo "  resident memory after the second recording to the end: ${growth} KiB anonymous," \
         "$((rss_end - rss_after_second)) KiB in all"
    if [ "$growth" -lt "$growth_limit_kib" ]; then
        pass "resident memory grew ${growth} KiB after the second recording (limit $growth_limit_kib)"
    else
        fail "resident memory grew ${growth} KiB after the second recording (limit $growth_limit_kib)"
    fi
else
    echo "  (too short a run for the memory check: $recordings recordings)"
fi

# The least-squares slope of the idle samples in the window, in KiB a minute.
if [ -n "$rss_after_second" ] && [ -f "$work/idle_anon" ] && [ "$(wc -l <"$work/idle_anon")" -ge 4 ]; then
    from=$((seconds - slope_window))
    slope=$(awk -v from="$from" '$1 >= from { x = $1 / 60; n++; sx += x; sy += $2; sxx += x * x; sxy += x * $2 }
        END { if (n < 3 || n * sxx == sx * sx) print "none"; else printf "%.1f", (n * sxy - sx * sy) / (n * sxx - sx * sx) }' \
        "$work/idle_anon")
    [ "$slope" = none ] && slope=$(awk '{ x = $1 / 60; n++; sx += x; sy += $2; sxx += x * x; sxy += x * $2 }
        END { printf "%.1f", (n * sxy - sx * sy) / (n * sxx - sx * sx) }' "$work/idle_anon")
    if awk -v s="$slope" -v l="$slope_limit_kib_per_min" 'BEGIN { exit !(s < l) }'; then
        pass "resident memory slope ${slope} KiB/min between recordings (limit $slope_limit_kib_per_min)"
    else
        fail "resident memory slope ${slope} KiB/min between recordings (limit $slope_limit_kib_per_min)"
    fi
fi

# The gaps that were the program's own (less the UI thread's wait for a
# CPU: on a busy machine that is most of a gap), each beside the driver's
# last action before it ended.
longest=$(sed -n 's/^longest paint gap: \([0-9]*\) ms, \([0-9]*\) ms of it.*/\1 \2/p' "$work/demo.log")
if [ -z "$longest" ]; then
    fail "the demo did not report its paint gaps"
else
    echo "  $(grep -c '^paint gap: ' "$work/demo.log") paint gaps of 100 ms or more"
    grep '^paint gap: ' "$work/demo.log" | while read -r _ _ ms _ waited _ _ _ _ _ _ _ _ _ end; do
        [ $((ms - waited)) -ge 100 ] || continue
        last=$(awk -v end="$end" '$1 <= end { line = $0 } END { print line }' "$work/events" 2>/dev/null)
        echo "  paint gap ${ms} ms (${waited} ms waiting for a CPU) after: ${last#* }" \
             "($(awk -v a="${last%% *}" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s before its end)"
    done
    set -- $longest
    if [ $(($1 - $2)) -le "$paint_gap_limit_ms" ]; then
        pass "longest gap between painted frames $1 ms, $2 ms of it waiting for a CPU (limit $paint_gap_limit_ms)"
    else
        fail "longest gap between painted frames $1 ms, $2 ms of it waiting for a CPU (limit $paint_gap_limit_ms)"
    fi
fi

echo "soak-app: $([ "$failed" -eq 0 ] && echo passed || echo FAILED)"
[ "$failed" -eq 0 ]
