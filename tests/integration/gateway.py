"""What the process tests share: the binary under test, the peers of
tests/peers as child processes, pty lines, raw Modbus TCP masters."""
import contextlib
import errno
import glob
import os
import random
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BIN = os.environ.get("TRELLIS_BIN", os.path.join(HERE, "../../build/trellis"))
PEERS = os.path.join(HERE, "..", "peers")
sys.path.insert(0, PEERS)
from hostile_device import crc16, with_crc  # noqa: E402,F401  (shared with the tests)

ADMITTED = "add a new client to tcp server"
RETRY_S = 10  # the serial start's retry period
TABLE = '<TableList><Table id="1"><Item node_id_req="*" south_port="1"/></Table></TableList>'


def wait_for(predicate, timeout=10.0, what="condition"):
    """Polls predicate() until it is truthy and returns its value; fails the test after timeout."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what() if callable(what) else what}")
        time.sleep(0.02)
    return value


_ports_given = set()


def free_port():
    """A free port below the kernel's range for outgoing connections (so no
    connection takes it meanwhile), handed out once per run; the two runs
    ctest starts side by side (TRELLIS_PORT_SHARD 0 and 1) draw from
    separate halves."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        first_outgoing = int(f.read().split()[0])
    low = max(1025, first_outgoing - 12000)
    shard = os.environ.get("TRELLIS_PORT_SHARD")
    if shard in ("0", "1"):
        half = (first_outgoing - low) // 2
        low += half * int(shard)
        first_outgoing = low + half
    while True:
        port = random.randrange(low, first_outgoing)
        if port in _ports_given:
            continue
        with socket.socket(socket.AF_INET6) as s, contextlib.suppress(OSError):
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            s.bind(("::", port))
            _ports_given.add(port)
            return port


def server_xml(body):
    return f'<tTrellisServer enable="true">{body}</tTrellisServer>'


def stats_of(lines):
    """The "PORT direction type id k=v ..." lines of a stats answer as
    {"south1": {"requests": 3, ...}, ...}."""
    return {w[1] + w[3]: {k: int(v) for k, v in (f.split("=") for f in w[4:])}
            for w in (line.split() for line in lines) if w[:1] == ["PORT"]}


def read_answer(sock, timeout=5.0):
    """Reads a tag socket's answer up to its final OK/ERR line or EOF; returns the lines."""
    sock.settimeout(timeout)
    data = b""
    with contextlib.suppress(ConnectionResetError):
        while not re.search(rb"(^|\n)(OK|ERR[^\n]*)\n$", data) and (chunk := sock.recv(4096)):
            data += chunk
    return data.decode(errors="replace").splitlines()


def stop_process(proc, sig=signal.SIGTERM, timeout=5.0):
    """Stops proc; True when it ended by itself within timeout after sig."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            return False
    return True


class Closing:
    """`with` support for the classes below: their close() on the way out."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# What AddressSanitizer, UndefinedBehaviorSanitizer and ThreadSanitizer print.
SANITIZER_REPORT = re.compile(r"ERROR: AddressSanitizer|ERROR: LeakSanitizer|WARNING: ThreadSanitizer|runtime error:")


class Gateway(Closing):
    """The binary at log level 7 with its own tag socket, on config_xml (None:
    it looks for its file itself); stderr and stdout lines are collected."""

    def __init__(self, tmp_path, config_xml=None, env=None, serial_prefix=None, binary=None, level=7):
        self.tag_socket = os.path.join(str(tmp_path), "tags.sock")
        cmd = [binary or BIN, "-l", str(level), "--tag-socket", self.tag_socket]
        cmd += ["--serial-prefix", serial_prefix] if serial_prefix else []
        if config_xml is not None:
            with open(os.path.join(str(tmp_path), "trellis.acr"), "w") as f:
                f.write(config_xml)
            cmd += ["-c", f.name]
        self.lines, self.stdout_lines = [], []
        self._lock = threading.Lock()  # guards lines and stdout_lines
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env={**os.environ, **(env or {})}, text=True, errors="replace")
        self._threads = [threading.Thread(target=self._pump, args=(self.proc.stderr, self.lines), daemon=True),
                         threading.Thread(target=self._pump, args=(self.proc.stdout, self.stdout_lines), daemon=True)]
        for t in self._threads:
            t.start()

    def _pump(self, stream, sink):
        for line in stream:
            with self._lock:
                sink.append(line.rstrip("\n"))

    def log(self):
        with self._lock:
            return "\n".join(self.lines)

    def count(self, text):
        with self._lock:
            return sum(1 for line in self.lines if text in line)

    def wait_log(self, text, timeout=10.0, count=1):
        wait_for(lambda: self.count(text) >= count, timeout,
                 what=lambda: f"log line {text!r}\n--- log tail ---\n" + self.log()[-4000:])

    def levels(self, level, since=0):
        """Log lines of exactly `level` among lines[since:]."""
        with self._lock:
            return [line for line in self.lines[since:] if len(line.split()) > 2 and line.split()[2] == str(level)]

    def wait_listening(self, ports=1):
        """Every north TCP port logs this once its listener is bound."""
        self.wait_log("tcp ipv6 bind finish !", count=ports)

    def tag_command(self, line, timeout=5.0):
        """Sends one command to the tag socket and returns the answer lines up to OK/ERR."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(self.tag_socket)
            s.sendall((line + "\n").encode())
            return read_answer(s, timeout)

    def tag(self, name):
        """The value a tag reads ("0", "1")."""
        return self.tag_command(f"read {name}")[0].split()[1]

    def stats(self):
        return stats_of(self.tag_command("stats"))

    def thread_names(self):
        names = []
        for comm in glob.glob(f"/proc/{self.proc.pid}/task/*/comm"):
            with contextlib.suppress(OSError), open(comm) as f:  # a thread may end meanwhile
                names.append(f.read().strip())
        return names

    def stop(self, sig=signal.SIGTERM, timeout=5.0):
        """Stops the process; returns its exit code."""
        if not stop_process(self.proc, sig, timeout):
            raise AssertionError("gateway did not stop within %.1fs\n%s" % (timeout, self.log()[-3000:]))
        for t in self._threads:
            t.join(2)
        return self.proc.returncode

    def close(self):
        stop_process(self.proc, signal.SIGKILL)

    def __exit__(self, exc_type, *exc):
        """On a clean way out the gateway must stop by itself and cleanly:
        a sanitizer build reports leaks and races only then."""
        if exc_type is None and self.proc.poll() is None:
            code = self.stop()
            if code != 0:
                raise AssertionError(f"gateway exited with {code}\n{self.log()[-4000:]}")
        self.close()
        if exc_type is None:
            reports = [line for line in self.lines if SANITIZER_REPORT.search(line)]
            assert not reports, "\n".join(reports[:5]) + "\n" + self.log()[-4000:]


class PtyPair(Closing):
    """A socat pty pair (link paths `gateway_end`, `device_end`). yank() kills
    socat and removes the links, as an unplugged adapter; restore() brings
    a new pair up on the same paths."""

    def __init__(self, directory, gateway_link, device_link):
        self.gateway_end = os.path.join(str(directory), gateway_link)
        self.device_end = os.path.join(str(directory), device_link)
        self.proc = None
        self.restore()

    def restore(self):
        self.proc = subprocess.Popen(
            ["socat", "-d", "-d", f"pty,raw,echo=0,link={self.gateway_end}",
             f"pty,raw,echo=0,link={self.device_end}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(self.gateway_end) and os.path.exists(self.device_end), 5,
                 what="socat pty links")

    def yank(self):
        stop_process(self.proc, signal.SIGKILL, timeout=3)
        # A killed socat leaves its links behind: an unplugged adapter's node goes.
        for path in (self.gateway_end, self.device_end):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)

    def close(self):
        stop_process(self.proc, timeout=3)


class Peer(Closing):
    """A peer of tests/peers as a child process. It writes its event lines
    to a file before it answers, so they are there once a master has one."""

    def __init__(self, directory, script, *args):
        self.log_path = os.path.join(str(directory), f"{script}.{time.monotonic_ns()}.log")
        open(self.log_path, "w").close()
        self.proc = subprocess.Popen(["/usr/bin/python3", os.path.join(PEERS, script), "--log", self.log_path,
                                      *map(str, args)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: "ready" in self.lines() or self.proc.poll() is not None, 15, what=f"{script} ready")
        assert self.proc.poll() is None, f"{script} {args} did not start"

    def lines(self):
        with open(self.log_path) as f:
            return f.read().splitlines()

    def count(self, text):
        """Event lines that are `text` or start with it and a space."""
        return sum(1 for line in self.lines() if line == text or line.startswith(text + " "))

    def close(self):
        with contextlib.suppress(ProcessLookupError):
            self.proc.send_signal(signal.SIGCONT)  # a stopped device must see the SIGTERM
        stop_process(self.proc)


class RawLine(Closing):
    """The far end of a pty pair, read and written as raw bytes."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        attrs = termios.tcgetattr(self.fd)
        attrs[0] = attrs[1] = attrs[3] = 0  # raw: no input, output or line processing
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)
        self.buf = b""

    def write(self, data):
        os.write(self.fd, data)

    def _fill(self, wait):
        if select.select([self.fd], [], [], max(0.0, wait))[0]:
            with contextlib.suppress(BlockingIOError):
                chunk = os.read(self.fd, 65536)
                if not chunk:  # a pty whose other end is gone reads as end of file
                    raise OSError(errno.EIO, "line hung up")
                self.buf += chunk
            return True
        return False

    def read(self, n, timeout=3.0):
        """Exactly n bytes, or what came within timeout."""
        deadline = time.monotonic() + timeout
        while len(self.buf) < n and self._fill(deadline - time.monotonic()):
            pass
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def quiet(self, seconds):
        """True when nothing arrives within `seconds` (and nothing was left unread)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self._fill(deadline - time.monotonic())
        return self.buf == b""

    def close(self):
        os.close(self.fd)


@contextlib.contextmanager
def lines(tmp_path, count):
    """Pty pairs ttyAP0.. (gateway) / devN (far end) with RawLine far ends."""
    with contextlib.ExitStack() as stack:
        pairs = [stack.enter_context(PtyPair(tmp_path, f"ttyAP{i}", f"dev{i}")) for i in range(count)]
        yield pairs, [stack.enter_context(RawLine(p.device_end)) for p in pairs]


@contextlib.contextmanager
def rtu_line(directory, unit):
    """The gateway's serial line 1 (prefix <directory>/ttyAP) with
    rtu_device.py serving `unit` on its other end; yields (pty, device)."""
    with PtyPair(directory, "ttyAP0", "dev0") as pty, Peer(directory, "rtu_device.py", "--port", pty.device_end,
                                                            "--unit", unit) as device:
        yield pty, device


# --- a raw Modbus TCP master ---------------------------------------------------------

def mbap(tid, unit, pdu):
    return struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu


def read_req(tid, unit, addr, count, fc=3):
    return mbap(tid, unit, struct.pack(">BHH", fc, addr, count))


def registers(pdu):
    """Register values of a read answer PDU (fc, byte count, data)."""
    return list(struct.unpack(f">{pdu[1] // 2}H", pdu[2:2 + pdu[1]]))


class Raw(Closing):
    """A Modbus TCP master on a plain socket: sees transaction ids and the connection."""

    def __init__(self, port, source="127.0.0.1"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=3, source_address=(source, 0))
        self.buf = b""

    def send(self, data):
        self.sock.sendall(data)

    def _fill(self, deadline):
        """Adds what arrives before deadline to buf; False when nothing did, EOFError when the peer closed."""
        if not select.select([self.sock], [], [], max(0.0, deadline - time.monotonic()))[0]:
            return False
        try:
            chunk = self.sock.recv(4096)
        except OSError:
            chunk = b""
        if not chunk:
            raise EOFError
        self.buf += chunk
        return True

    def response(self, timeout=3.0):
        """The next MBAP answer (tid, unit, pdu), or None when none came in time."""
        deadline = time.monotonic() + timeout
        try:
            while len(self.buf) < 6 or len(self.buf) < 6 + struct.unpack(">H", self.buf[4:6])[0]:
                if not self._fill(deadline):
                    return None
        except EOFError:
            return None
        size = 6 + struct.unpack(">H", self.buf[4:6])[0]
        frame, self.buf = self.buf[:size], self.buf[size:]
        tid, _pid, _len, unit = struct.unpack(">HHHB", frame[:7])
        return tid, unit, frame[7:]

    def read(self, tid, unit, addr, count, fc=3, timeout=3.0):
        """Sends a read and returns its answer (tid, unit, pdu); answers to
        earlier requests that come first are skipped. None without one."""
        self.send(read_req(tid, unit, addr, count, fc))
        deadline = time.monotonic() + timeout
        while (a := self.response(deadline - time.monotonic())) and a[0] != tid:
            pass
        return a

    def closed_by_peer(self, timeout=3.0):
        """True once the gateway closed the connection (within timeout)."""
        deadline = time.monotonic() + timeout
        try:
            while self._fill(deadline):
                pass
        except EOFError:
            return True
        return False

    def close(self):
        self.sock.close()


class Udp(Closing):
    """A datagram socket bound to a loopback address (and port)."""

    def __init__(self, address="127.0.0.1", port=0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, port))
        self.port = self.sock.getsockname()[1]

    def send(self, data, port):
        self.sock.sendto(data, ("127.0.0.1", port))

    def receive(self, timeout=3.0):
        """(data, source) of the next datagram, or None when none came in time."""
        self.sock.settimeout(timeout)
        try:
            return self.sock.recvfrom(70000)
        except socket.timeout:
            return None

    def close(self):
        self.sock.close()


def answered(m, tid, unit=17, addr=0):
    """True when master m gets the answer to a one-register read (100 + addr)."""
    a = m.read(tid, unit, addr, 1)
    return a is not None and registers(a[2]) == [100 + addr]


class SteadyMaster(Closing):
    """A Modbus TCP master reading one register of `unit` in a loop, one
    request at a time: `good` (id, unit and value right), `silent` (none
    within `timeout`), `wrong` (right id, other unit or value), `stale` (an
    answer to an earlier request, held somewhere instead of refused). A
    connection the gateway closes is opened again."""

    def __init__(self, port, unit=1, addr=0, timeout=2.0):
        self.port, self.unit, self.addr, self.timeout = port, unit, addr, timeout
        self.good = self.silent = self.wrong = self.stale = 0
        self.last_good = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        tid, m = 0, None
        while not self._stop.is_set():
            tid = (tid + 1) & 0xFFFF
            try:
                m = m or Raw(self.port)
                m.send(read_req(tid, self.unit, self.addr, 1))
                deadline = time.monotonic() + self.timeout
                while True:
                    a = m.response(max(0.0, deadline - time.monotonic()))
                    if a is None:
                        self.silent += 1
                        break
                    if a[0] != tid:
                        self.stale += 1
                        continue
                    if a[1] == self.unit and a[2][:1] == b"\x03" and registers(a[2]) == [100 + self.addr]:
                        self.good += 1
                        self.last_good = time.monotonic()
                    else:
                        self.wrong += 1
                    break
            except OSError:
                if m:
                    m.close()
                m = None
                self._stop.wait(0.1)
        if m:
            m.close()

    def good_after(self, t):
        return self.last_good > t

    def close(self):
        self._stop.set()
        self._thread.join(self.timeout + 3)
