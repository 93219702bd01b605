#!/usr/bin/env bash
# Installs a build tree into a scratch prefix and checks the result: every
# file in its place, the daemon finding the stand-in SDK through its RPATH
# (and no other copy), and the user unit naming the daemon and its config.
#
#   scripts/check-install.sh <build dir> <scratch dir>
set -euo pipefail
build=${1:?build dir}
root=${2:?scratch dir}

rm -rf "$root"
cmake --install "$build" --prefix "$root" >/dev/null

fail() { echo "check-install: $*" >&2; exit 1; }

libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
for f in bin/zorva-renderer "$libdir/zorva-renderer/libzorva_connect.so" etc/zorva-renderer/config.json \
         lib/systemd/user/zorva-renderer.service share/doc/zorva-renderer/README.md \
         share/doc/zorva-renderer/configuration.md share/doc/zorva-renderer/device.md \
         share/doc/zorva-renderer/examples/config-nats.json \
         share/doc/zorva-renderer/copyright share/doc/zorva-renderer/changelog.gz \
         share/man/man1/zorva-renderer.1.gz; do
  [ -e "$root/$f" ] || fail "missing $f"
done

# The library must come from the scratch prefix, not from the build tree.
resolved=$(ldd "$root/bin/zorva-renderer" | awk '$1 == "libzorva_connect.so" { print $3 }')
[ -n "$resolved" ] || fail "libzorva_connect.so not resolved"
[ "$(readlink -f "$resolved")" = "$(readlink -f "$root/$libdir/zorva-renderer/libzorva_connect.so")" ] ||
  fail "libzorva_connect.so resolved to $resolved"
if ldd "$root/bin/zorva-renderer" | grep -q "not found"; then fail "unresolved libraries"; fi

# The installed daemon loads and answers a wrong command line with its usage.
set +e
usage=$("$root/bin/zorva-renderer" 2>&1)
status=$?
set -e
[ "$status" -eq 1 ] || fail "daemon without arguments exited with $status"
grep -q "Usage: .*zorva-renderer <config_file>" <<<"$usage" || fail "no usage text"
version=$("$root/bin/zorva-renderer" --version) || fail "--version failed"
grep -q '^zorva-renderer [0-9]' <<<"$version" || fail "--version names no version: $version"

unit=$root/lib/systemd/user/zorva-renderer.service
grep -Eq '^ExecStart=/.*/zorva-renderer /.*/zorva-renderer/config\.json$' "$unit" || fail "ExecStart in $unit"
# SIGTERM, systemd's default, runs the orderly shutdown; a failing daemon is
# restarted for as long as it fails.
if grep -q '^KillSignal=' "$unit"; then fail "KillSignal in $unit"; fi
grep -q '^Restart=always$' "$unit" || fail "Restart in $unit"
grep -q '^StartLimitIntervalSec=0$' "$unit" || fail "StartLimitIntervalSec in $unit"
grep -q '^Type=notify$' "$unit" || fail "Type in $unit"
grep -Eq '^WatchdogSec=[1-9]' "$unit" || fail "WatchdogSec in $unit"
grep -q '^WantedBy=default.target$' "$unit" || fail "WantedBy in $unit"
if grep -Eq '@[A-Z_]+@' "$unit"; then fail "unsubstituted variable in $unit"; fi

# The configuration installed is the example one, and it holds the
# application secret: no access for others.
cmp -s "$root/etc/zorva-renderer/config.json" "$(dirname "$0")/../examples/config.json" || fail "config.json differs"
[ "$(stat -c %a "$root/etc/zorva-renderer/config.json")" = 640 ] || fail "config.json is not mode 640"
gzip -t "$root/share/man/man1/zorva-renderer.1.gz" "$root/share/doc/zorva-renderer/changelog.gz" ||
  fail "a compressed document is broken"
echo "check-install: ok ($root)"
