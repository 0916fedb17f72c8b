#!/usr/bin/env bash
# The demonstration: installs missing packages, builds the updater bundle and
# shows what the updater can do so far.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh >/dev/null
./scripts/build.sh >/dev/null

bundle="build/Velkin Software Update.app"
exe="$bundle/Contents/MacOS/velkin-software-update"

echo "== The updater bundle"
find "$bundle" -type f | sort | sed 's/^/   /'
echo
echo "== Its Info.plist"
cat "$bundle/Contents/Info.plist"
echo
echo "== Running the updater"
"$exe"
