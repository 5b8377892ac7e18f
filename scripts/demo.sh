#!/usr/bin/env bash
# Builds the gateway and runs it on examples/demo.acr, with a simulated RTU
# field device (unit 1) on a pseudo-terminal pair standing in for the serial
# line /dev/ttyAP0. Read registers through it from another terminal (the
# commands are printed below). Ctrl-C stops everything.
#   BUILD_DIR   build directory (default: build)
#   LOG_LEVEL   gateway log level 0-7 (default: 5)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target trellis

config=examples/demo.acr
tcp_port=$(sed -n 's/.*<NorthPort[^>]*tcp_port="\([0-9]*\)".*/\1/p' "$config" | head -n1)
run_dir=$(mktemp -d /tmp/trellis-demo.XXXXXX)
pids=()

cleanup() {
  trap - EXIT INT TERM
  # Gateway first, then the device, then the line.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$run_dir"
  echo "demo stopped"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# waits up to $1 tenths of a second for the command that follows to succeed
wait_until() {
  local tries=$1
  shift
  until "$@"; do
    tries=$((tries - 1))
    if [ "$tries" -le 0 ]; then return 1; fi
    sleep 0.1
  done
}

# The serial line: the gateway opens ttyAP0 (port="1"), the device the other end.
socat pty,raw,echo=0,link="$run_dir/ttyAP0" pty,raw,echo=0,link="$run_dir/device" 2>"$run_dir/socat.log" &
pids+=($!)
wait_until 50 test -e "$run_dir/ttyAP0" -a -e "$run_dir/device" || { echo "socat did not create the pty pair" >&2; exit 1; }

/usr/bin/python3 tests/peers/rtu_device.py --port "$run_dir/device" --unit 1 >"$run_dir/device.log" 2>&1 &
pids+=($!)
wait_until 100 grep -qx ready "$run_dir/device.log" || { cat "$run_dir/device.log" >&2; exit 1; }

"$build_dir/trellis" -c "$config" -l "${LOG_LEVEL:-5}" --serial-prefix "$run_dir/ttyAP" \
  --tag-socket "$run_dir/trellis.tags" &
gateway=$!
pids+=("$gateway")

cat <<EOF

Trellis is running on $config: Modbus TCP on 127.0.0.1:$tcp_port, the RTU
device (unit 1, holding and input registers 100, 101, ...) behind it.
Read through the gateway from another terminal:

  mbpoll -1 -0 -a 1 -r 0 -c 10 -p $tcp_port 127.0.0.1
  tests/peers/read_registers.py --port $tcp_port --unit 1 --address 0 --count 10
  tests/peers/read_registers.py --port $tcp_port --unit 100 --type input   # unit 100 is mapped to address 1

The device's register accesses go to $run_dir/device.log.
Press Ctrl-C to stop.

EOF

# Until Ctrl-C (the traps clean up) or the gateway ends on its own.
status=0
wait "$gateway" || status=$?
exit "$status"
