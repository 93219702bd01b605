#!/usr/bin/env bash
# Configuration server benchmark: builds config_server_bench and runs it;
# it needs wrk and curl, and 127.0.0.2 on the loopback interface (Linux has
# all of 127.0.0.0/8 there) for the attacking host.
#   bench/run-config-server.sh [seconds per run]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target config_server_bench
build/bench/config_server/config_server_bench "$@"
