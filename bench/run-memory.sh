#!/usr/bin/env bash
# Memory over a long playback: build/zorva-renderer as one process against a
# private headless PipeWire plays the stand-in's demo formats for six minutes
# (ZRV_STANDIN_CONNECT: the demo queue's four 6 s tracks over and over, so a
# gapless pair and two format changes come every 24 s, 64 tracks in all),
# while its resident set size (VmRSS) is sampled every second. In the same
# minutes pw-cat plays 44100 Hz S16 stereo into a second private PipeWire of
# its own, sampled the same way: the reference. Prints both series, and the
# growth from the first minute to the fifth against the target of at most
# 64 kB.
#
#   bench/run-memory.sh [build dir]   (ZRV_BENCH_QUICK=1: two minutes, growth
#                                      from 48 s to 120 s, no target)
# ZRV_BENCH_DAEMON=<path> measures another daemon binary (an older build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ "${ZRV_BENCH_QUICK:-0}" = 1 ]; then
    from_s=48 to_s=120 quick=1
else
    from_s=60 to_s=300 quick=0
fi
cycle_s=24
target_kb=64

[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null
daemon_binary=${ZRV_BENCH_DAEMON:-$build/zorva-renderer}
cmake --build "$build" --target audio_bench $([ -z "${ZRV_BENCH_DAEMON:-}" ] && echo zorva-renderer) >/dev/null
audio_bench=$build/bench/audio_bench

work=$(mktemp -d /tmp/zrv-memory-bench.XXXXXX)
daemon=
reference=
cleanup() {
    [ -n "$daemon" ] && kill -INT "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null || true
    [ -n "$reference" ] && kill "$reference" 2>/dev/null && wait "$reference" 2>/dev/null || true
    scripts/services/pipewire.sh stop "$work/pipewire" >/dev/null 2>&1 || true
    scripts/services/pipewire.sh stop "$work/pipewire-ref" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
scripts/services/pipewire.sh start "$work/pipewire" >/dev/null
scripts/services/pipewire.sh start "$work/pipewire-ref" >/dev/null

port=
for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 30000))
    [ -z "$(ss -Hltn "sport = :$candidate")" ] && port=$candidate && break
done
cat >"$work/daemon.json" <<EOF
{ "appId": "zorva-bench", "appSecret": "00112233445566778899aabbccddeeff",
  "deviceName": "Bench device", "volumeControlMode": "alsa", "port": ${port:-28112} }
EOF
queue=$(for _ in $(seq 16); do printf '44100/16/2/6000,44100/16/2/6000,48000/24/2/6000,96000/24/2/6000,'; done)
"$audio_bench" gen 44100 0 $((to_s + 20)) "$work/reference.wav" >/dev/null

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }

# The daemon and pw-cat start together; each gets the other's environment
# variables for its own server only.
(
    set -a
    . "$work/pipewire/env"
    exec env ZRV_STANDIN_CONNECT="standin:queue=${queue%,}" DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/zrv-bench-no-bus \
        "$daemon_binary" "$work/daemon.json"
) >"$work/daemon.log" 2>&1 &
daemon=$!
(
    set -a
    . "$work/pipewire-ref/env"
    exec pw-cat --playback --target test_sink --latency 4096 "$work/reference.wav"
) >"$work/reference.log" 2>&1 &
reference=$!
for _ in $(seq 100); do
    grep -q "PipeWire audio sink opened" "$work/daemon.log" && break
    sleep 0.1
done
if ! grep -q "PipeWire audio sink opened" "$work/daemon.log"; then
    echo "run-memory.sh: the daemon did not start playing; its log:" >&2
    cat "$work/daemon.log" >&2
    exit 1
fi

# The queue repeats every 24 s, and what the daemon holds follows the track
# it plays (a 96000 Hz ring buffer is four times a 44100 Hz one), so RSS is
# sampled every second and each 24 s cycle is summed up by its lowest and
# highest sample; growth is the change of the lowest one from the cycle that
# ends at the first mark to the one that ends at the second.
echo "Memory over ${to_s} s of playback: VmRSS every second, lowest and highest of each ${cycle_s} s cycle (kB)"
printf '%6s %12s %12s %12s\n' "s" "daemon low" "daemon high" "pw-cat low"
started=$SECONDS
: >"$work/samples"
for at in $(seq 1 "$to_s"); do
    sleep "$(awk -v t=$((started + at)) -v now="$SECONDS" 'BEGIN { d = t - now; print (d > 0 ? d : 0) }')"
    if ! kill -0 "$daemon" 2>/dev/null; then
        echo "run-memory.sh: the daemon ended early; its log:" >&2
        tail -n 30 "$work/daemon.log" >&2
        exit 1
    fi
    echo "$at $(rss_kb "$daemon") $(rss_kb "$reference")" >>"$work/samples"
    if [ $((at % cycle_s)) -eq 0 ] || [ "$at" -eq "$to_s" ]; then
        awk -v to="$at" -v c="$cycle_s" '$1 > to - c && $1 <= to {
            if (dl == "" || $2 < dl) dl = $2; if ($2 > dh) dh = $2; if (rl == "" || $3 < rl) rl = $3 }
            END { printf "%6d %12d %12d %12d\n", to, dl, dh, rl }' "$work/samples"
    fi
done
tracks=$(grep -c "Playback has finished" "$work/daemon.log" || true)
opens=$(grep -c "PipeWire audio sink opened" "$work/daemon.log" || true)
echo "daemon: $tracks track ends, the sink opened $opens times"

awk -v from="$from_s" -v to="$to_s" -v c="$cycle_s" -v target="$target_kb" -v quick="$quick" '
    function low(column, end,   i, m) {
        m = ""
        for (i = end - c + 1; i <= end; i++) if (i in rss && (m == "" || rss[i, column] < m)) m = rss[i, column]
        return m
    }
    { rss[$1] = 1; rss[$1, 2] = $2; rss[$1, 3] = $3 }
    END {
        dg = low(2, to) - low(2, from); rg = low(3, to) - low(3, from)
        printf "growth of the lowest RSS of a cycle, %d s to %d s: daemon %+d kB, pw-cat %+d kB\n", from, to, dg, rg
        met = quick ? "-" : (dg <= target ? "yes" : "no")
        printf "RESULT Daemon RSS growth over playback, %d s to %d s (kB)|%d|%d|-|%s|%s\n", from, to, dg, rg,
            (quick ? "-" : "<= " target " kB"), met
        printf "RESULT Daemon RSS at %d s of playback, lowest of its cycle (kB)|%d|%d|%.2f|-|-\n", to, low(2, to),
            low(3, to), (low(3, to) > 0 ? low(2, to) / low(3, to) : 0)
    }' "$work/samples"
