#!/usr/bin/env bash
# The whole test suite: installs missing packages, builds, prepares the
# unprivileged test accounts and the polkit route to root (as root), runs
# every test under a private session bus and a virtual display, runs each
# fuzz target briefly, and runs the core suites again under the sanitizers.
# Exits non-zero when anything fails.
#
# The accounts, their rules, the system bus and polkitd (when this run
# started them) and the installed root helper exist for the run only: they
# are removed when it ends, also when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
./scripts/build.sh

cleanup() {
  ./scripts/test-polkit.sh stop || true
  ./scripts/test-user.sh teardown || true
  # Root's notes of the test builds' updates (build.sh names the folder).
  if [ "$(id -u)" = 0 ]; then rm -rf /run/velkin-software-update-tests; else sudo -n rm -rf /run/velkin-software-update-tests; fi 2>/dev/null || true
}
trap cleanup EXIT
./scripts/test-user.sh setup
./scripts/test-polkit.sh start build

# Tests get their own session bus and X display, so they never touch the
# desktop of whoever runs them.
dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --test-dir build --output-on-failure --timeout 600 -j"$(nproc)"

./scripts/fuzz.sh

# The core suites once more, built with the address and undefined-behaviour
# sanitizers.
./scripts/sanitize.sh
