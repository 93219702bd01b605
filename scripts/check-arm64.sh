#!/usr/bin/env bash
# Cross-builds the arm64 package on this amd64 machine and runs the daemon in
# it under qemu-aarch64-static with the arm64 libraries of the multiarch
# installation: --version must name the daemon and the SDK, and
# --check-config must accept the shipped configuration. The package is
# unpacked into a scratch directory; nothing is installed.
#
#   scripts/check-arm64.sh          (needs what scripts/install-deps.sh installs)
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "check-arm64: $*" >&2; exit 1; }
command -v qemu-aarch64-static >/dev/null || fail "qemu-aarch64-static missing: run scripts/install-deps.sh"
# The arm64 dynamic loader, from libc6:arm64.
[ -e /lib/ld-linux-aarch64.so.1 ] || fail "no arm64 C library: run scripts/install-deps.sh"

echo "check-arm64: cross-building"
deb=$(scripts/build-deb.sh --arch arm64)
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || fail "$deb is not an arm64 package"

scratch=$(mktemp -d /tmp/zrv-arm64-check-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch"
daemon=$scratch/usr/bin/zorva-renderer
kind=$(file -b "$daemon")
grep -q 'ARM aarch64' <<<"$kind" || fail "the daemon is not an arm64 program: $kind"

# The loader and the libraries come from the multiarch directories
# (/lib/ld-linux-aarch64.so.1, /usr/lib/aarch64-linux-gnu); the stand-in SDK
# from the unpacked package, through the daemon's RPATH.
run() { qemu-aarch64-static "$daemon" "$@"; }
version=$(run --version) || fail "--version failed under qemu: $version"
grep -q '^zorva-renderer [0-9]' <<<"$version" || fail "--version printed: $version"
grep -q '^Zorva Connect SDK .*stand-in' <<<"$version" || fail "--version printed: $version"
check=$(run --check-config "$scratch/etc/zorva-renderer/config.json" 2>&1) ||
    fail "--check-config failed under qemu: $check"
grep -q '^Configuration is valid$' <<<"$check" || fail "--check-config printed: $check"
grep -q '00112233445566778899aabbccddeeff' <<<"$check" && fail "--check-config printed the application secret"
echo "check-arm64: the arm64 daemon answers under qemu:"
sed 's/^/    /' <<<"$version"
echo "check-arm64: ok ($deb)"
