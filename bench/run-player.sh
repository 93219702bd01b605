#!/usr/bin/env bash
# Player benchmark: the stand-in's playback service drives the Player, which
# plays into a private headless PipeWire's null sink: 3 minutes of 44100 Hz
# S16 stereo (three 60 s tracks, two gapless transitions) and 1 minute of
# 192000 Hz S24-in-32 stereo (two 30 s tracks), each beside pw-cat playing the
# same PCM at the same latency (the server's fixed quantum of 4096 frames),
# then one format change (44100 S16 to 192000 S24) for the silence it leaves.
# Prints CPU seconds (user+sys) per minute of audio, the CPU the stand-in
# spends generating its PCM (inside the Player's process), peak RSS, the
# ratios to pw-cat, loop wake-ups per second, underruns heard on the null
# sink's monitor, and the frames inserted or dropped against the PCM.
#
#   bench/run-player.sh [build dir]   (CD_TRACK_MS=60000 HIRES_TRACK_MS=30000 to shorten)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
# ZRV_BENCH_QUICK=1 shortens the tracks to 10 s and 5 s for a quick check.
if [ "${ZRV_BENCH_QUICK:-0}" = 1 ]; then
    cd_ms=${CD_TRACK_MS:-10000}
    hires_ms=${HIRES_TRACK_MS:-5000}
else
    cd_ms=${CD_TRACK_MS:-60000}
    hires_ms=${HIRES_TRACK_MS:-30000}
fi
quantum=4096

[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target player_bench audio_bench >/dev/null
bench=$build/bench/player/player_bench
audio_bench=$build/bench/audio_bench

work=$(mktemp -d /tmp/zrv-player-bench.XXXXXX)
recorder=
cleanup() {
    [ -n "$recorder" ] && kill "$recorder" 2>/dev/null || true
    scripts/services/pipewire.sh stop "$work/pipewire" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
scripts/services/pipewire.sh start "$work/pipewire" >/dev/null
export "$(cat "$work/pipewire/env")"

# capture <rate> <pw-record format> <command...>: runs the command under
# measure while recording test_sink; leaves capture.raw and time.
capture() {
    local rate=$1 format=$2
    shift 2
    pw-record --target test_sink -P '{ stream.capture.sink = true }' --rate "$rate" --channels 2 \
        --format "$format" - >"$work/capture.raw" 2>/dev/null &
    recorder=$!
    sleep 0.5
    "$audio_bench" measure "$@" >"$work/out.log" 2>"$work/time"
    sleep 0.5
    kill -INT "$recorder" 2>/dev/null || true
    wait "$recorder" 2>/dev/null || true
    recorder=
}

printf '%-26s %9s %9s %9s %10s %9s %9s  %s\n' run "CPU s/min" "gen s/min" "CPU ratio" "peak RSS" "RSS ratio" "wakeup/s" \
    "capture"
# case: label rate format bits pw-record-format capture-bytes tracks track-ms
for run_case in "S16-44100 44100 0 16 s16 2 3 $cd_ms" "S24_32-192000 192000 1 24 s24 3 2 $hires_ms"; do
    read -r label rate format bits record_format capture_bytes tracks track_ms <<<"$run_case"
    stride=$((2 * capture_bytes))
    frames=$((rate * track_ms / 1000 * tracks))
    minutes=$(awk -v f="$frames" -v r="$rate" 'BEGIN { print f / r / 60 }')
    queue=$(for i in $(seq "$tracks"); do printf '%s/%s/2/%s,' "$rate" "$bits" "$track_ms"; done)
    pw-metadata -n settings 0 clock.force-rate "$rate" >/dev/null

    capture "$rate" "$record_format" "$bench" play "standin:queue=${queue%,}"
    read -r user sys rss < <(tail -n 1 "$work/time")
    wakeups=$(awk '/wakeups_per_s/ { print $2 }' "$work/time")
    gaps=$("$audio_bench" gaps "$rate" "$stride" "$frames" "$work/capture.raw" | grep -o 'underrun_ms=[0-9.]*')
    exact=$("$bench" compare "$rate" "$format" "$tracks" "$track_ms" "$capture_bytes" "$work/capture.raw")
    gen=$("$bench" gencost "$rate" "$format" $((frames / rate)))
    player_cpu=$(awk -v u="$user" -v s="$sys" -v m="$minutes" 'BEGIN { print (u + s) / m }')
    gen_cpu=$(awk -v g="$gen" -v m="$minutes" 'BEGIN { print g / m }')
    player_rss=$rss

    "$bench" wav "$rate" "$format" "$tracks" "$track_ms" "$work/ref.wav"
    capture "$rate" "$record_format" pw-cat --playback --target test_sink --latency "$quantum" "$work/ref.wav"
    read -r user sys rss < <(tail -n 1 "$work/time")
    ref_gaps=$("$audio_bench" gaps "$rate" "$stride" "$frames" "$work/capture.raw" | grep -o 'underrun_ms=[0-9.]*')
    ref_cpu=$(awk -v u="$user" -v s="$sys" -v m="$minutes" 'BEGIN { print (u + s) / m }')
    rm -f "$work/ref.wav"

    awk -v l="player $label" -v c="$player_cpu" -v g="$gen_cpu" -v rc="$ref_cpu" -v rss="$player_rss" \
        -v rrss="$rss" -v w="$wakeups" -v cap="$gaps $exact" 'BEGIN {
        printf "%-26s %9.3f %9.3f %9.2f %7d kB %9.2f %9s  %s\n", l, c, g, (rc > 0 ? c / rc : 0), rss, (rrss > 0 ? rss / rrss : 0), w, cap }'
    awk -v l="pw-cat $label" -v c="$ref_cpu" -v rss="$rss" -v cap="$ref_gaps" 'BEGIN {
        printf "%-26s %9.3f %9s %9s %7d kB %9s %9s  %s\n", l, c, "-", "-", rss, "-", "-", cap }'
    echo "  ($((tracks)) tracks of ${track_ms} ms; CPU ratio without the stand-in's generation:" \
        "$(awk -v c="$player_cpu" -v g="$gen_cpu" -v rc="$ref_cpu" 'BEGIN { printf "%.2f", (rc > 0 ? (c - g) / rc : 0) }'))"
    # Machine-readable lines for bench/run-all: figure|value|reference|ratio|target|met.
    awk -v l="$label" -v c="$player_cpu" -v g="$gen_cpu" -v rc="$ref_cpu" -v pg="$gaps" -v rg="$ref_gaps" \
        -v exact="$exact" -v tracks="$tracks" 'BEGIN {
        printf "RESULT Player %s CPU s/min|%.3f|%.3f|%.2f|-|-\n", l, c, rc, (rc > 0 ? c / rc : 0)
        q = rc > 0 ? (c - g) / rc : 0
        printf "RESULT Player %s CPU s/min less stand-in PCM generation|%.3f|%.3f|%.2f|ratio <= 1.25|%s\n", l, c - g, rc,
            q, (rc > 0 && q <= 1.25) ? "yes" : "no"
        sub(/^underrun_ms=/, "", pg); sub(/^underrun_ms=/, "", rg)
        printf "RESULT Player %s underruns (ms)|%.1f|%.1f|-|-|-\n", l, pg, rg
        ins = exact; sub(/.*inserted=/, "", ins); sub(/ .*/, "", ins)
        drop = exact; sub(/.*dropped=/, "", drop); sub(/ .*/, "", drop)
        ok = (exact ~ /inserted=/ && ins == "0" && drop == "0")
        printf "RESULT Player %s frames inserted/dropped over %d gapless transitions|%s/%s|-|-|0/0|%s\n", l, tracks - 1,
            ins, drop, ok ? "yes" : "no"
        if (exact ~ /replaced=/) {
            rep = exact; sub(/.*replaced=/, "", rep); sub(/ .*/, "", rep)
            printf "RESULT Player %s frames replaced (by silence, mostly)|%s|-|-|-|-\n", l, rep
        }
    }'
done

# A format change: the graph is held at the new rate, so the silence between
# the two tracks is measured there (the first track is resampled).
pw-metadata -n settings 0 clock.force-rate 192000 >/dev/null
capture 192000 s24 "$bench" play "standin:queue=44100/16/2/3000,192000/24/2/3000"
silence=$(python3 - "$work/capture.raw" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
stride = 6
frames = [data[i:i + stride] != b'\0' * stride for i in range(0, len(data) - stride + 1, stride)]
first = frames.index(True); last = len(frames) - 1 - frames[::-1].index(True)
longest = run = 0
for sound in frames[first:last + 1]:
    run = 0 if sound else run + 1
    longest = max(longest, run)
print("%.1f" % (longest * 1000 / 192000))
PY
)
pw-metadata -n settings 0 clock.force-rate 0 >/dev/null
echo "format change 44100 S16 -> 192000 S24_32: longest silence inside the audio ${silence} ms (target <= 50 ms)"
awk -v s="$silence" 'BEGIN { printf "RESULT Player silence at a format change (ms)|%s|-|-|<= 50 ms|%s\n", s, (s != "" && s + 0 <= 50) ? "yes" : "no" }'
echo "PipeWire $(pipewire --version | awk '/Linked with/ {print $NF}'), quantum $quantum"
