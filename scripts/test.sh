#!/usr/bin/env bash
# The whole test suite: installs missing packages, builds, runs every test
# under a private session bus and a virtual display, then runs each fuzz
# target briefly. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
./scripts/build.sh
./scripts/test-user.sh

# Tests get their own session bus and X display, so they never touch the
# desktop of whoever runs them.
dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --test-dir build --output-on-failure --timeout 600 -j"$(nproc)"

./scripts/fuzz.sh
