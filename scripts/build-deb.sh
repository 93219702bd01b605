#!/usr/bin/env bash
# Builds the Debian package of the daemon: a release build in build-deb/ with
# the /usr prefix, then cpack. Prints the path of the .deb on stdout (the
# build's own output goes to stderr).
#
#   scripts/build-deb.sh [--arch arm64] [-DZORVA_CONNECT_LIBRARY=/path/to/libzorva_connect.so ...]
#
# --arch arm64 cross-builds on amd64, in build-deb-arm64/, with Debian's
# cross toolchain and the arm64 development packages (scripts/install-deps.sh
# installs them). Extra arguments go to the configure step. Without
# ZORVA_CONNECT_LIBRARY the package carries the stand-in SDK in
# /usr/lib/<arch>/zorva-renderer/ and its version ends in "~standin".
set -euo pipefail
cd "$(dirname "$0")/.."

arch=""
configure=()
while [ $# -gt 0 ]; do
    case $1 in
    --arch) arch=${2:?--arch needs an architecture}; shift 2 ;;
    --arch=*) arch=${1#--arch=}; shift ;;
    *) configure+=("$1"); shift ;;
    esac
done

build=${ZRV_DEB_BUILD_DIR:-build-deb}
cpack_env=()
if [ -n "$arch" ] && [ "$arch" != "$(dpkg --print-architecture)" ]; then
    case $arch in
    arm64) triplet=aarch64-linux-gnu ;;
    *) echo "build-deb: no cross toolchain for $arch (arm64 only)" >&2; exit 2 ;;
    esac
    command -v "$triplet-g++" >/dev/null ||
        { echo "build-deb: $triplet-g++ missing: run scripts/install-deps.sh" >&2; exit 1; }
    build=${ZRV_DEB_BUILD_DIR:-build-deb-$arch}
    configure+=("-DCMAKE_TOOLCHAIN_FILE=$(pwd)/cmake/toolchains/$triplet.cmake")
    # dpkg-shlibdeps looks the libraries up for the package's architecture.
    cpack_env=(env DEB_HOST_ARCH="$arch" DEB_HOST_MULTIARCH="$triplet" DEB_HOST_GNU_TYPE="$triplet")
fi

# ZRV_PACKAGE_VERSION in the environment replaces the package's version (the
# package check builds a newer package that way); unset, the default.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_BENCH=OFF "-DZRV_PACKAGE_VERSION=${ZRV_PACKAGE_VERSION:-}" \
  ${configure[@]+"${configure[@]}"} >/dev/null
cmake --build "$build" -j2 >&2
rm -f "$build"/zorva-renderer_*.deb
(cd "$build" && ${cpack_env[@]+"${cpack_env[@]}"} cpack -G DEB >/dev/null)

deb=$(ls -t "$build"/zorva-renderer_*.deb | head -n 1)
echo "$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")"
