#!/usr/bin/env bash
# Test service: a headless PipeWire server with WirePlumber and a null sink
# ("test_sink", the default sink), for machines with no audio hardware and no
# systemd. A second null sink, "test_sink_2", is there for tests that pick a
# sink by name. Tests that plug and unplug sinks make them at run time
# (pw-cli create-node, destroyed by name) on a server of their own: this
# shared one makes none, as removing such a node has been seen to crash
# WirePlumber 0.4.13.
#
#   pipewire.sh start <dir>   starts it, waits until test_sink is the default
#                             sink and writes <dir>/env for clients
#   pipewire.sh stop <dir>    stops it
#
# Runtime, configuration and state directories all live under <dir>, so
# several build trees can run their own servers side by side and nothing is
# read from or left in the user's own PipeWire or WirePlumber setup. The graph
# runs with a fixed quantum of 4096 frames, at which the timer-driven null sink
# plays glitch-free on a busy machine, and may switch to any rate from 44100 to
# 192000 Hz, or to 11025 Hz (where a quantum lasts 371 ms), that a stream asks
# for with node.rate.
set -euo pipefail

usage() { echo "usage: $0 start|stop <dir>" >&2; exit 2; }
[ $# -ge 2 ] || usage
action=$1
dir=$(mkdir -p "$2" && cd "$2" && pwd)

rate=44100
allowed_rates="11025 44100 48000 88200 96000 176400 192000"
# ZRV_PW_QUANTUM sets another fixed quantum (the latency benchmark runs at 1024 too).
quantum=${ZRV_PW_QUANTUM:-4096}

# A process counts as gone once it has exited: orphans stay zombies here until
# PID 1 reaps them, which can take seconds.
alive() {
    local pid=$1 state
    [ -r "/proc/$pid/status" ] || return 1
    state=$(awk '/^State:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$state" ] && [ "$state" != Z ]
}

stop_pid() {
    local file=$1 pid i
    [ -f "$file" ] || return 0
    pid=$(cat "$file")
    if [ -n "$pid" ] && alive "$pid"; then
        kill "$pid" 2>/dev/null || true
        for i in $(seq 100); do alive "$pid" || break; sleep 0.05; done
        if alive "$pid"; then kill -9 "$pid" 2>/dev/null || true; fi
    fi
    rm -f "$file"
}

stop() {
    stop_pid "$dir/wireplumber.pid"
    stop_pid "$dir/pipewire.pid"
    rm -f "$dir/env"
}

start() {
    stop
    rm -rf "$dir/run" "$dir/cfg" "$dir/state"
    mkdir -p "$dir/run" "$dir/cfg/pipewire/pipewire.conf.d" "$dir/cfg/wireplumber/main.lua.d" \
        "$dir/cfg/wireplumber/bluetooth.lua.d" "$dir/state"
    chmod 700 "$dir/run"

    cat >"$dir/cfg/pipewire/pipewire.conf.d/50-test-sink.conf" <<CONF
context.properties = {
    default.clock.rate = $rate
    default.clock.allowed-rates = [ $allowed_rates ]
    default.clock.quantum = $quantum
    default.clock.min-quantum = $quantum
    default.clock.max-quantum = $quantum
}
context.objects = [
    { factory = adapter
      args = {
          factory.name = support.null-audio-sink
          node.name = test_sink
          node.description = "Test Null Sink"
          media.class = Audio/Sink
          audio.position = [ FL FR ]
          monitor.channel-volumes = true
          monitor.passthrough = true
          priority.session = 2000
          priority.driver = 30000
          node.driver = true
          node.pause-on-idle = false
      }
    }
    { factory = adapter
      args = {
          factory.name = support.null-audio-sink
          node.name = test_sink_2
          node.description = "Second Test Null Sink"
          media.class = Audio/Sink
          audio.position = [ FL FR ]
          monitor.channel-volumes = true
          monitor.passthrough = true
          priority.session = 1000
          priority.driver = 20000
          node.driver = true
          node.pause-on-idle = false
      }
    }
]
CONF
    # No session bus here: without the portal check WirePlumber would quit at
    # once. Stream defaults off, or it restores a stream's last volume from
    # its state file into the next test's stream.
    cat >"$dir/cfg/wireplumber/main.lua.d/51-headless.lua" <<'LUA'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
default_access.properties["enable-flatpak-portal"] = false
stream_defaults.enabled = false
LUA
    # The Bluetooth monitor watches logind's seats; where systemd's runtime
    # folders are missing (a plain container) it fails, and WirePlumber
    # disconnects and quits with it.
    cat >"$dir/cfg/wireplumber/bluetooth.lua.d/51-headless.lua" <<'LUA'
bluez_monitor.enabled = false
LUA

    export XDG_RUNTIME_DIR="$dir/run" XDG_CONFIG_HOME="$dir/cfg" XDG_STATE_HOME="$dir/state"
    unset DBUS_SESSION_BUS_ADDRESS PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR

    pipewire >"$dir/pipewire.log" 2>&1 </dev/null &
    echo $! >"$dir/pipewire.pid"
    local i
    for i in $(seq 200); do [ -S "$dir/run/pipewire-0" ] && break; sleep 0.05; done
    if [ ! -S "$dir/run/pipewire-0" ]; then
        echo "pipewire did not come up; its log:" >&2; cat "$dir/pipewire.log" >&2; stop; exit 1
    fi

    wireplumber >"$dir/wireplumber.log" 2>&1 </dev/null &
    echo $! >"$dir/wireplumber.pid"
    for i in $(seq 400); do
        if pw-metadata -n default 0 default.audio.sink 2>/dev/null | grep -q test_sink; then
            echo "XDG_RUNTIME_DIR=$dir/run" >"$dir/env"
            echo "PipeWire ready: XDG_RUNTIME_DIR=$dir/run"
            return 0
        fi
        sleep 0.05
    done
    echo "test_sink never became the default sink; logs:" >&2
    cat "$dir/pipewire.log" "$dir/wireplumber.log" >&2
    stop
    exit 1
}

case $action in
start) start ;;
stop) stop ;;
*) usage ;;
esac
