#!/usr/bin/env bash
# Builds everything but the release notes' web view (the browser engine is
# not built for the sanitizers) with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-asan/ and runs the core test suites
# there, not the window code's. Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ccache-env.sh

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNV_SANITIZE=ON -DNV_TEST_PAUSE_POINTS=ON -DNV_ROOT_STATE_DIR=/run/velkin-software-update-tests -DNV_BUILD_BENCHMARKS=OFF -DNV_BUILD_WEBVIEW=OFF >/dev/null
cmake --build build-asan

# Leak reports from Qt's and OpenSSL's process-lifetime caches are not ours;
# every other report aborts the test that caused it.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
dbus-run-session -- ctest --test-dir build-asan --output-on-failure --timeout 900 -j"$(nproc)" -LE 'widgets|webview'
