#!/usr/bin/env bash
# Runs every libFuzzer harness of fuzz/CMakeLists.txt for SECONDS each
# (default 30), starting from the seed corpus in fuzz/corpus/<harness>.
# Builds them first (clang-14, -DTRELLIS_FUZZ=ON: the whole tree, tests
# included, under AddressSanitizer and UndefinedBehaviorSanitizer, in
# $FUZZ_BUILD_DIR, default build-fuzz/; `--build` only builds). New inputs
# found along the way go to build-fuzz/corpus/<harness>, crashes to
# build-fuzz/findings/<harness>/. Prints each harness's executions and
# findings; exits 1 when any harness found something. FUZZ_JOBS harnesses
# (default 2) run at once.
#   fuzz/run.sh [seconds] [harness...]
#   fuzz/run.sh --build
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH="${1:-30}"
shift || true
BUILD_DIR="${FUZZ_BUILD_DIR:-build-fuzz}"

need=()
command -v clang++-14 >/dev/null || need+=(clang-14)
dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q "install ok installed" || need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update && apt-get install -y --no-install-recommends "${need[@]}"
fi
# Line tables only: findings keep their file and line, the build is lighter.
CXX=clang++-14 cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELLIS_FUZZ=ON \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DTRELLIS_WERROR=${TRELLIS_WERROR:-ON} >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" >/dev/null
[ "$SECONDS_EACH" = "--build" ] && exit 0

if [ $# -gt 0 ]; then
  harnesses=("$@")
else
  mapfile -t harnesses < <(sed -n 's/^trellis_fuzzer(\([a-z_0-9]*\))$/\1/p' fuzz/CMakeLists.txt)
fi

# One harness: its run, then its line of figures; non-zero when it found something.
run_one() {
  local h=$1 work="$BUILD_DIR/corpus/$1" findings="$BUILD_DIR/findings/$1"
  local log="$BUILD_DIR/findings/$1.log" rc execs found
  mkdir -p "$work" "$findings"
  set +e
  "$BUILD_DIR/fuzz/fuzz_$h" -max_total_time="$SECONDS_EACH" -print_final_stats=1 -rss_limit_mb=1024 \
    -artifact_prefix="$findings/" "$work" "fuzz/corpus/$h" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  found=$(find "$findings" -type f | wc -l)
  printf '%-14s %6ss  execs %-10s corpus %-5s findings %s (exit %d)\n' "$h" "$SECONDS_EACH" "${execs:-?}" \
    "$(find "$work" -type f | wc -l)" "$found" "$rc"
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
    grep -E "ERROR|property failed|runtime error|SUMMARY" "$log" | head -5 || true
    return 1
  fi
}

failed=0
running=0
for h in "${harnesses[@]}"; do
  if [ "$running" -ge "${FUZZ_JOBS:-2}" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run_one "$h" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit "$failed"
