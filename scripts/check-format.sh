#!/usr/bin/env bash
# Checks that every C and C++ source of the project is formatted as
# .clang-format says; prints each finding and fails if there is one.
# To fix them: scripts/check-format.sh --fix
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -d '' sources < <(find src standin tests bench fuzz -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0 | sort -z)
if [ "${1:-}" = --fix ]; then
    clang-format -i "${sources[@]}"
    exit 0
fi
if ! clang-format --dry-run --Werror "${sources[@]}"; then
    echo "Formatting differs from .clang-format in the files above; scripts/check-format.sh --fix rewrites them." >&2
    exit 1
fi
echo "formatting: ${#sources[@]} files clean"
