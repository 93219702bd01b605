#!/usr/bin/env bash
# The test command: installs what the project needs, builds it and runs every
# test against real services (PipeWire, avahi-daemon, nats-server,
# rabbitmq-server; ctest starts and stops them as fixtures), three times, and
# checks the Debian package after the first. Formatting is checked first:
#   build/       the normal build, every test;
#   build-deb/   the package: built, linted, installed into a scratch root
#                whose installed daemon must start and answer;
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer, every test;
#   build-tsan/  ThreadSanitizer, the tests of the threaded modules (ring
#                buffer and sink, HTTP hand-off, bus backends, inbound queue);
# then a short smoke run of every fuzz target.
set -euo pipefail
# Said before anything is installed or built.
if [ "$(id -u)" -ne 0 ]; then
    echo "test.sh: needs root (it installs packages and makes network and mount namespaces): sudo $0" >&2
    exit 1
fi
cd "$(dirname "$0")/.."

scripts/install-deps.sh

started=$SECONDS
step() { echo; echo "=== $* ($(( SECONDS - started )) s)"; }

# Runs ctest in a build tree. A test that fails is run once more, and fails
# only when it fails again: the capture tests play in real time into a
# timer-driven null sink, which a loaded 2-core CI machine can starve for a
# cycle now and then; a fault of ours fails both runs. When a test fails
# twice, its failed checks are printed again at the end, where they are not
# lost among the logs of the tests that passed.
run_ctest() {
    local dir=$1
    shift
    if ctest --test-dir "$dir" --output-on-failure --repeat until-pass:2 "$@"; then return 0; fi
    echo
    echo "=== failed checks in $dir (from its LastTest.log)"
    grep -h -A6 -E ': Failure$|^\[  FAILED  \]|runtime error:|ERROR: (Address|Thread|Leak)Sanitizer' \
        "$dir"/Testing/Temporary/LastTest*.log 2>/dev/null | head -n 200 || true
    return 1
}

step "formatting"
scripts/check-format.sh

step "normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRV_BUILD_TESTS=ON -DZRV_BUILD_BENCH=ON
cmake --build build
run_ctest build -j2

step "Debian package: build, lintian, install into a scratch root"
scripts/check-package.sh

step "AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRV_SANITIZE=ON -DZRV_BUILD_BENCH=OFF
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest build-asan -j2

step "ThreadSanitizer build of the threaded modules"
threaded_tests='audio_test|config_server_test|config_server_start_test|config_server_load_test|messaging_test|commands_test'
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRV_SANITIZE_THREAD=ON -DZRV_BUILD_BENCH=OFF
cmake --build build-tsan --target audio_test config_server_test config_server_start_test config_server_load_test messaging_test \
    commands_test zorva-renderer
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(pwd)/scripts/tsan.supp" \
    run_ctest build-tsan -j2 -R "^($threaded_tests)\$"

step "fuzz smoke runs"
scripts/fuzz-smoke.sh
scripts/fuzz-smoke-http.sh
scripts/fuzz-smoke-volume.sh

step "all tests passed"
