#!/usr/bin/env bash
# Installs what the build and the tests need (Debian 12, as root), configures,
# builds and runs every test.
#   BUILD_DIR         build directory (default: build)
#   TRELLIS_SANITIZE  address | thread | empty
#   TEST_LABEL        run only tests with this CTest label (unit, integration)
set -euo pipefail
cd "$(dirname "$0")/.."
"$(dirname "$0")/install-deps.sh"

build_dir=${BUILD_DIR:-build}
# Line tables only (-g1): backtraces and sanitizer reports keep their file
# and line, and the build takes about a third less time than with full -g.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
      -DTRELLIS_WERROR=${TRELLIS_WERROR:-ON} -DTRELLIS_SANITIZE="${TRELLIS_SANITIZE:-}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
label_args=()
if [ -n "${TEST_LABEL:-}" ]; then label_args=(-L "$TEST_LABEL"); fi
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" "${label_args[@]}"
