#!/usr/bin/env bash
# Builds the Debian package into build-package/ (installation prefix /usr,
# no tests, benchmarks or test pause points) and checks it with lintian. Prints the package's
# path last. Install it with `apt-get install ./<file>.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh >/dev/null
missing=()
for tool in lintian dpkg-shlibdeps fakeroot; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" = 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends lintian dpkg-dev fakeroot >/dev/null
fi

cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DNV_BUILD_TESTS=OFF -DNV_BUILD_BENCHMARKS=OFF -DNV_TEST_PAUSE_POINTS=OFF "$@" >/dev/null
cmake --build build-package
(cd build-package && cpack -G DEB >/dev/null)
package=$(ls -t build-package/velkin-software-update_*.deb | head -n 1)
# Errors fail the build; warnings are shown for a person to judge.
lintian --fail-on error --tag-display-limit 0 "$package"
echo "$package"
