#!/usr/bin/env bash
# The test command: installs what the project needs, builds it and runs every
# test, the real test services (PipeWire, avahi-daemon, nats-server, ...)
# included; ctest starts and stops them as fixtures.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
ctest --test-dir build --output-on-failure -j2
scripts/fuzz-smoke.sh
