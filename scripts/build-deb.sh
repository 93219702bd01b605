#!/usr/bin/env bash
# Builds the Debian package of the daemon: a release build in build-deb/ with
# the /usr prefix, then cpack. Prints the path of the .deb on stdout (the
# build's own output goes to stderr).
#
#   scripts/build-deb.sh [-DZORVA_CONNECT_LIBRARY=/path/to/libzorva_connect.so ...]
#
# Extra arguments go to the configure step. Without ZORVA_CONNECT_LIBRARY the
# package carries the stand-in SDK in /usr/lib/<arch>/zorva-renderer/.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${ZRV_DEB_BUILD_DIR:-build-deb}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build "$build" -j2 >&2
(cd "$build" && cpack -G DEB >/dev/null)

deb=$(ls -t "$build"/zorva-renderer_*.deb | head -n 1)
echo "$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")"
