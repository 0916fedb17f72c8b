#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with.
# Idempotent: only packages that are missing are installed, so a second run
# costs a few dpkg queries and nothing else.
set -euo pipefail

packages=(
  # toolchain and test frameworks
  cmake ninja-build ccache g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  # Qt: core, network, D-Bus; widgets and the run-time interface loader
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev libqt6uitools6
  # the interface loader's CMake package needs the OpenGL one to be found
  libqt6opengl6-dev
  # the release notes' web view: the engine, its helper process and the
  # page's bridge
  qt6-webengine-dev qt6-webchannel-dev libqt6webenginecore6-bin
  # signatures, journal
  libssl-dev openssl libsystemd-dev
  # disk images and archive tools
  squashfs-tools squashfuse fuse3 tar gzip bzip2 unzip zip
  # administrator rights; the polkit route is tested with a system bus of the
  # test run's own
  sudo polkitd pkexec
  # headless windows and a session bus for the tests
  xvfb xauth dbus dbus-x11
  # file and locale utilities the tests rely on; GNU time for the benchmarks' peak memory
  attr acl util-linux locales tzdata time
  # the reference client of the download benchmark
  curl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
