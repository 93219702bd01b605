#!/usr/bin/env bash
# Player benchmark: the stand-in's playback service drives the Player, which
# plays into a private headless PipeWire's null sink: 3 minutes of 44100 Hz
# S16 stereo (three 60 s tracks, two gapless transitions) and 1 minute of
# 192000 Hz S24-in-32 stereo (two 30 s tracks), each beside pw-cat playing the
# same PCM at the same latency (the server's fixed quantum of 4096 frames),
# then the daemon itself playing the stand-in's demo queue for the silence its
# two format changes leave.
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
cmake --build "$build" --target player_bench audio_bench zorva-renderer >/dev/null
bench=$build/bench/player/player_bench
audio_bench=$build/bench/audio_bench

work=$(mktemp -d /tmp/zrv-player-bench.XXXXXX)
recorder=
daemon=
cleanup() {
    [ -n "$recorder" ] && kill "$recorder" 2>/dev/null || true
    [ -n "$daemon" ] && kill "$daemon" 2>/dev/null || true
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

# capture <rate> <pw-record format> <command...>: runs the command under
# measure while recording test_sink; leaves capture.raw and time.
capture() {
    local rate=$1 format=$2
    shift 2
    "${recorder_priority[@]}" pw-record --target test_sink -P '{ stream.capture.sink = true }' --rate "$rate" --channels 2 \
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

# Format changes as a listener meets them: the daemon itself plays the
# stand-in's demo queue (44100 Hz S16, 44100 Hz S16 gapless, 48000 Hz S24_32,
# 96000 Hz S24_32, 6 s each) while the graph follows each track's rate, and
# test_sink's monitor is recorded at 44100 Hz. The silence at a change is the
# run of silent frames there; it is also given in graph quanta of 4096 frames
# at the rate the graph ran at until the change (the quantum in which the
# sink drains, the unit in which the first measurement, about 4.5 quanta, was
# given), and, in brackets, at the new track's rate. The target is at most 2
# quanta + 20 ms.
# The same again with a lead-in of 300 ms of silence at each change of rate
# (rateChangeSilenceMs): the silence is then the lead-in plus at most the
# same bound.
for lead_in in 0 300; do
    # A fresh server: the rates forced for the runs above leave a trace in
    # how the graph follows the tracks' rates (a quantum more at a change).
    scripts/services/pipewire.sh stop "$work/pipewire" >/dev/null
    scripts/services/pipewire.sh start "$work/pipewire" >/dev/null
    port=
    for try in $(seq 50); do
        candidate=$((20000 + RANDOM % 30000))
        [ -z "$(ss -Hltn "sport = :$candidate")" ] && port=$candidate && break
    done
    cat >"$work/daemon.json" <<EOF
{ "appId": "zorva-bench", "appSecret": "00112233445566778899aabbccddeeff",
  "deviceName": "Bench device", "volumeControlMode": "alsa", "port": ${port:-28111},
  "rateChangeSilenceMs": $lead_in }
EOF
    "${recorder_priority[@]}" pw-record --target test_sink -P '{ stream.capture.sink = true }' --rate 44100 --channels 2 \
        --format s16 - >"$work/capture.raw" 2>/dev/null &
    recorder=$!
    sleep 0.5
    ZRV_STANDIN_CONNECT=demo DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/zrv-bench-no-bus \
        "$build/zorva-renderer" "$work/daemon.json" >"$work/daemon.log" 2>&1 &
    daemon=$!
    for i in $(seq 600); do
        grep -q "Nothing else to play, stopping playback" "$work/daemon.log" && break
        sleep 0.1
    done
    sleep 0.5
    kill -INT "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
    daemon=
    kill -INT "$recorder" 2>/dev/null || true
    wait "$recorder" 2>/dev/null || true
    recorder=
    mapfile -t silences < <("$audio_bench" silences 44100 4 5 "$work/capture.raw")
    echo "format changes of the demo queue (44100 S16 -> 48000 S24_32 -> 96000 S24_32), lead-in $lead_in ms;" \
        "silent runs of 5 ms or more inside the capture: ${silences[*]:-none} ms"
    changes=("44100 S16 -> 48000 S24_32" "48000 S24_32 -> 96000 S24_32")
    old_rates=(44100 48000)
    new_rates=(48000 96000)
    for i in 0 1; do
        awk -v change="${changes[$i]}" -v ms="${silences[$i]:-}" -v count="${#silences[@]}" -v rate="${old_rates[$i]}" \
            -v new_rate="${new_rates[$i]}" -v quantum="$quantum" -v lead_in="$lead_in" 'BEGIN {
            q_ms = quantum * 1000 / rate; new_q_ms = quantum * 1000 / new_rate; limit = lead_in + 2 * q_ms + 20
            # Exactly one silent run per format change, none at the gapless one.
            ok = (count == 2 && ms != "")
            if (lead_in > 0) {
                printf "RESULT Player silence at the format change %s with a %d ms lead-in (ms)|%s|-|-|%d to %.1f ms|%s\n",
                    change, lead_in, (ms != "" ? ms : "-"), lead_in, limit,
                    (ok && ms + 0 >= lead_in && ms + 0 <= limit) ? "yes" : "no"
                exit
            }
            printf "RESULT Player silence at the format change %s (ms)|%s|-|-|<= %.1f ms|%s\n", change,
                (ms != "" ? ms : "-"), limit, (ok && ms + 0 <= limit) ? "yes" : "no"
            printf "RESULT Player silence at the format change %s (quanta)|%s|-|-|<= 2 + 20 ms|%s\n", change,
                (ms != "" ? sprintf("%.2f (%.2f)", ms / q_ms, ms / new_q_ms) : "-"), (ok && ms + 0 <= limit) ? "yes" : "no"
        }'
    done
done
echo "PipeWire $(pipewire --version | awk '/Linked with/ {print $NF}'), quantum $quantum"
