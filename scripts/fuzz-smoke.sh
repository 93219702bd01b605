#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz and runs
# each for a short while (ZRV_FUZZ_SECONDS, default 30). Fails on any crash,
# leak, sanitizer report or broken invariant. The corpus it grows stays in
# build-fuzz/corpus, so later runs start from there.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${ZRV_FUZZ_SECONDS:-30}
# A tree configured with another compiler cannot be switched to clang in place.
if [ -f build-fuzz/CMakeCache.txt ] && ! grep -q '^CMAKE_CXX_COMPILER:.*clang' build-fuzz/CMakeCache.txt; then
  rm -rf build-fuzz
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZRV_FUZZ=ON -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target command_parser_fuzz

corpus=build-fuzz/corpus/command_parser
mkdir -p "$corpus"
# The parser logs every message it rejects: close_fd_mask=1 keeps that off the
# terminal (libFuzzer's own report goes to stderr).
build-fuzz/fuzz/messaging/command_parser_fuzz -max_total_time="$seconds" -close_fd_mask=1 -max_len=4096 \
  -dict=fuzz/messaging/command_parser.dict -print_final_stats=1 "$corpus" fuzz/messaging/corpus
