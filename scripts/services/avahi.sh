#!/bin/sh
# Test service: avahi-daemon on a private "system" D-Bus, inside a network
# namespace of its own that holds only loopback, so no mDNS ever leaves the
# machine. Clients in the root namespace reach it through the bus socket.
#
#   avahi.sh start <dir>   starts it, writes <dir>/env (DBUS_SYSTEM_BUS_ADDRESS=...)
#   avahi.sh stop <dir>    stops it and removes the namespace
#   avahi.sh restart-daemon <dir>
#                          restarts avahi-daemon alone, on the same bus (for
#                          tests of clients that must survive that)
#
# Everything lives in <dir>; the namespace name is derived from <dir>, so
# several build trees can run their own daemons at once.
set -eu

command=${1:-}
dir=${2:-}
if [ -z "$command" ] || [ -z "$dir" ]; then
    echo "usage: $0 start|stop|restart-daemon <dir>" >&2
    exit 2
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
netns="zrv-avahi-$(printf '%s' "$dir" | cksum | cut -d' ' -f1)"

pid_alive() {
    [ -n "$1" ] && [ -d "/proc/$1" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

stop_pid_file() {
    file=$1
    [ -f "$file" ] || return 0
    pid=$(cat "$file")
    if pid_alive "$pid"; then
        kill "$pid" 2>/dev/null || true
        i=0
        while pid_alive "$pid" && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
        pid_alive "$pid" && kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$file"
}

stop_daemon() {
    # The daemon runs under unshare in the namespace; kill what runs there.
    if ip netns list 2>/dev/null | grep -qw "$netns"; then
        for pid in $(ip netns pids "$netns" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
        i=0
        while [ -n "$(ip netns pids "$netns" 2>/dev/null)" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
        for pid in $(ip netns pids "$netns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
    fi
    stop_pid_file "$dir/avahi.pid"
}

stop() {
    stop_daemon
    stop_pid_file "$dir/dbus.pid"
    if ip netns list 2>/dev/null | grep -qw "$netns"; then ip netns del "$netns"; fi
    rm -f "$dir/env" "$dir/system_bus_socket"
}

start_daemon() {
    address="unix:path=$dir/system_bus_socket"
    # A daemon just killed can linger as a zombie, which the pid-file check
    # takes for a running daemon.
    rm -f "$dir/run/pid"
    DBUS_SYSTEM_BUS_ADDRESS=$address ip netns exec "$netns" unshare -m sh -c \
        "mount --bind '$dir/run' /run/avahi-daemon && exec avahi-daemon -f '$dir/avahi-daemon.conf' --no-rlimits" \
        >>"$dir/avahi.log" 2>&1 </dev/null &
    echo $! >"$dir/avahi.pid"

    i=0
    while :; do
        state=$(DBUS_SYSTEM_BUS_ADDRESS=$address dbus-send --system --print-reply=literal \
            --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState 2>/dev/null | awk '{print $2}')
        [ "$state" = 2 ] && break
        i=$((i + 1))
        if [ $i -gt 300 ] || ! pid_alive "$(cat "$dir/avahi.pid")"; then
            echo "avahi.sh: avahi-daemon did not come up; its log:" >&2
            cat "$dir/avahi.log" >&2
            stop
            exit 1
        fi
        sleep 0.05
    done
}

start() {
    stop
    for tool in dbus-daemon avahi-daemon ip unshare dbus-send; do
        command -v $tool >/dev/null || { echo "avahi.sh: $tool is not installed" >&2; exit 1; }
    done
    mkdir -p "$dir/run" /run/avahi-daemon
    chown avahi:avahi "$dir/run" 2>/dev/null || true
    cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN" "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path=$dir/system_bus_socket</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_type="method_call"/><allow send_type="signal"/>
<allow send_requested_reply="true" send_type="method_return"/><allow send_requested_reply="true" send_type="error"/>
<allow receive_type="method_call"/><allow receive_type="method_return"/><allow receive_type="error"/><allow receive_type="signal"/></policy></busconfig>
CONF
    printf '[server]\nhost-name=testhost\nuse-ipv4=yes\nuse-ipv6=yes\nenable-dbus=yes\n[wide-area]\nenable-wide-area=no\n[publish]\npublish-hinfo=no\npublish-workstation=no\n' \
        >"$dir/avahi-daemon.conf"

    dbus-daemon --config-file="$dir/bus.conf" --fork --nopidfile --print-pid=3 3>"$dir/dbus.pid"
    address="unix:path=$dir/system_bus_socket"

    ip netns add "$netns"
    ip -n "$netns" link set lo up
    : >"$dir/avahi.log"
    start_daemon
    echo "DBUS_SYSTEM_BUS_ADDRESS=$address" >"$dir/env"
}

case "$command" in
start) start ;;
stop) stop ;;
restart-daemon) stop_daemon; start_daemon ;;
*) echo "usage: $0 start|stop|restart-daemon <dir>" >&2; exit 2 ;;
esac
