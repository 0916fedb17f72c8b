#!/usr/bin/env bash
# The demonstration: installs missing packages, builds the updater bundle and
# walks through what the updater and its release tool can do so far: the
# settings command, a maker's signed release and feed, the signature check
# refusing a tampered download, and a signed disk image attached and detached.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh >/dev/null
./scripts/build.sh >/dev/null

bundle="$PWD/build/Velkin Software Update.app"
updater="$bundle/Contents/MacOS/velkin-software-update"
release="$bundle/Contents/MacOS/nvsu-release"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The demo keeps its settings away from the user's own.
export XDG_CONFIG_HOME="$work/config"
export XDG_CACHE_HOME="$work/cache"

step() { printf '\n== %s\n' "$*"; }

step "The updater bundle"
(cd "$bundle/.." && find "$(basename "$bundle")" -type f | sort | sed 's/^/   /')

step "Settings: velkin-software-update defaults"
"$updater" defaults write SoftwareUpdateCheckInterval -int 604800
"$updater" defaults write SoftwareUpdateSkippedVersionsArray -array 5050
echo "   read SoftwareUpdateCheckInterval: $("$updater" defaults read SoftwareUpdateCheckInterval)"
echo "   the whole domain:"
"$updater" defaults read | sed 's/^/   /'
echo "   stored in $XDG_CONFIG_HOME/norvane.velkin.SoftwareUpdate.plist"
if ! "$updater" defaults read NoSuchSetting 2>"$work/err"; then
  echo "   a missing setting is refused: $(cat "$work/err")"
fi

step "A maker publishes Velkin 5.2: test keys, the archive, its signature"
"$release" keys --output "$work/keys" >/dev/null
app="$work/Velkin.app"
mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources"
cat >"$app/Contents/Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key><string>norvane.velkin</string>
	<key>CFBundleExecutable</key><string>velkin</string>
	<key>CFBundleVersion</key><string>5200</string>
	<key>CFBundleShortVersionString</key><string>5.2</string>
</dict>
</plist>
PLIST
printf '#!/bin/sh\necho "Velkin 5.2"\n' >"$app/Contents/MacOS/velkin"
chmod +x "$app/Contents/MacOS/velkin"
archive="$work/Velkin-5.2.tar.gz"
"$release" package "$app" --format tar.gz --output "$archive"
"$release" sign "$archive" --certificate "$work/keys/code-signing-certificate.pem" \
  --key "$work/keys/code-signing-key.pem" --chain "$work/keys/code-signing-intermediate.pem"
echo "   verify: $("$release" verify "$archive" --anchors "$work/keys/CodeSigningAnchors.pem")"
echo "   tar still reads the signed archive:"
tar -tzf "$archive" | sed 's/^/      /'

step "A download changed on the way is refused"
tampered="$work/tampered.tar.gz"
cp "$archive" "$tampered"
printf '\x00' | dd of="$tampered" bs=1 seek=200 conv=notrunc status=none
if "$release" verify "$tampered" --anchors "$work/keys/CodeSigningAnchors.pem" >"$work/out" 2>&1; then
  echo "   unexpected: the tampered archive verified"; exit 1
fi
sed 's/^/   /' "$work/out"

step "The same release as a disk image, attached read-only and detached"
image="$work/Velkin-5.2.dmg"
"$release" package "$app" --format dmg --output "$image"
"$release" sign "$image" --certificate "$work/keys/code-signing-certificate.pem" \
  --key "$work/keys/code-signing-key.pem" --chain "$work/keys/code-signing-intermediate.pem"
echo "   verify: $("$release" verify "$image" --anchors "$work/keys/CodeSigningAnchors.pem")"
diskimage="$bundle/Contents/MacOS/nvsu-diskimage"
"$diskimage" attach -plist -noverify -nobrowse -noautoopen "$image" </dev/null >"$work/attach.plist"
mountpoint=$(sed -n 's:.*<key>mount-point</key>[[:space:]]*<string>\(.*\)</string>.*:\1:p;/<key>mount-point<\/key>/{n;s:.*<string>\(.*\)</string>.*:\1:p}' "$work/attach.plist" | head -n 1)
echo "   attached at $mountpoint:"
(cd "$mountpoint" && find . | sort | sed 's/^/      /')
"$diskimage" detach -force "$mountpoint"
[ ! -e "$mountpoint" ] && echo "   detached; the mount point is gone"

step "The feed that announces it"
feed="$work/velkin5.plist"
"$release" feed "$feed" --version 5200 --short-version 5.2 \
  --download-url "https://127.0.0.1:8443/Velkin-5.2.tar.gz" \
  --release-notes-url "https://127.0.0.1:8443/notes/5.2.html"
"$release" feed "$feed" --version 5300 --short-version "5.3 beta 1" --release-lifecycle beta \
  --download-url "https://127.0.0.1:8443/Velkin-5.3b1.tar.gz"
sed 's/^/   /' "$feed"

step "The updater itself"
"$updater" --help | sed 's/^/   /'
echo
echo "The update run (feed check, window, download and installation) arrives with the driver."
