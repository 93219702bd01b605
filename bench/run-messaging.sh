#!/usr/bin/env bash
# Messaging benchmark: builds messaging_bench, runs it against a private
# nats-server on a free loopback port, and stops the server.
#   bench/run-messaging.sh [events]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target messaging_bench
dir=build/bench-services/nats
trap 'scripts/services/nats.sh stop "$dir"' EXIT
scripts/services/nats.sh start "$dir" >/dev/null
build/bench/messaging/messaging_bench "nats://127.0.0.1:$(cat "$dir/port")" "$@"
