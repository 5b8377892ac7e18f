#!/usr/bin/env bash
# Builds the Debian package (Debian 12, as root for the build packages):
# a release build installed under /usr, packed by CPack. Prints the .deb's
# path; inspect it with dpkg-deb --info / --contents.
#   BUILD_DIR  build directory (default: build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build_dir=${BUILD_DIR:-build-deb}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target trellis
(cd "$build_dir" && cpack -G DEB >/dev/null)
(cd "$build_dir" && ls "$PWD"/trellis_*.deb)
