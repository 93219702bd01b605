#!/usr/bin/env bash
# The main job: installs what the demo needs, builds the daemon, and runs it
# on examples/config.json as a renderer: a small controller finds it by
# DNS-SD, reads its identity and hands it a session, and the stand-in SDK's
# demo queue plays through PipeWire. Ctrl+C shuts everything down.
#
#   scripts/run-demo.sh [--seconds N]   (N: stop by itself after N seconds)
#
# It uses the machine's PipeWire and avahi-daemon where they run, as on a real
# device. Otherwise it starts private ones as the tests do: PipeWire with a
# null sink (the audio is then captured to build-demo/run/capture.wav instead
# of heard) and avahi-daemon in a network namespace of its own, so nothing is
# announced on the machine's network. It prints one line per stage; the
# details of each go to a log under build-demo/run/.
set -euo pipefail
# Root is needed only to start a private avahi-daemon in a network namespace,
# when none runs; said before anything is installed or built.
if [ "$(id -u)" -ne 0 ] && ! timeout 3 dbus-send --system --print-reply --dest=org.freedesktop.Avahi / \
    org.freedesktop.Avahi.Server.GetState >/dev/null 2>&1; then
    echo "run-demo.sh: needs root here: no avahi-daemon runs, and the private one it would start needs a" \
        "network namespace of its own. Run it as root (sudo $0), or start avahi-daemon first." >&2
    exit 1
fi
cd "$(dirname "$0")/.."
top=$(pwd)

seconds=0
case "${1:-}" in
"") ;;
--seconds) seconds=${2:?--seconds needs a number} ;;
*) echo "usage: $0 [--seconds N]" >&2; exit 2 ;;
esac

build=build-demo
run=$build/run
mkdir -p "$run"
rm -f "$run"/*.log
started=$SECONDS
stage() { printf '[%4d s] %s\n' $((SECONDS - started)) "$*"; }

# quietly <log> <command...>: the command's output is added to the log,
# whose end is shown only when the command fails.
quietly() {
    local log=$1
    shift
    if ! "$@" >>"$log" 2>&1; then
        tail -n 40 "$log" >&2
        stage "failed: $* (whole log: $log)"
        exit 1
    fi
}

started_pipewire=no
started_avahi=no
played=no
daemon_pid=""
record_pid=""

daemon_alive() { [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; }

# Stops the demo because the daemon has gone: its status and last lines.
daemon_died() {
    local status=0 how
    wait "$daemon_pid" 2>/dev/null || status=$?
    daemon_pid=""
    how="exit status $status"
    [ "$status" -gt 128 ] && how="killed by SIG$(kill -l $((status - 128)))"
    stage "the daemon stopped ($how); its last log lines ($run/daemon.log):"
    tail -n 20 "$run/daemon.log"
    exit 1
}

cleanup() {
    local status=$?
    trap - INT TERM EXIT
    if daemon_alive; then
        kill -INT "$daemon_pid" 2>/dev/null || true
        local daemon_status=0
        wait "$daemon_pid" || daemon_status=$?
        stage "the daemon shut down (exit status $daemon_status)"
        [ "$daemon_status" -eq 0 ] || status=1
    fi
    if [ -n "$record_pid" ]; then
        kill -TERM "$record_pid" 2>/dev/null || true
        wait "$record_pid" 2>/dev/null || true
    fi
    [ "$started_avahi" = yes ] && scripts/services/avahi.sh stop "$top/$run/avahi" >/dev/null 2>&1 || true
    [ "$started_pipewire" = yes ] && scripts/services/pipewire.sh stop "$top/$run/pipewire" >/dev/null 2>&1 || true
    if [ -n "$record_pid" ] && [ -s "$run/capture.wav" ]; then
        local bytes
        bytes=$(stat -c %s "$run/capture.wav")
        # 44100 Hz, 2 channels of 16 bits, after a 44-byte header.
        stage "what played is in $top/$run/capture.wav ($(( (bytes - 44) / 176400 )) s of 44.1 kHz 16-bit stereo)"
    elif [ "$played" = yes ] && [ "$started_pipewire" = no ]; then
        stage "the audio went to the running PipeWire server's default sink"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'echo; stage "Ctrl+C: shutting down"; exit 0' INT TERM

load_env() { set -a; . "$1"; set +a; }

stage "installing the packages the demo needs, if any is missing (log: $run/install.log)"
quietly "$run/install.log" scripts/install-deps.sh demo

stage "building the daemon and the stand-in SDK (log: $run/build.log)"
quietly "$run/build.log" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_BENCH=OFF
quietly "$run/build.log" cmake --build "$build" --target zorva-renderer

if timeout 3 pw-cli info 0 >/dev/null 2>&1; then
    stage "using the running PipeWire server: the audio plays on its default sink"
else
    stage "starting PipeWire: a private server with a null sink, recorded to $run/capture.wav"
    quietly "$run/pipewire.log" scripts/services/pipewire.sh start "$top/$run/pipewire"
    started_pipewire=yes
    load_env "$run/pipewire/env"
    pw-record --target test_sink -P '{ stream.capture.sink = true }' --rate 44100 --channels 2 \
        --format s16 "$run/capture.wav" >"$run/pw-record.log" 2>&1 &
    record_pid=$!
fi

if timeout 3 dbus-send --system --print-reply --dest=org.freedesktop.Avahi / \
    org.freedesktop.Avahi.Server.GetState >/dev/null 2>&1; then
    stage "using the running avahi-daemon: the renderer is announced on this machine's network"
else
    stage "starting avahi-daemon: a private one in its own network namespace, announcing nothing outside"
    quietly "$run/avahi.log" scripts/services/avahi.sh start "$top/$run/avahi"
    started_avahi=yes
    load_env "$run/avahi/env"
fi

port=$(sed -n 's/^  "port": *\([0-9]*\).*/\1/p' examples/config.json)
stage "starting the daemon on examples/config.json and waiting for its HTTP API on port $port (log: $run/daemon.log)"
"$build/zorva-renderer" examples/config.json >"$run/daemon.log" 2>&1 &
daemon_pid=$!
answered=no
for _ in $(seq 300); do
    daemon_alive || daemon_died
    if curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/get-display-info"; then
        answered=yes
        break
    fi
    sleep 0.1
done
if [ "$answered" = no ]; then
    stage "the daemon does not answer on port $port after 30 s; its last log lines ($run/daemon.log):"
    tail -n 20 "$run/daemon.log"
    exit 1
fi

stage "a controller finds the renderer by DNS-SD, reads its identity and hands it a session (log: $run/controller.log)"
quietly "$run/controller.log" scripts/demo-controller.sh
grep '^controller: found' "$run/controller.log" | sed 's/^/         /'

stage "playing the stand-in's demo queue: four 6 s tracks, a gapless 44.1 kHz pair, then 48 kHz and 96 kHz 24-bit"
played=yes
shown=0
stopped=no
# One line per track the daemon is given, and one when the queue has ended,
# from the daemon's log.
show_progress() {
    local tracks
    mapfile -t tracks < <(awk '/ JuxApp: +Title: / { sub(/.* Title: /, ""); title = $0 }
        / JuxApp: +Album: / { sub(/.* Album: /, ""); print title " (" $0 ")" }' "$run/daemon.log")
    while [ "$shown" -lt "${#tracks[@]}" ]; do
        stage "  track $((shown + 1)): ${tracks[$shown]}"
        shown=$((shown + 1))
    done
    if [ "$stopped" = no ] && grep -q 'Playback state changed: STOPPED' "$run/daemon.log"; then
        stage "  the queue has ended"
        stopped=yes
    fi
}
if [ "$seconds" -gt 0 ]; then
    end=$((SECONDS + seconds))
    while [ $SECONDS -lt $end ]; do
        daemon_alive || daemon_died
        show_progress
        sleep 1
    done
    stage "$seconds s are over, shutting down"
else
    stage "press Ctrl+C to stop"
    while daemon_alive; do
        show_progress
        sleep 1
    done
    daemon_died
fi
