#!/usr/bin/env bash
# Test service: a private nats-server on a free loopback port.
#   nats.sh start <dir> [--auth TOKEN | --user U --pass P]
#   nats.sh stop <dir>
# Everything lives in <dir>: the log, the pid, the ports file; <dir>/port
# holds the port clients connect to on 127.0.0.1.
set -euo pipefail

usage() { echo "usage: $0 start <dir> [--auth TOKEN | --user U --pass P] | stop <dir>" >&2; exit 2; }
[ $# -ge 2 ] || usage
action=$1 dir=$2
shift 2

gone() {  # a process is gone once it no longer exists or is a zombie
  [ ! -e /proc/$1/status ] || grep -q '^State:[[:space:]]*Z' /proc/$1/status 2>/dev/null
}

stop() {
  [ -f "$dir/nats.pid" ] || return 0
  local pid; pid=$(cat "$dir/nats.pid")
  if ! gone "$pid"; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do gone "$pid" && break; sleep 0.05; done
    gone "$pid" || kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/nats.pid" "$dir/port" "$dir"/*.ports
}

case $action in
start)
  command -v nats-server >/dev/null || { echo "nats-server not installed (apt-get install nats-server)" >&2; exit 1; }
  auth=()
  case ${1:-} in
    "") ;;
    --auth) [ $# -eq 2 ] || usage; auth=(--auth "$2") ;;
    --user) [ $# -eq 4 ] && [ "$3" = --pass ] || usage; auth=(--user "$2" --pass "$4") ;;
    *) usage ;;
  esac
  mkdir -p "$dir"
  stop
  rm -f "$dir"/*.ports
  nats-server -a 127.0.0.1 -p -1 -m -1 --ports_file_dir "$dir" "${auth[@]}" >"$dir/nats.log" 2>&1 &
  echo $! >"$dir/nats.pid"
  for _ in $(seq 250); do
    ports=$(ls "$dir"/*.ports 2>/dev/null | head -n1 || true)
    if [ -n "$ports" ] && grep -q '"nats"' "$ports"; then
      sed -E 's/.*"nats":\["nats:\/\/127\.0\.0\.1:([0-9]+)".*/\1/' "$ports" >"$dir/port"
      echo "nats-server ready on 127.0.0.1:$(cat "$dir/port") (pid $(cat "$dir/nats.pid"))"
      exit 0
    fi
    if gone "$(cat "$dir/nats.pid")"; then break; fi
    sleep 0.02
  done
  echo "nats-server did not start; its log:" >&2
  cat "$dir/nats.log" >&2 || true
  stop
  exit 1
  ;;
stop)
  stop
  ;;
*) usage ;;
esac
