#!/usr/bin/env bash
# Builds the Debian package, lints it and installs it into a scratch root: an
# overlay of this machine's root whose changes stay in memory, in private
# mount, PID and network namespaces, so nothing of it reaches the machine.
# There it checks what a device would get: the configuration readable by
# root and the group zorva-renderer only, the installed daemon started by a
# user of that group answering get-display-info on the configured port, a
# user outside the group refused, and a purge that leaves nothing behind.
#
#   scripts/check-package.sh        (as root; the package's dependencies
#                                    must be installed, as install-deps.sh does)
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "check-package: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run it as root (it mounts and chroots)"

echo "check-package: building"
deb=$(scripts/build-deb.sh)

echo "check-package: lintian"
# Every tag fails, down to pedantic ones; the package's overrides each say why.
if ! report=$(lintian --pedantic --fail-on error,warning,info,pedantic "$deb" 2>&1); then
    grep -v '^running with root privileges is not recommended!$' <<<"$report" >&2
    fail "lintian found problems"
fi

scratch=$(mktemp -d /tmp/zrv-package-check-XXXXXX)
trap 'rmdir "$scratch" 2>/dev/null || true' EXIT
cp "$deb" "$scratch/package.deb"

echo "check-package: installing into a scratch root"
unshare --mount --pid --net --fork --kill-child bash -s "$scratch" <<'OUTER'
set -euo pipefail
scratch=$1
fail() { echo "check-package: $*" >&2; exit 1; }
root=$scratch/root
deb=$(mktemp /tmp/zrv-package-XXXXXX.deb)
mv "$scratch/package.deb" "$deb"
mount -t tmpfs tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$root"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
cp "$deb" "$root/tmp/package.deb"
rm -f "$deb"
ip link set lo up

chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin bash -s <<'INNER'
set -euo pipefail
fail() { echo "check-package: $*" >&2; exit 1; }
config=/etc/zorva-renderer/config.json

dpkg -i /tmp/package.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log >&2; fail "dpkg -i failed"; }
getent group zorva-renderer >/dev/null || fail "no group zorva-renderer"
[ "$(stat -c '%U:%G %a' "$config")" = "root:zorva-renderer 640" ] ||
    fail "$config is $(stat -c '%U:%G %a' "$config"), not root:zorva-renderer 640"
grep -q '^Type=notify$' /usr/lib/systemd/user/zorva-renderer.service || fail "the unit is not Type=notify"
grep -q '^WatchdogSec=' /usr/lib/systemd/user/zorva-renderer.service || fail "the unit has no WatchdogSec"
port=$(sed -n 's/^  "port": *\([0-9]*\).*/\1/p' "$config")
[ -n "$port" ] || fail "no port in $config"

useradd --system --no-create-home --shell /usr/sbin/nologin --groups zorva-renderer zrv-member
useradd --system --no-create-home --shell /usr/sbin/nologin zrv-outsider

# start_daemon <user> <log>: the installed daemon on the installed
# configuration, with no system bus to reach (no avahi-daemon here).
start_daemon() {
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent setpriv --reuid="$1" --regid="$1" --init-groups \
        /usr/bin/zorva-renderer "$config" >"$2" 2>&1 &
    daemon_pid=$!
}

start_daemon zrv-outsider /tmp/outsider.log
wait "$daemon_pid" && fail "a user outside the group could start the daemon"
grep -q "Error: Unable to open config file: $config" /tmp/outsider.log ||
    { cat /tmp/outsider.log >&2; fail "the outsider's refusal did not name the file"; }

start_daemon zrv-member /tmp/daemon.log
answer=""
for _ in $(seq 100); do
    kill -0 "$daemon_pid" 2>/dev/null || { cat /tmp/daemon.log >&2; fail "the installed daemon stopped"; }
    answer=$(curl -sS --max-time 2 "http://127.0.0.1:$port/get-display-info" 2>/dev/null) && break
    sleep 0.1
done
grep -q '"Sample device"' <<<"$answer" || { cat /tmp/daemon.log >&2; fail "get-display-info answered '$answer'"; }
kill -INT "$daemon_pid"
status=0
wait "$daemon_pid" || status=$?
[ "$status" -eq 0 ] || { cat /tmp/daemon.log >&2; fail "the daemon exited with $status after SIGINT"; }
echo "check-package: the installed daemon answered get-display-info on port $port: $answer"

dpkg --purge zorva-renderer >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log >&2; fail "dpkg --purge failed"; }
[ ! -e "$config" ] || fail "$config is left after purge"
! dpkg-statoverride --list "$config" >/dev/null || fail "the statoverride is left after purge"
INNER
OUTER
echo "check-package: ok ($deb)"
