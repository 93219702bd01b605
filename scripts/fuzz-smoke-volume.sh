#!/usr/bin/env bash
# Builds the volume-message fuzz target with clang (ASan + UBSan) in build-fuzz
# and runs it for a short while (ZRV_FUZZ_SECONDS, default 30). Fails on any
# crash, leak, sanitizer report or broken invariant. The corpus it grows stays
# in build-fuzz/corpus, so later runs start from there.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${ZRV_FUZZ_SECONDS:-30}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZRV_FUZZ=ON -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target volume_message_fuzz

corpus=build-fuzz/corpus/volume_message
mkdir -p "$corpus"
build-fuzz/fuzz/volume/volume_message_fuzz -max_total_time="$seconds" -max_len=4096 \
  -dict=fuzz/volume/volume.dict -print_final_stats=1 "$corpus" fuzz/volume/corpus
