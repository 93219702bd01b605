#!/usr/bin/env bash
# Test service: a private rabbitmq-server on free loopback ports.
#   rabbitmq.sh start <dir> [--tls]  start (or start again on the ports used before)
#   rabbitmq.sh stop <dir>           stop the broker and its own epmd
#   rabbitmq.sh restart <dir>        stop, then start on the same port and state
# Everything lives in <dir>: HOME (with the Erlang cookie), mnesia, logs, pid
# and config. <dir>/port holds the AMQP port on 127.0.0.1 while the broker
# runs; <dir>/ports.env keeps the AMQP, AMQPS, distribution and epmd ports
# across a stop, so a restart comes back where clients expect it. Each state
# dir has its own epmd on its own port, so several build trees can run
# brokers side by side and a stop ends only this tree's epmd.
# With --tls the broker also listens for AMQPS, with a certificate for the
# host name "localhost" signed by a CA made for it: <dir>/tls_port holds that
# port, <dir>/tls/ca.pem the CA. A restart keeps TLS and the certificates.
set -euo pipefail

usage() { echo "usage: $0 start <dir> [--tls] | stop <dir> | restart <dir>" >&2; exit 2; }
[ $# -ge 2 ] || usage
action=$1 dir=$2
tls=false
case $# in
2) ;;
3) [ "$3" = --tls ] && [ "$action" = start ] || usage; tls=true ;;
*) usage ;;
esac
bin=/usr/lib/rabbitmq/bin

listening() { ss -Hltn "sport = :$1" 2>/dev/null | grep -q .; }

# A port that nothing listens on now, not among those already taken. It lies
# below the kernel's range of ephemeral ports, which outgoing connections
# take without listening (ss does not show them, yet epmd could not bind).
pick_port() {
  local port low=32768
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true
  [ "$low" -gt 21024 ] || low=60000
  for _ in $(seq 200); do
    port=$((20000 + RANDOM % (low - 20000)))
    case " $* " in *" $port "*) continue ;; esac
    listening "$port" || { echo "$port"; return 0; }
  done
  echo "no free port found" >&2
  return 1
}

gone() {  # a process is gone once it no longer exists or is a zombie
  [ ! -e /proc/$1/status ] || grep -q '^State:[[:space:]]*Z' /proc/$1/status 2>/dev/null
}

load_ports() {
  tls_port=
  if [ -f "$dir/ports.env" ]; then
    # shellcheck disable=SC1091
    . "$dir/ports.env"
  fi
  if [ -z "$tls_port" ]; then
    amqp_port=$(pick_port)
    dist_port=$(pick_port "$amqp_port")
    epmd_port=$(pick_port "$amqp_port" "$dist_port")
    tls_port=$(pick_port "$amqp_port" "$dist_port" "$epmd_port")
    printf 'amqp_port=%s\ndist_port=%s\nepmd_port=%s\ntls_port=%s\n' "$amqp_port" "$dist_port" "$epmd_port" \
      "$tls_port" >"$dir/ports.env"
  fi
}

# A CA of the broker's own and a server certificate it signed for
# "localhost", made once per state dir.
make_certificates() {
  local certs=$dir/tls
  [ -f "$certs/server.pem" ] && return 0
  command -v openssl >/dev/null || { echo "openssl not installed (apt-get install openssl)" >&2; exit 1; }
  mkdir -p "$certs"
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=zrv test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$certs/ca.key" -out "$certs/ca.pem" 2>>"$certs/openssl.log"
  openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout "$certs/server.key" \
    -out "$certs/server.csr" 2>>"$certs/openssl.log"
  printf 'subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' \
    >"$certs/server.ext"
  openssl x509 -req -days 3650 -in "$certs/server.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" \
    -CAcreateserial -extfile "$certs/server.ext" -out "$certs/server.pem" 2>>"$certs/openssl.log"
}

setup_env() {
  dir=$(cd "$dir" && pwd)
  load_ports
  export HOME=$dir/home
  export RABBITMQ_NODENAME=zrv-$epmd_port@localhost
  export RABBITMQ_NODE_IP_ADDRESS=127.0.0.1
  export RABBITMQ_NODE_PORT=$amqp_port
  export RABBITMQ_DIST_PORT=$dist_port
  export ERL_EPMD_PORT=$epmd_port
  export ERL_EPMD_ADDRESS=127.0.0.1
  export RABBITMQ_MNESIA_BASE=$dir/mnesia
  export RABBITMQ_LOG_BASE=$dir/log
  # A node that fails to start writes its crash dump here, not into the
  # caller's working directory.
  export ERL_CRASH_DUMP=$dir/log/erl_crash.dump
  export RABBITMQ_PID_FILE=$dir/rabbit.pid
  export RABBITMQ_ENABLED_PLUGINS_FILE=$dir/enabled_plugins
  export RABBITMQ_CONFIG_FILE=$dir/rabbitmq
  export RABBITMQ_ADVANCED_CONFIG_FILE=$dir/advanced.config
  export RABBITMQ_CONF_ENV_FILE=$dir/rabbitmq-env.conf
  export RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}"
}

ctl() { "$bin/rabbitmqctl" "$@"; }

stop_broker() {
  [ -d "$dir" ] || return 0
  [ -f "$dir/ports.env" ] || return 0
  setup_env
  rm -f "$dir/port" "$dir/tls_port"
  if [ -f "$RABBITMQ_PID_FILE" ]; then
    local pid; pid=$(cat "$RABBITMQ_PID_FILE")
    if [ -n "$pid" ] && ! gone "$pid"; then
      ctl shutdown >>"$dir/log/ctl.log" 2>&1 || kill "$pid" 2>/dev/null || true
      for _ in $(seq 300); do gone "$pid" && break; sleep 0.1; done
      gone "$pid" || kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$RABBITMQ_PID_FILE"
  fi
  # Only the epmd on this tree's own port.
  epmd -kill >/dev/null 2>&1 || true
}

start_broker() {
  [ -x "$bin/rabbitmq-server" ] || { echo "rabbitmq-server not installed (apt-get install rabbitmq-server)" >&2; exit 1; }
  mkdir -p "$dir"
  stop_broker
  # Ports recorded earlier are reused when they are still free.
  if [ -f "$dir/ports.env" ]; then
    tls_port=
    . "$dir/ports.env"
    if listening "$amqp_port" || listening "$dist_port" || listening "$epmd_port" ||
       { [ -n "$tls_port" ] && listening "$tls_port"; }; then rm -f "$dir/ports.env"; fi
  fi
  # A restart keeps what the first start chose.
  if $tls; then touch "$dir/tls.enabled"; elif [ "$action" = start ]; then rm -f "$dir/tls.enabled"; fi
  setup_env
  mkdir -p "$HOME" "$RABBITMQ_MNESIA_BASE" "$RABBITMQ_LOG_BASE"
  echo '[].' >"$RABBITMQ_ENABLED_PLUGINS_FILE"
  echo '[].' >"$RABBITMQ_ADVANCED_CONFIG_FILE"
  : >"$RABBITMQ_CONF_ENV_FILE"
  printf 'listeners.tcp.default = 127.0.0.1:%s\nloopback_users.guest = true\nlog.console = false\nlog.file.level = info\n' \
    "$amqp_port" >"$dir/rabbitmq.conf"
  if [ -f "$dir/tls.enabled" ]; then
    make_certificates
    printf 'listeners.ssl.default = 127.0.0.1:%s\nssl_options.cacertfile = %s\nssl_options.certfile = %s\nssl_options.keyfile = %s\nssl_options.verify = verify_none\nssl_options.fail_if_no_peer_cert = false\n' \
      "$tls_port" "$dir/tls/ca.pem" "$dir/tls/server.pem" "$dir/tls/server.key" >>"$dir/rabbitmq.conf"
  fi

  # Left to itself, the node starts epmd and registers at once; on a loaded
  # machine epmd may not listen yet, and the node gives up ("nodistribution").
  # So this tree's epmd (on ERL_EPMD_PORT and ERL_EPMD_ADDRESS) comes first.
  epmd -daemon
  for _ in $(seq 100); do listening "$epmd_port" && break; sleep 0.1; done
  if ! listening "$epmd_port"; then
    echo "epmd did not listen on 127.0.0.1:$epmd_port within 10 s; rabbitmq-server not started" >&2
    rm -f "$dir/ports.env"
    exit 1
  fi
  "$bin/rabbitmq-server" >>"$RABBITMQ_LOG_BASE/stdout.log" 2>&1 &
  local server=$!
  if ctl wait --timeout 120 "$RABBITMQ_PID_FILE" >>"$RABBITMQ_LOG_BASE/ctl.log" 2>&1 &&
     ctl await_startup >>"$RABBITMQ_LOG_BASE/ctl.log" 2>&1; then
    echo "$amqp_port" >"$dir/port"
    [ ! -f "$dir/tls.enabled" ] || echo "$tls_port" >"$dir/tls_port"
    echo "rabbitmq-server ready on 127.0.0.1:$amqp_port (node $RABBITMQ_NODENAME, pid $(cat "$RABBITMQ_PID_FILE"))"
    return 0
  fi
  echo "rabbitmq-server did not start; its output:" >&2
  tail -n 50 "$RABBITMQ_LOG_BASE/stdout.log" "$RABBITMQ_LOG_BASE/ctl.log" >&2 || true
  kill "$server" 2>/dev/null || true
  stop_broker
  exit 1
}

case $action in
start) start_broker ;;
stop) stop_broker ;;
restart) mkdir -p "$dir"; stop_broker; start_broker ;;
*) usage ;;
esac
