#!/usr/bin/python3
"""Latency the gateway adds on the Modbus TCP -> Modbus TCP path.

    bench/bench_south_tcp.py [--bin build/trellis] [--reads 500] [--level 3]

Starts a small Modbus TCP device of its own (a separate process answering
function code 3 from a select loop, so its own latency is low and steady),
then times --reads sequential reads of 10 holding registers over one
connection: first straight to the device, then through `trellis` (north TCP
port with time_interval 0 and cache "false", south TCP port to the same
device). Prints p50 and p99 of both and their difference, in microseconds.

Run by hand; not part of the test suite. Everything listens on 127.0.0.1.
"""
import argparse
import os
import selectors
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve(port):
    """The device: MBAP requests in, holding registers 100 + address out."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(8)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ)
    pending = {}
    print("ready", flush=True)
    while True:
        for key, _ in sel.select():
            if key.fileobj is listener:
                conn, _ = listener.accept()
                conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                sel.register(conn, selectors.EVENT_READ)
                pending[conn] = b""
                continue
            conn = key.fileobj
            data = conn.recv(4096)
            if not data:
                sel.unregister(conn)
                conn.close()
                del pending[conn]
                continue
            buf = pending[conn] + data
            while len(buf) >= 6 and len(buf) >= 6 + struct.unpack(">H", buf[4:6])[0]:
                length = struct.unpack(">H", buf[4:6])[0]
                tid, unit, fc = struct.unpack(">HxxxxBB", buf[:8])
                if fc == 3:
                    start, count = struct.unpack(">HH", buf[8:12])
                    values = [(100 + start + i) & 0xFFFF for i in range(count)]
                    pdu = struct.pack(f">BBB{count}H", unit, 3, 2 * count, *values)
                else:
                    pdu = struct.pack(">BBB", unit, fc | 0x80, 1)
                conn.sendall(struct.pack(">HHH", tid, 0, len(pdu)) + pdu)
                buf = buf[6 + length:]
            pending[conn] = buf


def time_reads(port, reads, warmup=20):
    """Latencies (ns) of sequential reads of 10 registers over one connection."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    expected = struct.pack(">BBB10H", 1, 3, 20, *range(100, 110))
    times = []
    for i in range(warmup + reads):
        tid = i & 0xFFFF
        request = struct.pack(">HHHBBHH", tid, 0, 6, 1, 3, 0, 10)
        started = time.perf_counter_ns()
        sock.sendall(request)
        answer = b""
        while len(answer) < 6 + len(expected):
            chunk = sock.recv(512)
            if not chunk:
                raise SystemExit(f"connection closed after {i} reads")
            answer += chunk
        elapsed = time.perf_counter_ns() - started
        if answer[6:] != expected or struct.unpack(">H", answer[:2])[0] != tid:
            raise SystemExit(f"unexpected answer {answer.hex()} to read {i}")
        if i >= warmup:
            times.append(elapsed)
    sock.close()
    return times


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def wait_accepting(port, proc, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise SystemExit(f"the gateway exited with {proc.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            time.sleep(0.05)
    raise SystemExit(f"nothing accepts on port {port}")


def wait_answering(port, proc, seconds=10):
    """Until a read through the gateway is answered (the south port is connected)."""
    request = struct.pack(">HHHBBHH", 0, 0, 6, 1, 3, 0, 10)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise SystemExit(f"the gateway exited with {proc.returncode}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5) as s:
                s.sendall(request)
                if len(s.recv(512)) > 0:
                    return
        except OSError:
            pass
    raise SystemExit("the gateway does not answer")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--serve":
        serve(int(sys.argv[2]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.environ.get("TRELLIS_BIN", os.path.join(HERE, "..", "build", "trellis")))
    parser.add_argument("--reads", type=int, default=500)
    parser.add_argument("--level", type=int, default=3, help="gateway log level (-l)")
    args = parser.parse_args()

    device_port, north_port = free_port(), free_port()
    device = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", str(device_port)],
                              stdout=subprocess.PIPE, text=True)
    gateway = None
    with tempfile.TemporaryDirectory() as tmp:
        try:
            assert device.stdout.readline().strip() == "ready"
            direct = time_reads(device_port, args.reads)

            config = os.path.join(tmp, "bench.acr")
            with open(config, "w") as f:
                f.write(f"""<?xml version="1.0" encoding="UTF-8"?>
<tTrellisServer enable="true">
  <SouthPort type="tcp" id="1" host="127.0.0.1" tcp_port="{device_port}" timeout="1000"/>
  <TableList><Table id="1"><Item node_id_req="*" south_port="1"/></Table></TableList>
  <NorthPort type="tcp" id="1" tcp_port="{north_port}" time_interval="0" idle_time="0" cache="false">
    <Table ip="*" id="1"/>
  </NorthPort>
</tTrellisServer>
""")
            gateway = subprocess.Popen([args.bin, "-c", config, "-l", str(args.level),
                                        "--tag-socket", os.path.join(tmp, "tags.sock")],
                                       stdout=subprocess.DEVNULL)
            wait_accepting(north_port, gateway)
            wait_answering(north_port, gateway)
            through = time_reads(north_port, args.reads)
        finally:
            if gateway:
                gateway.terminate()
                gateway.wait(5)
            device.terminate()
            device.wait(5)

    def us(ns):
        return ns / 1000

    print(f"{args.reads} sequential reads of 10 holding registers, one connection each way")
    print(f"{'':10}{'p50 us':>10}{'p99 us':>10}{'mean us':>10}")
    for name, t in (("direct", direct), ("trellis", through)):
        print(f"{name:10}{us(percentile(t, 50)):10.1f}{us(percentile(t, 99)):10.1f}{us(statistics.mean(t)):10.1f}")
    print(f"{'added':10}{us(percentile(through, 50) - percentile(direct, 50)):10.1f}"
          f"{us(percentile(through, 99) - percentile(direct, 99)):10.1f}"
          f"{us(statistics.mean(through) - statistics.mean(direct)):10.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
