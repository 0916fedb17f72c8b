#!/usr/bin/env bash
# Configures and builds the project into build/ (the updater bundle lands in
# "build/Velkin Software Update.app"). Extra arguments go to CMake's configure step.
# The tests run from this tree, so the bundle replacement's pause points are in.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ccache-env.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNV_TEST_PAUSE_POINTS=ON -DNV_ROOT_STATE_DIR=/run/velkin-software-update-tests "$@" >/dev/null
cmake --build build
