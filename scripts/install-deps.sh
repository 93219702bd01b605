#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs. Idempotent: when
# everything is there already it changes nothing; otherwise it runs apt-get
# update once and installs what is missing.
#
#   scripts/install-deps.sh        everything: build, tests, the Debian
#                                  package's checks, the demo, benchmarks
#   scripts/install-deps.sh demo   only what the demo uses: the build and
#                                  the services it plays through
set -euo pipefail

# The demo: build the daemon, run it against PipeWire and avahi-daemon, and
# find it with the controller script (avahi-browse, curl).
demo_packages=(
  build-essential g++ cmake ninja-build pkg-config
  libuv1-dev libpipewire-0.3-dev libavahi-client-dev libcivetweb-dev libcjson-dev
  libjansson-dev libnats-dev librabbitmq-dev libssl-dev libcurl4-openssl-dev libsystemd-dev
  pipewire pipewire-bin wireplumber avahi-daemon avahi-utils dbus iproute2 util-linux procps curl
)

# Everything else: tests, fuzzing, the Debian package's checks, benchmarks.
all_packages=(
  "${demo_packages[@]}"
  git clang clang-format libclang-rt-14-dev
  # tests, and the other real services they run against
  googletest libgtest-dev libgmock-dev jq nats-server rabbitmq-server
  # the test certificates of the TLS broker
  openssl
  # the Debian package: dpkg-shlibdeps needs file, its scripts adduser; the
  # unit is checked with systemd-analyze, which reads the manual page with man
  file lintian adduser systemd man-db
  # the arm64 package: Debian's cross toolchain, the arm64 development
  # packages beside the amd64 ones (multiarch), and qemu to run the result
  crossbuild-essential-arm64 qemu-user-static
  libuv1-dev:arm64 libpipewire-0.3-dev:arm64 libavahi-client-dev:arm64 libcivetweb-dev:arm64
  libcjson-dev:arm64 libjansson-dev:arm64 libnats-dev:arm64 librabbitmq-dev:arm64
  libcurl4-openssl-dev:arm64 libsystemd-dev:arm64 libssl-dev:arm64
  # benchmarks (python3 picks free ports)
  wrk time valgrind stress-ng python3
)

case ${1:-all} in
demo) packages=("${demo_packages[@]}") ;;
all) packages=("${all_packages[@]}") ;;
*) echo "usage: $0 [demo]" >&2; exit 2 ;;
esac

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
# Packages of another architecture need it added to dpkg before the update.
for p in "${missing[@]}"; do
  case $p in
  *:arm64)
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
      "${sudo_cmd[@]}" dpkg --add-architecture arm64
    fi
    break
    ;;
  esac
done
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
