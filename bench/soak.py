#!/usr/bin/python3
"""Soak: the gateway under faults for N minutes, watched for leaks and wrong answers.

    bench/soak.py [--minutes N] [--binary PATH]

Runs the built gateway (build/trellis by default) with one south RTU line (a
socat pty pair with tests/peers/rtu_device.py serving unit 1) and one south
TCP device (tests/peers/tcp_device.py serving unit 2), and through one north
TCP port:
  - 16 masters reading in a loop, 8 per device, each its own register, so an
    answer that reaches the wrong master or request shows as a wrong value;
  - the TCP device restarted every 30 s;
  - the serial line yanked (socat killed, its links gone) and brought back
    on the same paths every minute;
  - a connect flood (64 connections opened and dropped) and garbage (random
    bytes, oversized MBAP headers, half requests) every 10 s.
Prints the gateway's RSS (split into anonymous and file-backed memory),
open descriptors and threads at the start, every minute and at the end, the
changes from the start and from minute 1 (once every fault has run: the
first run of a path pages its code in), and the masters' counts. Wrong
answers must be 0; exit status 1 otherwise (or when the gateway died).
"""
import argparse
import os
import random
import socket
import struct
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
from gateway import Gateway, Peer, PtyPair, free_port, read_req, registers, server_xml, wait_for  # noqa: E402

MASTERS = 16


class Master:
    """One well-behaved master: reads register `addr` of `unit`, one request
    at a time, transaction ids counting up. An answer is good when its
    transaction id is the request's (or an earlier one of this master's, late)
    and it carries this unit and 100 + addr; anything else is wrong."""

    def __init__(self, port, unit, addr, stop):
        self.port, self.unit, self.addr, self.stop = port, unit, addr, stop
        self.good = self.late = self.silent = self.wrong = self.reconnects = 0
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def answer_ok(self, tid, unit, pdu, sent_tid):
        return (unit == self.unit and tid <= sent_tid and pdu[:1] == b"\x03" and len(pdu) == 4
                and registers(pdu) == [100 + self.addr])

    def run(self):
        tid, sock, buf = 0, None, b""
        while not self.stop.is_set():
            try:
                if sock is None:
                    sock = socket.create_connection(("127.0.0.1", self.port), timeout=2)
                    buf = b""
                tid = tid + 1 if tid < 0xFFFF else 1
                sock.sendall(read_req(tid, self.unit, self.addr, 1))
                deadline = time.monotonic() + 2.0
                while True:
                    while len(buf) < 6 or len(buf) < 6 + struct.unpack(">H", buf[4:6])[0]:
                        left = deadline - time.monotonic()
                        if left <= 0:
                            raise TimeoutError
                        sock.settimeout(left)
                        chunk = sock.recv(4096)
                        if not chunk:
                            raise ConnectionError
                        buf += chunk
                    size = 6 + struct.unpack(">H", buf[4:6])[0]
                    frame, buf = buf[:size], buf[size:]
                    a_tid, _pid, _len, a_unit = struct.unpack(">HHHB", frame[:7])
                    if not self.answer_ok(a_tid, a_unit, frame[7:], tid):
                        self.wrong += 1
                        print(f"WRONG answer for master unit {self.unit} addr {self.addr} tid {tid}: {frame.hex()}",
                              flush=True)
                        break
                    if a_tid == tid:
                        self.good += 1
                        break
                    self.late += 1
            except (TimeoutError, socket.timeout):
                self.silent += 1
            except OSError:
                self.reconnects += 1
                if sock:
                    sock.close()
                sock = None
                self.stop.wait(0.2)
        if sock:
            sock.close()


def proc_figures(pid):
    """(RSS kB, descriptors, threads, anonymous kB, file-backed kB). The split tells a
    leak (anonymous memory: heap, stacks) from code and libraries paged in the first
    time a path runs (file-backed)."""
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon", "RssFile", "Threads"):
                fields[key] = int(value.split()[0])
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    return fields["VmRSS"], fds, fields["Threads"], fields["RssAnon"], fields["RssFile"]


def figures_line(label, figures):
    rss, fds, threads, anon, file_backed = figures
    return f"{label:9} rss {rss} kB (anon {anon}, file {file_backed})  fds {fds}  threads {threads}"


def change(label, now, then):
    return (f"{label}: rss {100.0 * (now[0] - then[0]) / then[0]:+.1f} %  anon {100.0 * (now[3] - then[3]) / then[3]:+.1f} %"
            f"  fds {now[1] - then[1]:+d}  threads {now[2] - then[2]:+d}")


def flood_and_garbage(port, rng):
    """64 connections opened and dropped, then garbage on a few more."""
    socks = []
    for _ in range(64):
        try:
            socks.append(socket.create_connection(("127.0.0.1", port), timeout=1))
        except OSError:
            pass
    for s in socks:
        s.close()
    junk = [bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 600))),
            struct.pack(">HHH", 7, 0, 2000) + b"\x01\x03" * 10,
            read_req(9, 1, 0, 1)[:5],
            struct.pack(">HHHB", 8, 5, 6, 1) + b"\x03\x00\x00\x00\x01"]
    for data in junk:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.sendall(data)
        except OSError:
            pass


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--minutes", type=float, default=10)
    p.add_argument("--binary", default=os.path.join(HERE, "..", "build", "trellis"))
    args = p.parse_args()
    tmp = f"/tmp/trellis-soak-{os.getpid()}"
    os.makedirs(tmp)
    north, dev_port = free_port(), free_port()
    xml = server_xml(
        '<SouthPort type="rtu" id="1" port="1" timeout="500"/>'
        f'<SouthPort type="tcp" id="2" host="127.0.0.1" tcp_port="{dev_port}" timeout="500"/>'
        '<TableList><Table id="1"><Item node_id_req="1" node_id_phy="1" south_port="1"/>'
        '<Item node_id_req="2" node_id_phy="2" south_port="2"/></Table></TableList>'
        f'<NorthPort type="tcp" id="1" tcp_port="{north}" max_conn="96" idle_time="5000" cache="false">'
        '<Table ip="*" id="1"/></NorthPort>')
    rng = random.Random(1)
    pty = PtyPair(tmp, "ttyAP0", "dev0")
    serial_dev = Peer(tmp, "rtu_device.py", "--port", pty.device_end, "--unit", 1)
    tcp_dev = Peer(tmp, "tcp_device.py", "--port", dev_port, "--units", "2")
    # At level 5: traces and hex dumps would cost more than the load.
    gw = Gateway(tmp, xml, serial_prefix=os.path.join(tmp, "ttyAP"), binary=args.binary, level=5)
    stop = threading.Event()
    masters = []
    ok = True
    try:
        gw.wait_log("south port serial has been started.")
        wait_for(lambda: os.path.exists(gw.tag_socket), 10, what="the gateway up")
        masters = [Master(north, 1 + i % 2, i, stop) for i in range(MASTERS)]
        wait_for(lambda: all(m.good > 0 for m in masters), 30, what="every master answered")
        start = time.monotonic()
        base = proc_figures(gw.proc.pid)
        print(figures_line("start", base), flush=True)
        warm = None  # the figures once every fault has run once (after minute 1)
        next_minute, next_restart, next_yank, next_flood = 60, 30, 60, 10
        end = args.minutes * 60
        while (now := time.monotonic() - start) < end and gw.proc.poll() is None:
            if now >= next_restart:
                next_restart += 30
                tcp_dev.close()
                tcp_dev = Peer(tmp, "tcp_device.py", "--port", dev_port, "--units", "2")
            if now >= next_yank:
                next_yank += 60
                serial_dev.close()
                pty.yank()
                time.sleep(2)  # unplugged for a while, as a person would
                pty.restore()
                serial_dev = Peer(tmp, "rtu_device.py", "--port", pty.device_end, "--unit", 1)
            if now >= next_flood:
                next_flood += 10
                flood_and_garbage(north, rng)
            if now >= next_minute:
                next_minute += 60
                figures = proc_figures(gw.proc.pid)
                warm = warm or figures
                print(figures_line(f"minute {int(now // 60):2d}", figures) + f"  good "
                      f"{sum(m.good for m in masters)}  wrong {sum(m.wrong for m in masters)}", flush=True)
            time.sleep(0.2)
        if gw.proc.poll() is not None:
            print(f"the gateway died: exit {gw.proc.returncode}")
            ok = False
        else:
            # Let the last restart and yank settle before the end figures.
            time.sleep(12)
            figures = proc_figures(gw.proc.pid)
            print(figures_line("end", figures), flush=True)
            print(change("change from start", figures, base))
            if warm:
                print(change("change from minute 1 (every fault run once)", figures, warm))
    finally:
        stop.set()
        for m in masters:
            m.thread.join(5)
        code = gw.stop() if gw.proc.poll() is None else gw.proc.returncode
        for c in (serial_dev, tcp_dev, pty):
            c.close()
    totals = {k: sum(getattr(m, k) for m in masters) for k in ("good", "late", "silent", "wrong", "reconnects")}
    print("answers " + "  ".join(f"{k} {v}" for k, v in totals.items()) + f"  gateway exit {code}")
    print(f"level-3 lines {len(gw.levels(3))}, level-4 lines {len(gw.levels(4))}")
    if totals["wrong"] or code != 0:
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
