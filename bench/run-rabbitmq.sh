#!/usr/bin/env bash
# RabbitMQ benchmark: builds rabbitmq_bench, runs it against a private
# rabbitmq-server on free loopback ports, and stops the broker.
#   bench/run-rabbitmq.sh [messages]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target rabbitmq_bench
dir=build/bench-services/rabbitmq
trap 'scripts/services/rabbitmq.sh stop "$dir"' EXIT
scripts/services/rabbitmq.sh start "$dir" >/dev/null
build/bench/messaging/rabbitmq_bench "$(cat "$dir/port")" "$@"
