#!/usr/bin/env bash
# The demonstration: installs missing packages, builds, and then, in a
# temporary folder, plays a maker and a user. The maker makes test keys,
# builds Velkin 5.0 with the updater nested in it, publishes Velkin 5.1
# (signed, as a disk image and as a tar.gz) with release notes and a feed on
# a local HTTPS server. The user's Velkin 5.0 then checks for updates: with a
# display the update window appears; without one the terminal runs the same
# steps unattended. It ends with Velkin 5.1 installed and started again.
#
#   ./scripts/demo.sh               the updater from this build
#   ./scripts/demo.sh --installed   the updater `cmake --install` (or the
#                                   .deb) laid out under /usr or /usr/local
#
# Settings, caches and the session bus are the demo's own, so nothing is left
# in the user's folders (NVSU_DEMO_KEEP=1 keeps the demo's folder to look at).
set -euo pipefail
cd "$(dirname "$0")/.."

installed=0
case "${1:-}" in
  --installed) installed=1 ;;
  "") ;;
  *) echo "usage: $0 [--installed]" >&2; exit 2 ;;
esac

./scripts/install-deps.sh >/dev/null
./scripts/build.sh >/dev/null

if [ "$installed" = 1 ]; then
  updater_bundle=""
  for prefix in /usr /usr/local; do
    if [ -d "$prefix/lib/velkin-software-update/Velkin Software Update.app" ]; then
      updater_bundle="$prefix/lib/velkin-software-update/Velkin Software Update.app"
      release="$prefix/lib/velkin-software-update/nvsu-release"
      break
    fi
  done
  if [ -z "$updater_bundle" ]; then
    echo "demo: no installed updater under /usr or /usr/local (install the .deb or run cmake --install build)" >&2
    exit 1
  fi
else
  updater_bundle="$PWD/build/Velkin Software Update.app"
  release="$updater_bundle/Contents/MacOS/nvsu-release"
fi
server_tool="$PWD/build/tests/nvsu-test-server"

work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  if [ -n "${NVSU_DEMO_KEEP:-}" ]; then echo "demo: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" XDG_DATA_HOME="$work/data"
export NVSU_DEMO_LOG="$work/launches.log"

step() { printf '\n== %s\n' "$*"; }
indent() { sed 's/^/   /'; }

# A product bundle whose executable says which version it is and what it
# was started with.
make_product() { # folder short-version build
  local app=$1
  mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources"
  cat >"$app/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key><string>norvane.velkin</string>
	<key>CFBundleName</key><string>Velkin</string>
	<key>CFBundleExecutable</key><string>velkin</string>
	<key>CFBundleVersion</key><string>$3</string>
	<key>CFBundleShortVersionString</key><string>$2</string>
</dict>
</plist>
PLIST
  cat >"$app/Contents/MacOS/velkin" <<SCRIPT
#!/bin/sh
echo "Velkin $2 (build $3) started\${*:+ with: \$*}" >>"\${NVSU_DEMO_LOG:-/dev/null}"
SCRIPT
  chmod +x "$app/Contents/MacOS/velkin"
}

step "The maker's test keys and TLS authority"
"$release" keys --output "$work/keys" | indent

step "A local HTTPS server for the feed, the archives and the release notes"
site="$work/site"
mkdir -p "$site/update-feeds" "$site/notes"
"$server_tool" --root "$site" --certificate "$work/keys/server-certificate.pem" \
  --key "$work/keys/server-key.pem" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 1 100); do
  grep -q '^https ' "$work/server.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^https \([0-9]*\)$/\1/p' "$work/server.out")
if [ -z "$port" ]; then
  echo "demo: the server did not start: $(cat "$work/server.err")" >&2
  exit 1
fi
base="https://127.0.0.1:$port"
echo "   serving $site at $base"

nest() { # product
  "$release" nest "$updater_bundle" "$1" --feed-url "$base/update-feeds/velkin5.plist" \
    --website-url "$base/" --anchors "$work/keys/CodeSigningAnchors.pem" \
    --server-anchors "$work/keys/ServerTrustAnchors.pem" | indent
}

step "The user's Velkin 5.0, with the updater nested in it"
product="$work/Applications/Velkin.app"
make_product "$product" 5.0 5000
nest "$product"

step "The maker publishes Velkin 5.1: a disk image and a tar.gz, signed"
new="$work/build-5.1/Velkin.app"
make_product "$new" 5.1 5100
nest "$new"
for format in dmg tar.gz; do
  archive="$site/Velkin-5.1.$format"
  "$release" package "$new" --format "$format" --output "$archive" | indent
  "$release" sign "$archive" --certificate "$work/keys/code-signing-certificate.pem" \
    --key "$work/keys/code-signing-key.pem" --chain "$work/keys/code-signing-chain.pem" \
    --anchors "$work/keys/CodeSigningAnchors.pem" | indent
done
cat >"$site/notes/5.1.html" <<'HTML'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Velkin 5.1</title></head>
<body>
<h2>What's new in Velkin 5.1</h2>
<ul>
  <li>Projects open twice as fast.</li>
  <li>A new <a href="#shortcuts">keyboard shortcut</a> for the timeline.</li>
  <li>Fixes a crash when importing large files (<a href="https://velkin.norvane.example/support/5.1">details</a>).</li>
</ul>
<h3 id="shortcuts">Shortcuts</h3>
<p>Press Ctrl+T to show the timeline.</p>
</body></html>
HTML
# A disk image needs FUSE or root to be attached; without either the demo
# offers the tar.gz.
format=dmg
if [ "$(id -u)" != 0 ] && [ ! -c /dev/fuse ]; then format=tar.gz; fi
"$release" feed "$site/update-feeds/velkin5.plist" --version 5100 --short-version 5.1 \
  --download-url "$base/Velkin-5.1.$format" --release-notes-url "$base/notes/5.1.html" | indent

step "Velkin 5.0 checks for updates"
updater="$product/Contents/Helpers/Velkin Software Update.app/Contents/MacOS/velkin-software-update"
arguments=(x-velkin-software-update:check-manually)
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "   the update window opens: choose \"Install Update\", then \"Install and Relaunch\""
else
  echo "   no display: the terminal runs the update unattended (--assume-yes)"
  arguments+=(--assume-yes)
fi
# NVSU_DEMO_ARGUMENTS adds settings for this run, such as
# "-SoftwareUpdateDebugLogsEnabled YES".
read -r -a extra <<<"${NVSU_DEMO_ARGUMENTS:-}"
arguments+=("${extra[@]}")
status=0
# A private session bus, so the demo's updater is the only one on it, with a
# monitor recording what the product would hear.
dbus-run-session -- bash -c '
  dbus-monitor "type=signal,interface=norvane.DistributedNotificationCenter" >"$1" 2>/dev/null &
  monitor=$!
  sleep 0.3
  shift
  "$@" </dev/null
  code=$?
  sleep 0.3
  kill $monitor 2>/dev/null
  exit $code' demo "$work/signals.log" "$updater" "${arguments[@]}" 2>&1 | grep --line-buffered -v '^dbus-daemon\[' | indent || status=$?

step "What happened"
installed_version=$(sed -n '/CFBundleShortVersionString/{n;s:.*<string>\(.*\)</string>.*:\1:p}' "$product/Contents/Info.plist")
installed_version=${installed_version:-$(grep -o 'CFBundleShortVersionString</key><string>[^<]*' "$product/Contents/Info.plist" | sed 's/.*<string>//')}
echo "   the updater exited with status $status"
echo "   $product now holds Velkin $installed_version"
if [ -s "$NVSU_DEMO_LOG" ]; then
  echo "   the product was started again:"
  indent <"$NVSU_DEMO_LOG" | indent
fi
if grep -q 'string "VK' "$work/signals.log" 2>/dev/null; then
  echo "   signals the product could listen to on the session bus:"
  grep -o 'string "VK[A-Za-z]*"' "$work/signals.log" | sed 's/string //' | indent | indent
fi
echo "   the updater's settings:"
"$updater" defaults read 2>/dev/null | indent | indent || true
if [ "$installed_version" != 5.1 ]; then
  echo "demo: Velkin was not updated" >&2
  exit 1
fi
