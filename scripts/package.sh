#!/usr/bin/env bash
# Builds the Debian package, vistrel_<version>_amd64.deb, in the current folder's parent
# checkout: a release build installed under /usr, packed with cpack (dependencies computed
# from the binaries with dpkg-shlibdeps).
#   scripts/package.sh            # prints the package's path
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${PACKAGE_BUILD_DIR:-build-deb}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DBUILD_TESTING=OFF -DVISTREL_BENCH=OFF >/dev/null
cmake --build "$build" --target vistrel vistrel-reg vistrel_man vistrel_changelog >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
ls "$PWD/$build"/vistrel_*_*.deb
