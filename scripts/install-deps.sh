#!/usr/bin/env bash
# Installs every Debian 12 package the project needs to build, test, run and
# benchmark. Idempotent: when everything is there already it changes nothing;
# otherwise it runs apt-get update once and installs what is missing.
set -euo pipefail

packages=(
  # toolchain
  build-essential g++ cmake ninja-build pkg-config git
  clang libclang-rt-14-dev
  # libraries the daemon links
  libuv1-dev libpipewire-0.3-dev libavahi-client-dev libcivetweb-dev libcjson-dev
  libjansson-dev libnats-dev librabbitmq-dev libcurl4-openssl-dev
  # tests (jq reads pw-dump's answer)
  googletest libgtest-dev libgmock-dev jq
  # real services the tests and the demo run against
  pipewire pipewire-bin wireplumber avahi-daemon avahi-utils dbus iproute2 util-linux procps
  nats-server rabbitmq-server curl
  # benchmarks (python3 picks free ports)
  wrk time valgrind stress-ng python3
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages are installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
