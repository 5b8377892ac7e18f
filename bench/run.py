#!/usr/bin/python3
"""Trellis benchmark: the gateway between Modbus TCP masters and a Modbus TCP device.

    bench/run.py [--bin build/trellis] [--quick] [--only SECTION] [--rounds 3] [--level 3]

Starts its own device on 127.0.0.1 (a separate process answering register
reads from a select loop, so its own latency is low and steady) and, for
every section, a fresh gateway with one south TCP port to that device and one
north TCP port (time_interval 0, idle_time 0). Each figure is measured
straight to the device and through the gateway in the same run, and printed
with the ratio between the two and the target it is held to:

  sequential  one master, sequential reads: p50/p99 and the p50 the gateway adds
  cpu         gateway CPU per request over sequential reads (utime+stime)
  sixteen     sixteen masters reading at once through one south port: p50/p99, reads/s
  cached      cached-read p50 with 1 and with 200 entries in the port's cache
  idle        idle CPU, resident memory and threads with 0 and 16 idle clients

Run by hand on a quiet machine; not part of the test suite. The load average
at the start is printed because other work on the machine moves every figure.
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
CLK_TCK = os.sysconf("SC_CLK_TCK")
UNIT = 1
COUNT = 10           # registers per read
MASTERS = 16
CACHE_ENTRIES = 200
MASTER_TIMEOUT = 3.0  # s; longer than the gateway's south time-out, so a lost request shows as one


# --- the device ---------------------------------------------------------------------------

def serve(port):
    """Answers reads of function codes 3 and 4 (register a holds 100 + a); anything else gets
    exception 1. A line on stdin makes it print "requests R conns C" (served so far, open now)."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(64)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ)
    sel.register(sys.stdin, selectors.EVENT_READ)
    pending = {}
    requests = 0
    print("ready", flush=True)
    while True:
        for key, _ in sel.select():
            if key.fileobj is sys.stdin:
                line = sys.stdin.readline()
                if not line:
                    return
                print(f"requests {requests} conns {len(pending)}", flush=True)
                continue
            if key.fileobj is listener:
                conn, _ = listener.accept()
                conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                sel.register(conn, selectors.EVENT_READ)
                pending[conn] = b""
                continue
            conn = key.fileobj
            try:
                data = conn.recv(4096)
            except OSError:
                data = b""
            if not data:
                sel.unregister(conn)
                conn.close()
                del pending[conn]
                continue
            buf = pending[conn] + data
            out = b""
            while len(buf) >= 6 and len(buf) >= 6 + struct.unpack(">H", buf[4:6])[0]:
                length = struct.unpack(">H", buf[4:6])[0]
                tid, unit, fc = struct.unpack(">HxxxxBB", buf[:8])
                requests += 1
                if fc in (3, 4) and length == 6:
                    start, count = struct.unpack(">HH", buf[8:12])
                    values = [(100 + start + i) & 0xFFFF for i in range(count)]
                    pdu = struct.pack(f">BBB{count}H", unit, fc, 2 * count, *values)
                else:
                    pdu = struct.pack(">BBB", unit, fc | 0x80, 1)
                out += struct.pack(">HHH", tid, 0, len(pdu)) + pdu
                buf = buf[6 + length:]
            pending[conn] = buf
            if out:
                try:
                    conn.sendall(out)
                except OSError:
                    pass


class Device:
    def __init__(self):
        self.port = free_port()
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", str(self.port)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.proc.stdout.readline().strip() != "ready":
            raise SystemExit("the device did not start")

    def stats(self):
        """(requests served so far, open connections)"""
        self.proc.stdin.write("stats\n")
        self.proc.stdin.flush()
        words = self.proc.stdout.readline().split()
        return int(words[1]), int(words[3])

    def requests(self):
        return self.stats()[0]

    def wait_conns(self, n, seconds=10):
        wait_until(lambda: self.stats()[1] == n, seconds, f"the device to hold {n} connections")

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


# --- the gateway --------------------------------------------------------------------------

class Gateway:
    """One trellis process: south TCP port 1 to the device, north TCP port on `self.port`."""

    def __init__(self, args, device, tmp, cache=False):
        self.port = free_port()
        self.device = device
        device.wait_conns(0)  # the previous section's connections are gone
        self.config = os.path.join(tmp, "bench.acr")
        # cache_polling_cycle is long so that no refresh pass runs while cached reads are timed:
        # the cached figure is the lookup's, and a hit can be checked by the device seeing nothing.
        with open(self.config, "w") as f:
            f.write(f"""<?xml version="1.0" encoding="UTF-8"?>
<tTrellisServer enable="true">
  <SouthPort type="tcp" id="1" host="127.0.0.1" tcp_port="{device.port}" timeout="1000" cache_polling_cycle="600000"/>
  <TableList><Table id="1"><Item node_id_req="*" south_port="1"/></Table></TableList>
  <NorthPort type="tcp" id="1" tcp_port="{self.port}" time_interval="0" idle_time="0" max_conn="32"
             cache="{'true' if cache else 'false'}">
    <Table ip="*" id="1"/>
  </NorthPort>
</tTrellisServer>
""")
        self.log = open(os.path.join(tmp, "trellis.log"), "w+")
        self.proc = subprocess.Popen([args.bin, "-c", self.config, "-l", str(args.level),
                                      "--tag-socket", os.path.join(tmp, "tags.sock")],
                                     stdout=subprocess.DEVNULL, stderr=self.log)
        self.pid = self.proc.pid
        # Ready without a probing client (whose threads would still be winding down in the idle figures):
        # the listener is bound and the south port holds its connection.
        wait_until(lambda: self.alive() and listening(self.port), 10, f"the gateway to listen on {self.port}")
        wait_until(lambda: self.alive() and device.stats()[1] == 1, 10, "the gateway to connect to the device")

    def alive(self):
        if self.proc.poll() is not None:
            self.log.seek(0)
            tail = "".join(self.log.readlines()[-20:])
            raise SystemExit(f"the gateway exited with {self.proc.returncode}\n{tail}")
        return True

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                print("the gateway did not stop within 5 s of SIGTERM; killed", file=sys.stderr)
                self.proc.kill()
                self.proc.wait()
        self.log.close()


# --- helpers ------------------------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """True when a socket listens on `port` (any address), from /proc/net/tcp{,6}."""
    for name in ("/proc/net/tcp6", "/proc/net/tcp"):
        with open(name) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                    return True
    return False


def wait_until(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise SystemExit(f"timed out after {seconds} s waiting for {what}")
        time.sleep(0.02)


def cpu_ticks(pid):
    """utime + stime of the whole process, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def status(pid):
    """(VmRSS in KiB, thread count)"""
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            values[key] = rest.split()
    return int(values["VmRSS"][0]), int(values["Threads"][0])


def settle_threads(pid, stable=1.0, seconds=15):
    """Waits until the thread count has not changed for `stable` seconds; returns it."""
    deadline = time.monotonic() + seconds
    last, since = status(pid)[1], time.monotonic()
    while time.monotonic() - since < stable:
        if time.monotonic() > deadline:
            raise SystemExit(f"the thread count of {pid} does not settle")
        time.sleep(0.05)
        now = status(pid)[1]
        if now != last:
            last, since = now, time.monotonic()
    return last


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def request(tid, start, fc=3):
    return struct.pack(">HHHBBHH", tid & 0xFFFF, 0, 6, UNIT, fc, start, COUNT)


def expected_answer(start):
    return struct.pack(f">BBB{COUNT}H", UNIT, 3, 2 * COUNT, *((100 + start + i) & 0xFFFF for i in range(COUNT)))


def connect(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=MASTER_TIMEOUT)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


# --- masters ------------------------------------------------------------------------------

def read(sock, tid, start):
    """One read of COUNT holding registers from `start`, checked (tid, unit, values); returns its ns."""
    expected = expected_answer(start)
    sent = time.perf_counter_ns()
    sock.sendall(request(tid, start))
    answer = b""
    try:
        while len(answer) < 6 + len(expected):
            chunk = sock.recv(512)
            if not chunk:
                raise SystemExit("the other end closed a master's connection")
            answer += chunk
    except socket.timeout:
        raise SystemExit(f"a read of registers {start}.. got no answer in {MASTER_TIMEOUT} s") from None
    elapsed = time.perf_counter_ns() - sent
    if answer[6:] != expected or struct.unpack(">H", answer[:2])[0] != tid & 0xFFFF:
        raise SystemExit(f"wrong answer {answer.hex()} to a read of registers {start}..")
    return elapsed


def time_reads(port, reads, warmup=100, start=0, budget=None):
    """Latencies (ns) of sequential reads of COUNT registers from `start` over one connection.
    With `budget` (s), stops early once the timed reads have taken that long."""
    times = []
    with connect(port) as sock:
        for i in range(warmup):
            read(sock, i, start)
        began = time.monotonic()
        for i in range(warmup, warmup + reads):
            times.append(read(sock, i, start))
            if budget is not None and time.monotonic() - began > budget:
                break
    return times


class Master:
    """One of the concurrent masters: its own register range, one request outstanding."""

    def __init__(self, port, index):
        self.sock = connect(port)
        self.sock.setblocking(False)
        self.start = index * COUNT
        self.expected = expected_answer(self.start)
        self.tid = index << 12
        self.buf = b""
        self.sent = 0
        self.done = 0        # answered within the timed window
        self.timeouts = 0
        self.wrong = 0       # answers with another request's tid or values
        self.abandoned = set()  # tids of requests given up after MASTER_TIMEOUT

    def send(self):
        self.tid = (self.tid + 1) & 0xFFFF
        self.sock.send(request(self.tid, self.start))
        self.sent = time.perf_counter_ns()


def concurrent_reads(port, seconds, warmup):
    """MASTERS connections, each reading its own range back to back for `warmup` + `seconds`.
    Returns (latencies in ns of the timed window, reads/s, masters). A request unanswered after
    MASTER_TIMEOUT counts with that latency and is replaced by the next one."""
    masters = [Master(port, k) for k in range(MASTERS)]
    sel = selectors.DefaultSelector()
    for m in masters:
        sel.register(m.sock, selectors.EVENT_READ, m)
    times = []
    t0 = time.perf_counter_ns()
    window_start = t0 + int(warmup * 1e9)
    window_end = window_start + int(seconds * 1e9)
    for m in masters:
        m.send()
    while time.perf_counter_ns() < window_end:
        for key, _ in sel.select(0.05):
            m = key.data
            try:
                chunk = m.sock.recv(4096)
            except ConnectionError:
                chunk = b""
            if not chunk:
                raise SystemExit(f"port {port} closed a master's connection")
            m.buf += chunk
            while len(m.buf) >= 6 and len(m.buf) >= 6 + struct.unpack(">H", m.buf[4:6])[0]:
                length = struct.unpack(">H", m.buf[4:6])[0]
                answer, m.buf = m.buf[:6 + length], m.buf[6 + length:]
                tid = struct.unpack(">H", answer[:2])[0]
                if tid != m.tid:
                    if tid in m.abandoned:  # the late answer to a request already given up
                        m.abandoned.discard(tid)
                    else:
                        m.wrong += 1
                    continue
                done = time.perf_counter_ns()
                if answer[6:] != m.expected:
                    m.wrong += 1
                if m.sent >= window_start and done <= window_end:
                    times.append(done - m.sent)
                    m.done += 1
                m.send()
        now = time.perf_counter_ns()
        for m in masters:
            if now - m.sent > MASTER_TIMEOUT * 1e9:
                if m.sent >= window_start:
                    times.append(now - m.sent)
                    m.timeouts += 1
                m.abandoned.add(m.tid)
                m.send()
    for m in masters:
        m.sock.close()
    return times, sum(m.done for m in masters) / seconds, masters


def hold_idle(port, n):
    """n connections that have each made one read (as a polling master has) and then stay silent."""
    sockets = [connect(port) for _ in range(n)]
    for k, sock in enumerate(sockets):
        read(sock, k, k * COUNT)
    return sockets


def still_open(sockets):
    """How many of `sockets` the other end has not closed (nothing is ever sent on them)."""
    alive = 0
    for s in sockets:
        s.setblocking(False)
        try:
            alive += s.recv(1, socket.MSG_PEEK) != b""
        except BlockingIOError:
            alive += 1
        except OSError:
            pass
    return alive


# --- report -------------------------------------------------------------------------------

class Report:
    def __init__(self):
        self.rows = []      # (name, direct, gateway, unit, ratio, target, verdict); unit None for text
        self.verdicts = []  # (section: figure, met)
        self.title = ""

    def section(self, name, title):
        self.title = name
        self.rows.append(("", None, None, None, None, "", ""))
        self.rows.append((f"{name}: {title}", None, None, None, None, "", ""))
        print(f"... {name}", file=sys.stderr, flush=True)

    def row(self, figure, direct, gateway, unit, target="", ok=None):
        ratio = gateway / direct if direct and gateway is not None else None
        verdict = "" if ok is None else ("PASS" if ok else "FAIL")
        if ok is not None:
            self.verdicts.append((f"{self.title}: {figure}", ok))
        self.rows.append(("  " + figure, direct, gateway, unit, ratio, target, verdict))

    def note(self, text):
        self.rows.append(("  " + text, None, None, None, None, "", ""))

    def print(self):
        def num(value, unit):
            if value is None:
                return "-"
            if unit == "ms":
                return f"{value / 1e6:.3f}"
            if unit in ("us", "%"):
                return f"{value:.2f}"
            if unit == "MiB":
                return f"{value / 1024:.2f}"
            return f"{value:,.0f}"

        print(f"{'':42}{'unit':>8}{'direct':>10}{'gateway':>10}{'ratio':>10}   target")
        for name, direct, gateway, unit, ratio, target, verdict in self.rows:
            if unit is None:
                print(name)
                continue
            r = "-" if ratio is None else f"{ratio:.2f}x" if ratio < 100 else f"{ratio:,.0f}x"
            print(f"{name:42}{unit:>8}{num(direct, unit):>10}{num(gateway, unit):>10}{r:>10}   "
                  f"{target:20}{verdict}".rstrip())
        met = sum(ok for _, ok in self.verdicts)
        print()
        print(f"targets met: {met} of {len(self.verdicts)}")
        for figure, ok in self.verdicts:
            if not ok:
                print(f"  FAIL {figure}")


# --- sections -----------------------------------------------------------------------------

def median(values):
    return statistics.median(values)


def spread(values, unit):
    scale = {"ms": 1e6}.get(unit, 1)
    return ", ".join(f"{v / scale:.3f}" if unit == "ms" else f"{v:,.0f}" for v in values)


def sequential(args, device, tmp, report):
    n = 1000 if args.quick else 5000
    report.section("sequential", f"one master, {n:,} reads of {COUNT} holding registers, "
                                 f"median of {args.rounds} round(s)")
    rounds = []
    gw = Gateway(args, device, tmp)
    try:
        for _ in range(args.rounds):
            direct, through = time_reads(device.port, n), time_reads(gw.port, n)
            rounds.append((percentile(direct, 50), percentile(direct, 99),
                           percentile(through, 50), percentile(through, 99)))
    finally:
        gw.close()
    d50, d99, g50, g99 = (median(column) for column in zip(*rounds))
    added = [r[2] - r[0] for r in rounds]
    report.row("p50", d50, g50, "ms")
    report.row("p99", d99, g99, "ms")
    report.row("gateway-added p50", None, median(added), "ms", "< 0.1 ms", median(added) < 0.1e6)
    if len(rounds) > 1:
        report.note(f"gateway-added p50 per round, ms: {spread(added, 'ms')}")


def cpu(args, device, tmp, report):
    n = 2000 if args.quick else 10000
    report.section("cpu", f"{n:,} sequential reads, cache off (utime+stime, {1000 // CLK_TCK} ms ticks), "
                          f"median of {args.rounds} round(s)")

    def per_request(port, pid):
        time_reads(port, 100, warmup=0)
        before = cpu_ticks(pid)
        time_reads(port, n, warmup=0)
        return (cpu_ticks(pid) - before) * 1e6 / CLK_TCK / n

    rounds = []
    gw = Gateway(args, device, tmp)
    try:
        for _ in range(args.rounds):
            rounds.append((per_request(device.port, device.proc.pid), per_request(gw.port, gw.pid)))
    finally:
        gw.close()
    device_us, gateway_us = (median(column) for column in zip(*rounds))
    report.row("CPU per request (direct: the device's)", device_us, gateway_us, "us", "< 30 us", gateway_us < 30)
    report.note(f"resolution: one tick over {n:,} reads = {1e6 / CLK_TCK / n:.2f} us per request"
                + (f"; gateway us per round: {spread([r[1] for r in rounds], 'us')}" if len(rounds) > 1 else ""))


def sixteen(args, device, tmp, report):
    seconds, warmup = (2.0, 0.5) if args.quick else (5.0, 1.0)
    report.section("sixteen", f"{MASTERS} masters reading at once for {seconds:g} s (after {warmup:g} s warm-up), "
                              f"median of {args.rounds} round(s)")
    rounds, masters = [], []
    gw = Gateway(args, device, tmp)
    try:
        for _ in range(args.rounds):
            direct, direct_rate, _ = concurrent_reads(device.port, seconds, warmup)
            through, rate, ms = concurrent_reads(gw.port, seconds, warmup)
            gw.alive()
            masters += ms
            rounds.append((percentile(direct, 50), percentile(direct, 99), direct_rate,
                           percentile(through, 50), percentile(through, 99), rate))
    finally:
        gw.close()
    d50, d99, d_rate, g50, g99, g_rate = (median(column) for column in zip(*rounds))
    wrong = sum(m.wrong for m in masters)
    timeouts = sum(m.timeouts for m in masters)
    report.row("p50", d50, g50, "ms")
    report.row("p99", d99, g99, "ms", "<= 2x direct", g99 <= 2 * d99 and not wrong)
    report.row("reads/s", d_rate, g_rate, "reads/s", ">= 0.6x direct", g_rate >= 0.6 * d_rate and not wrong)
    per_master = sorted(m.done for m in masters)
    report.note(f"reads per master and round through the gateway: min {per_master[0]:,}, max {per_master[-1]:,}; "
                f"timed out: {timeouts}; wrong answers: {wrong}")
    if len(rounds) > 1:
        report.note(f"per round, p99 ms direct/gateway: "
                    + "; ".join(f"{r[1] / 1e6:.3f}/{r[4] / 1e6:.3f}" for r in rounds)
                    + ", reads/s direct/gateway: " + "; ".join(f"{r[2]:,.0f}/{r[5]:,.0f}" for r in rounds))


def cached(args, device, tmp, report):
    n, budget = (300, 3.0) if args.quick else (2000, 10.0)
    report.section("cached", f"cache=\"true\", up to {n:,} reads of one range (at most {budget:g} s each)")
    direct = percentile(time_reads(device.port, n), 50)
    gw = Gateway(args, device, tmp, cache=True)
    try:
        time_reads(gw.port, 1, warmup=0)  # the one entry
        before = device.requests()
        one = time_reads(gw.port, n, budget=budget)
        hits_one = device.requests() == before
        # Fill the cache to CACHE_ENTRIES distinct ranges, then time the one stored last.
        before = device.requests()
        last = (CACHE_ENTRIES - 1) * COUNT
        with connect(gw.port) as sock:
            for k in range(1, CACHE_ENTRIES):
                read(sock, k, k * COUNT)
        stored = device.requests() - before + 1
        before = device.requests()
        many = time_reads(gw.port, n, warmup=10, start=last, budget=budget)
        hits_many = device.requests() == before
        gw.alive()
    finally:
        gw.close()
    p_one, p_many = percentile(one, 50), percentile(many, 50)
    report.row("p50, 1 entry (direct: device read p50)", direct, p_one, "ms", "< 0.3 ms",
               p_one < 0.3e6 and hits_one)
    report.row(f"p50, {stored} entries", direct, p_many, "ms", "< 0.3 ms", p_many < 0.3e6 and hits_many)
    report.note(f"timed reads: {len(one):,} with 1 entry, {len(many):,} with {stored}; "
                f"all answered from the cache: {'yes' if hits_one and hits_many else 'NO'}")


def idle(args, device, tmp, report):
    window = 3.0 if args.quick else 10.0
    report.section("idle", f"CPU over {window:g} s, resident memory, threads (direct: the device itself)")
    gw = Gateway(args, device, tmp)
    clients = direct_clients = []
    try:
        figures = {}
        for n in (0, MASTERS):
            if n:
                clients = hold_idle(gw.port, n)
                direct_clients = hold_idle(device.port, n)
                device.wait_conns(1 + n)
            threads = settle_threads(gw.pid)
            time.sleep(1.0)  # let what the connections started run its course before the window opens
            g0, d0, t0 = cpu_ticks(gw.pid), cpu_ticks(device.proc.pid), time.monotonic()
            time.sleep(window)
            g1, d1, t1 = cpu_ticks(gw.pid), cpu_ticks(device.proc.pid), time.monotonic()
            gw.alive()
            figures[n] = ((g1 - g0) / CLK_TCK / (t1 - t0) * 100, (d1 - d0) / CLK_TCK / (t1 - t0) * 100,
                          status(gw.pid)[0], status(device.proc.pid)[0], status(gw.pid)[1], threads)
        open_clients = still_open(clients)
    finally:
        for s in clients + direct_clients:
            s.close()
        gw.close()
    for n, (g_cpu, d_cpu, g_rss, d_rss, g_threads, settled) in figures.items():
        cpu_ok = rss_ok = None
        if n:
            cpu_ok = g_cpu < 0.5 and open_clients == n
            rss_ok = g_rss < 8 * 1024 and open_clients == n
        report.row(f"CPU, {n} idle clients", d_cpu, g_cpu, "%", "< 0.5 % of a core" if n else "", cpu_ok)
        report.row(f"RSS, {n} idle clients", d_rss, g_rss, "MiB", "< 8 MiB" if n else "", rss_ok)
        report.row(f"threads, {n} idle clients", None, g_threads, "threads")
    report.note(f"resolution: one tick over {window:g} s = {100 / CLK_TCK / window:.2f} % of a core; "
                f"idle clients still connected at the end: {open_clients} of {MASTERS}")


# --- serial RTU path -----------------------------------------------------------------------

def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return struct.pack("<H", crc)


class RtuLine:
    """A pty pair (socat): the gateway's (or the direct master's) end <tmp>/ttyAP0, and
    tests/peers/rtu_device.py (pymodbus, unit 1) on the other end."""

    def __init__(self, tmp):
        self.end, dev = os.path.join(tmp, "ttyAP0"), os.path.join(tmp, "dev0")
        self.socat = subprocess.Popen(["socat", f"pty,raw,echo=0,link={self.end}", f"pty,raw,echo=0,link={dev}"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: os.path.exists(self.end) and os.path.exists(dev), 10, "the pty pair")
        self.device = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "..", "tests", "peers", "rtu_device.py"),
                                        "--port", dev, "--unit", "1"], stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, text=True)
        wait_until(lambda: self.device.stdout.readline().strip() == "ready", 20, "the RTU device")
        # The device prints a line per access: drain them so that it never blocks on a full pipe.
        self.drain = subprocess.Popen(["cat"], stdin=self.device.stdout, stdout=subprocess.DEVNULL)

    def direct_reads(self, n):
        """n reads of COUNT holding registers straight over the line: latencies in ns."""
        import termios
        import tty
        fd = os.open(self.end, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        termios.tcflush(fd, termios.TCIOFLUSH)
        req = struct.pack(">BBHH", 1, 3, 0, COUNT)
        req += crc16(req)
        want = 5 + 2 * COUNT
        times = []
        try:
            for i in range(n + 20):
                start = time.perf_counter_ns()
                os.write(fd, req)
                data = b""
                while len(data) < want:
                    data += os.read(fd, want - len(data))
                if i >= 20:
                    times.append(time.perf_counter_ns() - start)
                if data[-2:] != crc16(data[:-2]):
                    raise SystemExit("bad CRC from the RTU device")
        finally:
            os.close(fd)
        return times

    def close(self):
        for p in (self.device, self.socat):
            p.terminate()
            p.wait()
        self.drain.wait()


class RtuGateway(Gateway):
    """trellis with a south RTU port on the line (frame_end as given) and a north TCP port."""

    def __init__(self, args, tmp, frame_end):
        self.port = free_port()
        self.config = os.path.join(tmp, "bench-rtu.acr")
        attr = f' frame_end="{frame_end}"' if frame_end else ""
        with open(self.config, "w") as f:
            f.write(f"""<?xml version="1.0" encoding="UTF-8"?>
<tTrellisServer enable="true">
  <SouthPort type="rtu" id="1" port="1" baudrate="115200" timeout="1000"{attr}/>
  <TableList><Table id="1"><Item node_id_req="*" south_port="1"/></Table></TableList>
  <NorthPort type="tcp" id="1" tcp_port="{self.port}" time_interval="0" idle_time="0" cache="false">
    <Table ip="*" id="1"/>
  </NorthPort>
</tTrellisServer>
""")
        self.log = open(os.path.join(tmp, "trellis-rtu.log"), "w+")
        self.proc = subprocess.Popen([args.bin, "-c", self.config, "-l", str(args.level), "--serial-prefix",
                                      os.path.join(tmp, "ttyAP"), "--tag-socket", os.path.join(tmp, "tags.sock")],
                                     stdout=subprocess.DEVNULL, stderr=self.log)
        self.pid = self.proc.pid
        wait_until(lambda: self.alive() and listening(self.port), 10, f"the gateway to listen on {self.port}")


def rtu(args, device, tmp, report):
    n = 100 if args.quick else 300
    report.section("rtu", f"Modbus TCP master -> serial RTU device on a pty, {n} reads of {COUNT} registers")
    line = RtuLine(tmp)
    try:
        direct = percentile(line.direct_reads(n), 50)
        report.row("p50, direct on the line", direct, None, "ms")
        for frame_end in ("length", None):
            gw = RtuGateway(args, tmp, frame_end)
            try:
                time.sleep(0.5)  # the start thread opens the line (its links exist already)
                through = percentile(time_reads(gw.port, n, warmup=20), 50)
            finally:
                gw.close()
            if frame_end:
                report.row('p50, frame_end="length"', direct, through, "ms", "<= 1.3x direct", through <= 1.3 * direct)
            else:
                report.row("p50, frames ended by silence", direct, through, "ms")
    finally:
        line.close()


SECTIONS = {"sequential": sequential, "cpu": cpu, "sixteen": sixteen, "cached": cached, "idle": idle, "rtu": rtu}


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--serve":
        serve(int(sys.argv[2]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.environ.get("TRELLIS_BIN", os.path.join(HERE, "..", "build", "trellis")))
    parser.add_argument("--quick", action="store_true", help="shorter runs and windows (less repeatable)")
    parser.add_argument("--only", choices=SECTIONS, action="append", help="run this section (repeatable)")
    parser.add_argument("--rounds", type=int, default=3,
                        help="direct/gateway rounds of sequential, cpu and sixteen; medians are printed")
    parser.add_argument("--level", type=int, default=3, help="gateway log level (-l)")
    args = parser.parse_args()
    if args.quick:
        args.rounds = 1
    if not os.access(args.bin, os.X_OK):
        raise SystemExit(f"no gateway binary at {args.bin} (build it, or give --bin)")

    with open("/proc/loadavg") as f:
        load = f.read().split()[:3]
    print(f"trellis benchmark: {os.path.realpath(args.bin)}, {os.cpu_count()} cores, "
          f"load average {' '.join(load)}{', quick' if args.quick else ''}")
    report = Report()
    device = Device()
    try:
        with tempfile.TemporaryDirectory() as tmp:
            for name in args.only or SECTIONS:
                SECTIONS[name](args, device, tmp, report)
    finally:
        device.close()
    report.print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
