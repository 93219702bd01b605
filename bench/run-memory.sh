#!/usr/bin/env bash
# Memory over a long playback. build/zorva-renderer, as one process against a
# private headless PipeWire, plays the stand-in's demo formats for 380 s
# (ZRV_STANDIN_CONNECT: the demo queue's four 6 s tracks over and over, so a
# gapless pair and two format changes come every 24 s; 64 tracks in all). It
# runs twice at the same time, each instance into a PipeWire of its own:
# - as it is. Its RSS swings by up to some 5 MB with the track that plays, as
#   the C library trims the PipeWire thread's malloc arena after a format
#   change or keeps it, so the RSS at a mark is the lowest sample of the 80 s
#   from there on (what leaks only grows: its lowest sample is the first);
# - with the C library keeping what is freed (GLIBC_TUNABLES: no trimming, no
#   mmap below 32 MB). Its RSS is then the most the daemon has held, which the
#   repeating queue reaches within the first minute, so what it gains after
#   that is memory the daemon keeps. This figure has the target: at most 64 kB
#   from 60 s to 300 s of playback.
# Beside them pw-cat plays 44100 Hz S16 stereo into a third PipeWire: the
# reference. VmRSS of all three is sampled every second.
#
#   bench/run-memory.sh [build dir]   (ZRV_BENCH_QUICK=1: two minutes, growth
#                                      from 30 s to 90 s, no target)
# ZRV_BENCH_DAEMON=<path> measures another daemon binary (an older build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ "${ZRV_BENCH_QUICK:-0}" = 1 ]; then
    from_s=30 to_s=90 window_s=30 quick=1
else
    from_s=60 to_s=300 window_s=80 quick=0
fi
end_s=$((to_s + window_s))
cycle_s=24
target_kb=64
keep_freed=glibc.malloc.trim_threshold=1099511627776:glibc.malloc.mmap_threshold=33554432

[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null
daemon_binary=${ZRV_BENCH_DAEMON:-$build/zorva-renderer}
cmake --build "$build" --target audio_bench $([ -z "${ZRV_BENCH_DAEMON:-}" ] && echo zorva-renderer) >/dev/null
audio_bench=$build/bench/audio_bench

work=$(mktemp -d /tmp/zrv-memory-bench.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    for server in as-is kept reference; do
        scripts/services/pipewire.sh stop "$work/pipewire-$server" >/dev/null 2>&1 || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
for server in as-is kept reference; do scripts/services/pipewire.sh start "$work/pipewire-$server" >/dev/null; done

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
queue=$(for _ in $(seq 16); do printf '44100/16/2/6000,44100/16/2/6000,48000/24/2/6000,96000/24/2/6000,'; done)

# start_daemon <name> [VAR=value...]: plays the queue into pipewire-<name>;
# its pid goes to <name>.pid.
start_daemon() {
    local name=$1
    shift
    cat >"$work/$name.json" <<EOF
{ "appId": "zorva-bench", "appSecret": "00112233445566778899aabbccddeeff",
  "deviceName": "Bench device $name", "volumeControlMode": "alsa", "port": $(free_port) }
EOF
    (
        set -a
        . "$work/pipewire-$name/env"
        exec env ZRV_STANDIN_CONNECT="standin:queue=${queue%,}" \
            DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/zrv-bench-no-bus "$@" "$daemon_binary" "$work/$name.json"
    ) >"$work/$name.log" 2>&1 &
    pids+=($!)
    echo $! >"$work/$name.pid"
}

"$audio_bench" gen 44100 0 $((end_s + 20)) "$work/reference.wav" >/dev/null
start_daemon as-is
start_daemon kept GLIBC_TUNABLES="$keep_freed"
(
    set -a
    . "$work/pipewire-reference/env"
    exec pw-cat --playback --target test_sink --latency 4096 "$work/reference.wav"
) >"$work/reference.log" 2>&1 &
pids+=($!)
echo $! >"$work/reference.pid"
for name in as-is kept; do
    for _ in $(seq 100); do
        grep -q "PipeWire audio sink opened" "$work/$name.log" && break
        sleep 0.1
    done
    if ! grep -q "PipeWire audio sink opened" "$work/$name.log"; then
        echo "run-memory.sh: the daemon ($name) did not start playing; its log:" >&2
        cat "$work/$name.log" >&2
        exit 1
    fi
done

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$(cat "$work/$1.pid")/status" 2>/dev/null || echo 0; }

echo "Memory over ${end_s} s of playback: VmRSS every second; per ${cycle_s} s cycle the lowest and highest sample (kB)"
printf '%6s %14s %14s %14s %12s\n' s "as-is low" "as-is high" "kept high" "pw-cat low"
started=$SECONDS
: >"$work/samples"
for at in $(seq 1 "$end_s"); do
    sleep "$(awk -v t=$((started + at)) -v now="$SECONDS" 'BEGIN { d = t - now; print (d > 0 ? d : 0) }')"
    for name in as-is kept; do
        if ! kill -0 "$(cat "$work/$name.pid")" 2>/dev/null; then
            echo "run-memory.sh: the daemon ($name) ended early; its log:" >&2
            tail -n 30 "$work/$name.log" >&2
            exit 1
        fi
    done
    echo "$at $(rss_kb as-is) $(rss_kb kept) $(rss_kb reference)" >>"$work/samples"
    if [ $((at % cycle_s)) -eq 0 ] || [ "$at" -eq "$end_s" ]; then
        awk -v to="$at" -v c="$cycle_s" '$1 > to - c && $1 <= to {
            if (al == "" || $2 < al) al = $2; if ($2 > ah) ah = $2; if ($3 > kh) kh = $3; if (rl == "" || $4 < rl) rl = $4 }
            END { printf "%6d %14d %14d %14d %12d\n", to, al, ah, kh, rl }' "$work/samples"
    fi
done
for name in as-is kept; do
    echo "daemon ($name): $(grep -c "Playback has finished" "$work/$name.log" || true) track ends," \
        "the sink opened $(grep -c "PipeWire audio sink opened" "$work/$name.log" || true) times"
done

awk -v from="$from_s" -v to="$to_s" -v w="$window_s" -v target="$target_kb" -v quick="$quick" '
    # The lowest and the highest sample of a column in [first, last].
    function low(column, first, last,   i, m) {
        m = ""
        for (i = first; i <= last; i++) if ((i, column) in rss && (m == "" || rss[i, column] < m)) m = rss[i, column]
        return m
    }
    function high(column, first, last,   i, m) {
        m = 0
        for (i = first; i <= last; i++) if ((i, column) in rss && rss[i, column] > m) m = rss[i, column]
        return m
    }
    { for (column = 2; column <= 4; column++) rss[$1, column] = $column }
    END {
        a0 = low(2, from, from + w); a1 = low(2, to, to + w)
        swing = high(2, from, to + w) - low(2, from, to + w)
        k0 = high(3, 1, from); k1 = high(3, 1, to)
        r0 = low(4, from, from + w); r1 = low(4, to, to + w)
        printf "growth from %d s to %d s: freed memory kept %+d kB (%d to %d), pw-cat %+d kB; as it is %d to %d kB " \
            "(lowest of %d s), swinging by %d kB after %d s\n", from, to, k1 - k0, k0, k1, r1 - r0, a0, a1, w, swing,
            from
        met = quick ? "-" : (k1 - k0 <= target ? "yes" : "no")
        printf "RESULT Daemon RSS growth, %d s to %d s of playback, freed memory kept (kB)|%d|%d|-|%s|%s\n", from,
            to, k1 - k0, r1 - r0, (quick ? "-" : "<= " target " kB"), met
        printf "RESULT Daemon RSS swing after %d s of playback, as it is (kB)|%d|%d|-|-|-\n", from, swing,
            high(4, from, to + w) - low(4, from, to + w)
        printf "RESULT Daemon RSS at %d s of playback, as it is, lowest of %d s (kB)|%d|%d|%.2f|-|-\n", to, w, a1,
            r1, (r1 > 0 ? a1 / r1 : 0)
    }' "$work/samples"
