#!/usr/bin/env bash
# The main job: installs what the project needs, builds the daemon and runs it
# on examples/config.json until Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target zorva-renderer
exec build/zorva-renderer examples/config.json
