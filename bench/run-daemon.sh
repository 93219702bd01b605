#!/usr/bin/env bash
# Daemon benchmark: build/zorva-renderer as one process, against a private
# headless PipeWire, nats-server and rabbitmq-server, with the system bus
# address pointing nowhere (mDNS never reaches a real avahi-daemon).
# - start-up (exec to the first "get-display-info" answer) and shutdown
#   (SIGINT to exit), median and max over RUNS runs, beside the daemon run
#   with no argument (exec + usage exit);
# - for NATS and RabbitMQ: publishing a "seek" command to the stand-in SDK
#   recording the call (p50, p99), beside a plain cnats subscriber or
#   rabbitmq-c consumer receiving the same publishes;
# - for each bus: the daemon's CPU while idle and connected (no session),
#   CPU seconds per minute over IDLE_SECONDS (all threads' schedstat run time,
#   utime+stime beside it), beside the plain subscriber's.
#
#   bench/run-daemon.sh [build dir]   (RUNS=10 SAMPLES=200 IDLE_SECONDS=30;
#                                      ZRV_BENCH_QUICK=1: 3 runs, 50 samples, 10 s)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ "${ZRV_BENCH_QUICK:-0}" = 1 ]; then
    runs=${RUNS:-3} samples=${SAMPLES:-50} idle_seconds=${IDLE_SECONDS:-10}
else
    runs=${RUNS:-10} samples=${SAMPLES:-200} idle_seconds=${IDLE_SECONDS:-30}
fi

[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target daemon_bench zorva-renderer >/dev/null
bench=$build/bench/daemon/daemon_bench
daemon=$build/zorva-renderer

work=$(mktemp -d /tmp/zrv-daemon-bench.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    scripts/services/rabbitmq.sh stop "$work/rabbitmq" >/dev/null 2>&1 || true
    scripts/services/nats.sh stop "$work/nats" >/dev/null 2>&1 || true
    scripts/services/pipewire.sh stop "$work/pipewire" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
scripts/services/pipewire.sh start "$work/pipewire" >/dev/null
export "$(cat "$work/pipewire/env")"
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/zrv-bench-no-bus
scripts/services/nats.sh start "$work/nats" >/dev/null
scripts/services/rabbitmq.sh start "$work/rabbitmq" >/dev/null
nats_port=$(cat "$work/nats/port")
amqp_port=$(cat "$work/rabbitmq/port")

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# config <file> <bus object or empty>
config() {
    local bus=${2:+, $2}
    cat >"$1" <<EOF
{ "appId": "zorva-bench", "appSecret": "00112233445566778899aabbccddeeff",
  "deviceName": "Bench device", "volumeControlMode": "alsa", "port": $http_port$bus }
EOF
}
subject=zrv.bench.daemon.in
exchange=zrv.bench.daemon
key=zrv.bench.daemon.in
nats_object="\"nats\": { \"host\": \"127.0.0.1\", \"port\": $nats_port, \"subjectSubscribe\": \"$subject\" }"
rabbitmq_object="\"rabbitmq\": { \"host\": \"127.0.0.1\", \"port\": $amqp_port, \"username\": \"guest\",
  \"password\": \"guest\", \"exchange\": \"$exchange\", \"bindingKey\": \"$key\", \"routingKey\": \"$key\" }"

echo "Daemon: $runs start-up runs, $samples bus samples, ${idle_seconds} s idle per bus"
http_port=$(free_port)
config "$work/plain.json" ""
"$bench" startup "$daemon" "$work/plain.json" "$http_port" "$runs"

# cpu_ticks <pid>: utime + stime in clock ticks (the name holds no spaces).
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# cpu_ns <pid>: time on the CPU of all its threads in ns; at 100 ticks a second
# utime + stime is too coarse for an idle process over half a minute.
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ sum += $1 } END { printf "%.0f\n", sum }'; }
ticks_per_second=$(getconf CLK_TCK)

# idle <label> <daemon pid> <reference pid>: both measured over the same
# seconds, after a settling second.
idle() {
    local label=$1 daemon_pid=$2 reference_pid=$3
    sleep 1
    local dt0 rt0 dn0 rn0 dt1 rt1 dn1 rn1
    dt0=$(cpu_ticks "$daemon_pid") rt0=$(cpu_ticks "$reference_pid")
    dn0=$(cpu_ns "$daemon_pid") rn0=$(cpu_ns "$reference_pid")
    sleep "$idle_seconds"
    dt1=$(cpu_ticks "$daemon_pid") rt1=$(cpu_ticks "$reference_pid")
    dn1=$(cpu_ns "$daemon_pid") rn1=$(cpu_ns "$reference_pid")
    awk -v l="$label" -v dt=$((dt1 - dt0)) -v rt=$((rt1 - rt0)) -v dn=$((dn1 - dn0)) -v rn=$((rn1 - rn0)) \
        -v hz="$ticks_per_second" -v s="$idle_seconds" 'BEGIN {
        dm = dn / 1e9 * 60 / s; rm = rn / 1e9 * 60 / s
        printf "%-46s %10.4f %10.4f   (utime+stime: %.3f / %.3f)\n", l ": idle CPU s/min, daemon / plain", dm, rm,
            dt / hz * 60 / s, rt / hz * 60 / s
        # Target for RabbitMQ: at most twice the plain consumer.
        target = (l == "RabbitMQ") ? "ratio <= 2" : "-"
        met = (l != "RabbitMQ") ? "-" : (rm > 0 && dm / rm <= 2 ? "yes" : "no")
        printf "RESULT Daemon idle CPU with %s connected (s/min)|%.4f|%.4f|%s|%s|%s\n", l, dm, rm,
            (rm > 0 ? sprintf("%.2f", dm / rm) : "-"), target, met }'
}

# start_daemon <config> [env...]: starts it in the background, pid in $daemon_pid.
start_daemon() {
    local file=$1
    shift
    env "$@" "$daemon" "$file" >"$work/daemon.log" 2>&1 &
    daemon_pid=$!
    pids+=("$daemon_pid")
    for _ in $(seq 200); do
        curl -sf "http://127.0.0.1:$http_port/get-display-info" >/dev/null && return 0
        sleep 0.05
    done
    echo "run-daemon.sh: the daemon did not answer; its log:" >&2
    cat "$work/daemon.log" >&2
    exit 1
}
stop_daemon() {
    kill -INT "$daemon_pid"
    wait "$daemon_pid" || true
}

# One long track, so every timed seek lands inside it.
session=standin:queue=44100/16/2/3600000
for bus in NATS RabbitMQ; do
    http_port=$(free_port)
    record=$work/record-$bus
    : >"$record"
    if [ "$bus" = NATS ]; then config "$work/$bus.json" "$nats_object"; else config "$work/$bus.json" "$rabbitmq_object"; fi

    start_daemon "$work/$bus.json" ZRV_STANDIN_RECORD="$record" ZRV_STANDIN_CONNECT="$session"
    if [ "$bus" = NATS ]; then
        "$bench" nats-latency "nats://127.0.0.1:$nats_port" "$subject" "$record" "$samples"
    else
        "$bench" rabbitmq-latency "$amqp_port" "$exchange" "$key" "$record" "$samples"
    fi
    stop_daemon

    # Idle: connected to the bus, no session.
    start_daemon "$work/$bus.json"
    if [ "$bus" = NATS ]; then
        "$bench" nats-idle "nats://127.0.0.1:$nats_port" "$subject" >"$work/reference.log" 2>&1 &
    else
        "$bench" rabbitmq-idle "$amqp_port" "$exchange" "$key" >"$work/reference.log" 2>&1 &
    fi
    reference_pid=$!
    pids+=("$reference_pid")
    for _ in $(seq 600); do grep -q ready "$work/reference.log" && break; sleep 0.05; done
    if ! grep -q ready "$work/reference.log"; then
        echo "run-daemon.sh: the plain $bus client did not start within 30 s" >&2
        cat "$work/reference.log" >&2
        exit 1
    fi
    idle "$bus" "$daemon_pid" "$reference_pid"
    kill "$reference_pid"
    wait "$reference_pid" || true
    stop_daemon
done
