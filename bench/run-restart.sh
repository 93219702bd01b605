#!/usr/bin/env bash
# PipeWire restart benchmark: the stand-in's playback service drives the
# Player (player_bench play), which plays a 20 s track of 44100 Hz S16 stereo
# into a private headless PipeWire's null sink. Mid-track the server is killed
# (SIGKILL, as in a crash), stays away for OUTAGE_MS (500 ms), and is started
# again with its session manager (scripts/services/pipewire.sh start, which
# returns once the default sink is set). test_sink's monitor is recorded
# before the kill and from the restart on, and the two recordings are
# compared with the track. The reference is pw-cat playing the same PCM at the
# same latency (the server's fixed quantum of 4096 frames) through the same
# restart. Prints, worst of RESTART_RUNS runs (5) of each kind:
#   - ms from the start of the restart command to the Player's "Playback
#     resumed" line (the server's own start-up included), in runs where the
#     player reconnects as soon as it can;
#   - the frames of the track heard neither before nor after (what PipeWire
#     held when it died; in runs where the player is held until the new
#     recorder runs), frames heard twice, and frames missing elsewhere
#     (periods the timer-driven null sink drops under load, not the restart);
#   - playback errors (the Player's "ending playback" line) and whether the
#     track played on to its end.
#
#   bench/run-restart.sh [build dir]   (ZRV_BENCH_QUICK=1: 2 runs)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ "${ZRV_BENCH_QUICK:-0}" = 1 ]; then runs=${RESTART_RUNS:-2}; else runs=${RESTART_RUNS:-5}; fi
outage_ms=${OUTAGE_MS:-500}
track_ms=12000
quantum=4096

[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target player_bench >/dev/null
bench=$build/bench/player/player_bench

work=$(mktemp -d /tmp/zrv-restart-bench.XXXXXX)
server=$work/pipewire
recorder=
player=
cleanup() {
    [ -n "$recorder" ] && kill "$recorder" 2>/dev/null || true
    [ -n "$player" ] && kill "$player" 2>/dev/null || true
    scripts/services/pipewire.sh stop "$server" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
scripts/services/pipewire.sh start "$server" >/dev/null
export "$(cat "$server/env")"
"$bench" wav 44100 0 1 "$track_ms" "$work/ref.wav"

now_ms() { date +%s%3N; }
record() {
    pw-record --target test_sink -P '{ stream.capture.sink = true }' --rate 44100 --channels 2 --format s16 - \
        >"$1" 2>/dev/null &
    recorder=$!
}
stop_recording() {
    [ -n "$recorder" ] && kill -INT "$recorder" 2>/dev/null || true
    wait "$recorder" 2>/dev/null || true
    recorder=
}

# one_run <label> <timing|loss> <command...>: plays with the command,
# restarts the server 4 s in and appends "label resume_ms missing twice
# errors to_end heard_after missing_inside kind" to results. A "timing" run
# lets the player reconnect as soon as it can, so it may play before the
# recorder is back: only its time to resume counts. A "loss" run holds the
# player (SIGSTOP) from the kill until the new recorder hears the sink, so
# that every frame the player plays after the restart is recorded: only its
# frames count.
one_run() {
    local label=$1 kind=$2 restart resumed="" i pid
    shift 2
    record "$work/before.raw"
    sleep 0.5
    # Line-buffered, so that the resume line is seen when it is written.
    stdbuf -oL -eL "$@" >"$work/player.log" 2>&1 &
    player=$!
    sleep 4
    pid=$(cat "$server/pipewire.pid")
    kill -9 "$pid"
    [ "$kind" = loss ] && kill -STOP "$player"
    stop_recording
    sleep "$(awk -v ms="$outage_ms" 'BEGIN { print ms / 1000 }')"
    restart=$(now_ms)
    scripts/services/pipewire.sh start "$server" >/dev/null
    record "$work/after.raw"
    if [ "$kind" = loss ]; then
        for i in $(seq 300); do [ -s "$work/after.raw" ] && break; sleep 0.01; done
        sleep 0.2
        kill -CONT "$player"
    fi
    for i in $(seq 1000); do
        grep -q "Playback resumed" "$work/player.log" && resumed=$(now_ms) && break
        kill -0 "$player" 2>/dev/null || break
        sleep 0.01
    done
    for i in $(seq $((track_ms / 100 + 100))); do kill -0 "$player" 2>/dev/null || break; sleep 0.1; done
    kill "$player" 2>/dev/null || true
    wait "$player" 2>/dev/null || true
    player=
    sleep 0.5
    stop_recording
    local pieces missing twice errors to_end heard_after inside
    pieces=$("$bench" pieces "$track_ms" "$work/before.raw" "$work/after.raw")
    missing=$(sed 's/.*missing=\(-\?[0-9]*\).*/\1/' <<<"$pieces")
    heard_after=$(sed 's/.*heard_after=\([0-9]*\).*/\1/' <<<"$pieces")
    to_end=$(sed 's/.*to_end=\([0-9]\).*/\1/' <<<"$pieces")
    inside=$(sed 's/.*missing_inside=\(-\?[0-9]*\).*/\1/' <<<"$pieces")
    twice=0
    [ "$missing" -lt 0 ] && twice=$((-missing)) && missing=0
    errors=$(grep -c "ending playback" "$work/player.log" || true)
    grep -E "Lost the PipeWire|Playback resumed|ending playback|ERROR" "$work/player.log" | sed 's/^/    /' || true
    echo "  $label: $pieces; resumed $([ -n "$resumed" ] && echo "$((resumed - restart)) ms" || echo never) after" \
        "the restart command"
    local resume_ms=-
    [ -n "$resumed" ] && resume_ms=$((resumed - restart))
    echo "$label $resume_ms $missing $twice $errors $to_end $heard_after $inside $kind" >>"$work/results"
}

echo "PipeWire killed 4 s into a ${track_ms} ms track, away for ${outage_ms} ms, started again; $runs runs each"
for run in $(seq "$runs"); do
    one_run player timing "$bench" play "standin:queue=44100/16/2/$track_ms"
    one_run player loss "$bench" play "standin:queue=44100/16/2/$track_ms"
done
one_run pw-cat timing pw-cat --playback --target test_sink --latency "$quantum" "$work/ref.wav"

awk -v quantum="$quantum" '
    $1 == "player" { errors += $5; if ($6 != 1) short++; inside += ($8 < 0 ? -$8 : $8) }
    $1 == "player" && $9 == "timing" { n++; if ($2 == "-") never++; else if ($2 > worst) worst = $2 }
    $1 == "player" && $9 == "loss" { if ($3 > missing) missing = $3; twice += $4 }
    $1 == "pw-cat" { ref_heard = $7; ref_resumed = ($7 > 0) ? "yes" : "no" }
    END {
        printf "RESULT Restart: playback resumed after the server restart command (ms, worst of %d)|%s|pw-cat resumed: %s|-|<= 2000|%s\n",
            n, (never ? "never (" never ")" : worst), ref_resumed, (!never && worst <= 2000) ? "yes" : "no"
        printf "RESULT Restart: frames missing (worst of %d)|%d (%.2f quanta)|-|-|<= 2 quanta (%d)|%s\n", n, missing,
            missing / quantum, 2 * quantum, (missing <= 2 * quantum) ? "yes" : "no"
        printf "RESULT Restart: frames heard twice (all runs)|%d|-|-|0|%s\n", twice, twice == 0 ? "yes" : "no"
        printf "RESULT Restart: frames missing away from the restart (all runs; null sink drops)|%d|-|-|-|-\n", inside
        printf "RESULT Restart: playback errors, runs not played to the end|%d, %d|pw-cat frames heard after: %d|-|0, 0|%s\n",
            errors, short, ref_heard, (errors == 0 && short == 0) ? "yes" : "no"
    }' "$work/results"
echo "PipeWire $(pipewire --version | awk '/Linked with/ {print $NF}'), quantum $quantum"
