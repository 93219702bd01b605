#!/usr/bin/env bash
# Configuration server benchmark: builds config_server_bench and runs it;
# it needs wrk and curl.
#   bench/run-config-server.sh [seconds per run]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target config_server_bench
build/bench/config_server/config_server_bench "$@"
