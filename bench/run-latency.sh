#!/usr/bin/env bash
# Command-to-sound latency: the stand-in's playback service drives the Player
# into a private headless PipeWire's null sink, and a capture of the sink's
# monitor in the same process times what a listener would hear after each of
# the service's commands: pause and stop (to the first silent frame), resume
# (to the first frame of sound), seek (to the first frame at the new
# position) and skip (to the first frame of the next track), each at least
# 20 times at a random phase of the graph's cycle, at a fixed quantum of 1024
# and of 4096 frames (44100 Hz). Prints p50 and p99 beside a reference made
# first on the same graph (a minimal client that starts or stops a sound in
# the next cycle: the "reference" column of the RESULT lines), the graph's
# own path to the capture, and the stand-in's delivery time (the command to
# the Player's delegate call, or to the first data at the new position for
# seek). Targets: pause and resume within one quantum + 10 ms at p99; seek
# and skip within two quanta + the delivery time (p99).
#
#   bench/run-latency.sh [build dir]   (LATENCY_ROUNDS=25; ZRV_BENCH_QUICK=1: 5 rounds)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ "${ZRV_BENCH_QUICK:-0}" = 1 ]; then
    rounds=${LATENCY_ROUNDS:-5}
else
    rounds=${LATENCY_ROUNDS:-25}
fi

[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target latency_bench >/dev/null
bench=$build/bench/player/latency_bench

work=$(mktemp -d /tmp/zrv-latency-bench.XXXXXX)
cleanup() {
    scripts/services/pipewire.sh stop "$work/pipewire" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
# No realtime priority for the process: the loop thread would gain by it.
# The capture's stamps are the graph's own cycle times, taken in the cycle.

for quantum in 1024 4096; do
    ZRV_PW_QUANTUM=$quantum scripts/services/pipewire.sh start "$work/pipewire" >/dev/null
    if ! (export "$(cat "$work/pipewire/env")" && "$bench" "$quantum" "$rounds") \
        >"$work/out.log" 2>&1; then
        cat "$work/out.log" >&2
        exit 1
    fi
    # The Player's log goes to the same output; only the figures are shown.
    grep -E '^(RESULT|quantum|command|pause|resume|seek|skip|stop|ref|graph path) ' "$work/out.log"
    scripts/services/pipewire.sh stop "$work/pipewire" >/dev/null
done
echo "PipeWire $(pipewire --version | awk '/Linked with/ {print $NF}')"
