#!/usr/bin/env bash
# The main job: installs what the project needs, builds the daemon, and runs
# it on examples/config.json as a renderer: a small controller finds it by
# DNS-SD, reads its identity and hands it a session, and the stand-in SDK's
# demo queue plays through PipeWire. Ctrl+C shuts everything down.
#
#   scripts/run-demo.sh [--seconds N]   (N: stop by itself after N seconds)
#
# It uses the machine's PipeWire and avahi-daemon where they run, as on a real
# device. Otherwise it starts private ones as the tests do: PipeWire with a
# null sink (the audio is then captured to build/demo/capture.wav instead of
# heard) and avahi-daemon in a network namespace of its own, so nothing is
# announced on the machine's network.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

seconds=0
if [ "${1:-}" = "--seconds" ]; then seconds=${2:?}; fi

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target zorva-renderer

demo=$top/build/demo
mkdir -p "$demo"
started_pipewire=no
started_avahi=no
daemon_pid=""
record_pid=""

cleanup() {
    trap - INT TERM EXIT
    if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
        kill -INT "$daemon_pid" 2>/dev/null || true
        wait "$daemon_pid" 2>/dev/null && echo "demo: daemon exited with status 0" ||
            echo "demo: daemon exited with status $?"
    fi
    if [ -n "$record_pid" ]; then
        kill -TERM "$record_pid" 2>/dev/null || true
        wait "$record_pid" 2>/dev/null || true
        if [ -s "$demo/capture.wav" ]; then
            echo "demo: captured $(stat -c %s "$demo/capture.wav") bytes of what played: $demo/capture.wav"
        fi
    fi
    [ "$started_avahi" = yes ] && scripts/services/avahi.sh stop "$demo/avahi" || true
    [ "$started_pipewire" = yes ] && scripts/services/pipewire.sh stop "$demo/pipewire" || true
}
trap cleanup EXIT
trap 'echo; echo "demo: Ctrl+C, shutting down"; exit 0' INT TERM

load_env() { set -a; . "$1"; set +a; }

if timeout 3 pw-cli info 0 >/dev/null 2>&1; then
    echo "demo: using the running PipeWire server"
else
    echo "demo: no PipeWire server for this user, starting a private one with a null sink"
    scripts/services/pipewire.sh start "$demo/pipewire"
    started_pipewire=yes
    load_env "$demo/pipewire/env"
fi

if timeout 3 dbus-send --system --print-reply --dest=org.freedesktop.Avahi / \
    org.freedesktop.Avahi.Server.GetState >/dev/null 2>&1; then
    echo "demo: using the running avahi-daemon"
else
    echo "demo: no avahi-daemon, starting a private one in its own network namespace"
    scripts/services/avahi.sh start "$demo/avahi"
    started_avahi=yes
    load_env "$demo/avahi/env"
fi

if [ "$started_pipewire" = yes ]; then
    pw-record --target test_sink -P '{ stream.capture.sink = true }' --rate 44100 --channels 2 \
        --format s16 "$demo/capture.wav" >"$demo/pw-record.log" 2>&1 &
    record_pid=$!
fi

build/zorva-renderer examples/config.json &
daemon_pid=$!

port=$(sed -n 's/.*"port": *\([0-9]*\).*/\1/p' examples/config.json)
for _ in $(seq 100); do
    curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/get-display-info" && break
    sleep 0.1
done

scripts/demo-controller.sh

if [ "$seconds" -gt 0 ]; then
    sleep "$seconds"
    echo "demo: $seconds s are over, shutting down"
else
    echo "demo: playing; press Ctrl+C to stop"
    wait "$daemon_pid" || true
    daemon_pid=""
fi
