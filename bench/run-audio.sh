#!/usr/bin/env bash
# Audio output benchmark: plays 60 s of 44100 Hz S16 stereo and 60 s of
# 192000 Hz S24-in-32 stereo through the PipeWireSink into a private headless
# PipeWire's null sink and, in the same run, the same PCM with pw-cat at the
# same latency (the server's fixed quantum of 4096 frames); then the 192000 Hz
# case again, for both, on a machine kept busy at normal priority on CPU,
# memory and I/O together (stress-ng --cpu 2 --vm 1 --io 1). For each it
# prints CPU seconds (user+sys) per minute of audio, peak RSS, the ratio to
# pw-cat, and the underruns heard on the null sink's monitor: silent frames
# inside the played audio plus frames that never arrived.
#
#   bench/run-audio.sh [build dir]      (default: build; SECONDS_OF_AUDIO=60)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
# ZRV_BENCH_QUICK=1 plays 10 s per run for a quick check.
if [ "${ZRV_BENCH_QUICK:-0}" = 1 ]; then seconds=${SECONDS_OF_AUDIO:-10}; else seconds=${SECONDS_OF_AUDIO:-60}; fi
quantum=4096

[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target audio_bench >/dev/null
bench=$build/bench/audio_bench

work=$(mktemp -d /tmp/zrv-audio-bench.XXXXXX)
recorder=
stress=
cleanup() {
    [ -n "$recorder" ] && kill "$recorder" 2>/dev/null || true
    [ -n "$stress" ] && kill "$stress" 2>/dev/null || true
    scripts/services/pipewire.sh stop "$work/pipewire" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
scripts/services/pipewire.sh start "$work/pipewire" >/dev/null
# The recorder is the measuring instrument: at a realtime priority the load
# cannot make it drop cycles, which would count as audio the player lost.
recorder_priority=()
chrt -f 10 true 2>/dev/null && recorder_priority=(chrt -f 10)
export "$(cat "$work/pipewire/env")"

# run <label> <rate> <pw-record format> <bytes per frame> <command...>
run() {
    local label=$1 rate=$2 format=$3 stride=$4
    shift 4
    "${recorder_priority[@]}" pw-record --target test_sink -P '{ stream.capture.sink = true }' --rate "$rate" --channels 2 \
        --format "$format" - >"$work/capture.raw" 2>/dev/null &
    recorder=$!
    sleep 0.5
    "$bench" measure "$@" >"$work/$label.log" 2>"$work/time"
    sleep 0.5
    kill -INT "$recorder" 2>/dev/null || true
    wait "$recorder" 2>/dev/null || true
    recorder=
    read -r user sys rss < <(tail -n 1 "$work/time")
    gaps=$("$bench" gaps "$rate" "$stride" $((rate * seconds)) "$work/capture.raw")
    echo "$label $user $sys $rss $gaps" >>"$work/results"
}

# The load: as many CPU hogs as cores, one worker churning memory and one
# forcing I/O, all at normal priority; it runs until it is killed.
start_load() {
    stress-ng --cpu "$(nproc)" --vm 1 --io 1 --quiet >/dev/null 2>&1 &
    stress=$!
    sleep 1
}
stop_load() {
    kill "$stress" 2>/dev/null || true
    wait "$stress" 2>/dev/null || true
    stress=
}

# case: rate, SDK format, pw-record format, bytes per captured frame, name, load
for case in "44100 0 s16 4 S16 idle" "192000 1 s32 8 S24_32 idle" "192000 1 s32 8 S24_32 loaded"; do
    read -r rate format record_format stride name load <<<"$case"
    [ -f "$work/$rate.wav" ] || "$bench" gen "$rate" "$format" "$seconds" "$work/$rate.wav"
    # Both players ask for the file's rate anyway; forcing it keeps the
    # recorder and a lingering client from holding the graph at another rate,
    # where the audio would be resampled.
    pw-metadata -n settings 0 clock.force-rate "$rate" >/dev/null
    label=$name-$rate
    [ "$load" = loaded ] && label=loaded-$label
    [ "$load" = loaded ] && start_load
    run "sink-$label" "$rate" "$record_format" "$stride" "$bench" play "$rate" "$format" "$work/$rate.wav"
    run "pw-cat-$label" "$rate" "$record_format" "$stride" \
        pw-cat --playback --target test_sink --latency "$quantum" "$work/$rate.wav"
    [ "$load" = loaded ] && stop_load
done
pw-metadata -n settings 0 clock.force-rate 0 >/dev/null

echo "Audio output: ${seconds} s per run, quantum $quantum, load during the loaded runs: stress-ng --cpu $(nproc) --vm 1 --io 1, PipeWire $(pipewire --version | awk '/Linked with/ {print $NF}')"
awk -v seconds="$seconds" '
    { run[NR] = $1; cpu[$1] = ($2 + $3) * 60 / seconds; rss[$1] = $4
      capture[$1] = $5 " " $6 " " $7 " " $8 " " $9
      # Frames that never arrived count as heard underruns too.
      u = $7; sub(/^silent_inside=/, "", u); m = $8; sub(/^missing=/, "", m); rate = $1; sub(/.*-/, "", rate)
      underrun[$1] = (u + m) * 1000 / rate }
    END {
        printf "%-30s %10s %10s %9s  %s\n", "run", "CPU s/min", "peak RSS", "CPU ratio", "capture of the null sink"
        for (i = 1; i <= NR; i++) {
            r = run[i]; ref = r; sub(/^sink-/, "pw-cat-", ref)
            ratio = (r ~ /^sink-/ && cpu[ref] > 0) ? sprintf("%.2f", cpu[r] / cpu[ref]) : "-"
            rss_ratio = (r ~ /^sink-/ && rss[ref] > 0) ? sprintf(" (RSS %.2f)", rss[r] / rss[ref]) : ""
            printf "%-30s %10.3f %7d kB %9s  %s%s\n", r, cpu[r], rss[r], ratio, capture[r], rss_ratio
        }
        # Machine-readable lines for bench/run-all: figure|value|reference|ratio|target|met.
        for (i = 1; i <= NR; i++) {
            r = run[i]; if (r !~ /^sink-/) continue
            ref = r; sub(/^sink-/, "pw-cat-", ref); name = r; sub(/^sink-/, "", name)
            if (sub(/^loaded-/, "", name)) name = name " under load"
            q = cpu[ref] > 0 ? cpu[r] / cpu[ref] : 0
            printf "RESULT Audio %s CPU s/min|%.3f|%.3f|%.2f|ratio <= 1.0|%s\n", name, cpu[r], cpu[ref], q,
                (cpu[ref] > 0 && q <= 1.0) ? "yes" : "no"
            printf "RESULT Audio %s silent or missing (ms)|%.1f|%.1f|-|<= pw-cat|%s\n", name, underrun[r], underrun[ref],
                underrun[r] <= underrun[ref] ? "yes" : "no"
        }
    }' "$work/results"
