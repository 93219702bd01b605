#!/bin/sh
# Test service: avahi-daemon on a private "system" D-Bus, inside a network
# namespace of its own that holds only loopback, so no mDNS ever leaves the
# machine. Clients in the root namespace reach it through the bus socket.
#
#   avahi.sh start <dir> [--peer]
#       starts it and writes <dir>/env (DBUS_SYSTEM_BUS_ADDRESS=...). With
#       --peer a second avahi-daemon (host name "peerhost", bus of its own,
#       PEER_DBUS_SYSTEM_BUS_ADDRESS in <dir>/env) runs in a second private
#       namespace joined to the first by a veth pair: another host on the
#       same link, for collisions between hosts.
#   avahi.sh stop <dir>
#       stops everything and removes the namespaces
#   avahi.sh restart-daemon <dir>
#       restarts the first avahi-daemon alone, on the same bus
#
# Everything lives in <dir>, except each bus socket: avahi-daemon drops to
# its own user before it connects, and <dir> may lie in a home directory
# that user cannot enter (Debian makes them 0700), so the socket goes to
# /run/<namespace>/. The namespace names are derived from <dir>, so several
# build trees can run their own daemons at once.
set -eu

command=${1:-}
dir=${2:-}
peer=no
[ "${3:-}" = "--peer" ] && peer=yes
if [ -z "$command" ] || [ -z "$dir" ]; then
    echo "usage: $0 start|stop|restart-daemon <dir> [--peer]" >&2
    exit 2
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
hash=$(printf '%s' "$dir" | cksum | cut -d' ' -f1)
main_ns="zrv-avahi-$hash"
peer_ns="zrv-avahi-$hash-peer"

pid_alive() {
    [ -n "$1" ] && [ -d "/proc/$1" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

# The bus socket of the node whose namespace is $1.
bus_socket() {
    echo "/run/$1/system_bus_socket"
}

ns_exists() {
    ip netns list 2>/dev/null | awk '{print $1}' | grep -qx "$1"
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

# stop_daemon <namespace> <node dir>: the daemon runs under unshare in the
# namespace; kill what runs there.
stop_daemon() {
    if ns_exists "$1"; then
        for pid in $(ip netns pids "$1" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
        i=0
        while [ -n "$(ip netns pids "$1" 2>/dev/null)" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
        for pid in $(ip netns pids "$1" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
    fi
    stop_pid_file "$2/avahi.pid"
}

stop_node() {
    stop_daemon "$1" "$2"
    stop_pid_file "$2/dbus.pid"
    if ns_exists "$1"; then ip netns del "$1"; fi
    rm -f "$(bus_socket "$1")"
    rmdir "/run/$1" 2>/dev/null || true
}

stop() {
    stop_node "$peer_ns" "$dir/peer"
    stop_node "$main_ns" "$dir"
    rm -f "$dir/env"
}

# start_daemon <namespace> <node dir>
start_daemon() {
    address="unix:path=$(bus_socket "$1")"
    # A daemon just killed can linger as a zombie, which the pid-file check
    # takes for a running daemon.
    rm -f "$2/run/pid"
    DBUS_SYSTEM_BUS_ADDRESS=$address ip netns exec "$1" unshare -m sh -c \
        "mount --bind '$2/run' /run/avahi-daemon && exec avahi-daemon -f '$2/avahi-daemon.conf' --no-rlimits" \
        >>"$2/avahi.log" 2>&1 </dev/null &
    echo $! >"$2/avahi.pid"

    i=0
    while :; do
        state=$(DBUS_SYSTEM_BUS_ADDRESS=$address dbus-send --system --print-reply=literal \
            --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState 2>/dev/null | awk '{print $2}')
        [ "$state" = 2 ] && break
        i=$((i + 1))
        if [ $i -gt 300 ] || ! pid_alive "$(cat "$2/avahi.pid")"; then
            echo "avahi.sh: avahi-daemon did not come up; its log:" >&2
            cat "$2/avahi.log" >&2
            stop
            exit 1
        fi
        sleep 0.05
    done
}

# start_node <namespace> <node dir> <host name>: bus, configuration, namespace.
start_node() {
    mkdir -p "$2/run"
    chown avahi:avahi "$2/run" 2>/dev/null || true
    mkdir -p "/run/$1"
    chmod 755 "/run/$1"
    cat >"$2/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN" "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path=$(bus_socket "$1")</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_type="method_call"/><allow send_type="signal"/>
<allow send_requested_reply="true" send_type="method_return"/><allow send_requested_reply="true" send_type="error"/>
<allow receive_type="method_call"/><allow receive_type="method_return"/><allow receive_type="error"/><allow receive_type="signal"/></policy></busconfig>
CONF
    printf '[server]\nhost-name=%s\nuse-ipv4=yes\nuse-ipv6=yes\nenable-dbus=yes\n[wide-area]\nenable-wide-area=no\n[publish]\npublish-hinfo=no\npublish-workstation=no\n' \
        "$3" >"$2/avahi-daemon.conf"
    dbus-daemon --config-file="$2/bus.conf" --fork --nopidfile --print-pid=3 3>"$2/dbus.pid"
    ip netns add "$1"
    ip -n "$1" link set lo up
    : >"$2/avahi.log"
}

start() {
    stop
    for tool in dbus-daemon avahi-daemon ip unshare dbus-send; do
        command -v $tool >/dev/null || { echo "avahi.sh: $tool is not installed" >&2; exit 1; }
    done
    mkdir -p /run/avahi-daemon
    start_node "$main_ns" "$dir" testhost
    if [ $peer = yes ]; then
        start_node "$peer_ns" "$dir/peer" peerhost
        # Interface names have at most 15 characters.
        short=$(printf '%s' "$hash" | cut -c1-8)
        ip link add "zv${short}a" type veth peer name "zv${short}b"
        ip link set "zv${short}a" netns "$main_ns"
        ip link set "zv${short}b" netns "$peer_ns"
        ip -n "$main_ns" addr add 10.213.0.1/24 dev "zv${short}a"
        ip -n "$peer_ns" addr add 10.213.0.2/24 dev "zv${short}b"
        ip -n "$main_ns" link set "zv${short}a" up
        ip -n "$peer_ns" link set "zv${short}b" up
        start_daemon "$peer_ns" "$dir/peer"
    fi
    start_daemon "$main_ns" "$dir"
    echo "DBUS_SYSTEM_BUS_ADDRESS=unix:path=$(bus_socket "$main_ns")" >"$dir/env"
    if [ $peer = yes ]; then
        echo "PEER_DBUS_SYSTEM_BUS_ADDRESS=unix:path=$(bus_socket "$peer_ns")" >>"$dir/env"
    fi
}

case "$command" in
start) start ;;
stop) stop ;;
restart-daemon) stop_daemon "$main_ns" "$dir"; start_daemon "$main_ns" "$dir" ;;
*) echo "usage: $0 start|stop|restart-daemon <dir> [--peer]" >&2; exit 2 ;;
esac
