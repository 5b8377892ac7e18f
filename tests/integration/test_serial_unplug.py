"""Serial lines unplugged (the pty pair killed) and plugged back while
masters work through them, all at once on one gateway: a north RTU line, the
device's and the master's lines of two serial transparent chains, and both
lines of an idle chain. A line that hangs up is closed with a few log lines
and no busy loop, its tag reads 0, requests meanwhile are refused rather
than kept, and within one retry period of the pair's return the line is
open, its tag 1 and the traffic flows again."""
import contextlib
import os
import threading
import time

from gateway import RETRY_S, Closing, Gateway, Peer, PtyPair, RawLine, free_port, server_xml, wait_for, with_crc



def cpu_seconds(gw):
    """User and system time the gateway has used so far."""
    with open(f"/proc/{gw.proc.pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class LineWorker(Closing):
    """A thread working the far end of a pty line; a line that hangs up is
    opened again once its path is back (`hangups` counts them)."""

    def __init__(self, path):
        self.path = path
        self.hangups = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        line = None
        while not self._stop.is_set():
            try:
                if line is None:
                    if not os.path.exists(self.path):
                        self._stop.wait(0.05)
                        continue
                    line = RawLine(self.path)
                self.work(line)
            except OSError:
                self.hangups += 1
                line.close()
                line = None
        if line:
            line.close()

    def close(self):
        self._stop.set()
        self._thread.join(5)


class SteadyLineMaster(LineWorker):
    """A well-behaved master: one request at a time, request(n) for the n-th,
    each answer checked against answer(n): `good`, `wrong` (anything else,
    including an answer to an earlier request), `silent` (nothing within
    `timeout`). What came late for an earlier request is discarded before
    each request, as any serial master does. `sent` keeps (n, time) of every
    request written."""

    def __init__(self, path, request, answer, timeout=1.0):
        self.request, self.answer, self.timeout = request, answer, timeout
        self.good = self.silent = self.wrong = 0
        self.wrong_answers, self.sent = [], []
        self.last_good = 0.0
        self._n = 0
        super().__init__(path)

    def work(self, line):
        n = self._n
        line.quiet(0)
        line.buf = b""
        line.write(self.request(n))
        self.sent.append((n, time.monotonic()))
        self._n += 1
        want = self.answer(n)
        got = line.read(len(want), self.timeout)
        if not got:
            self.silent += 1
        elif got == want:
            self.good += 1
            self.last_good = time.monotonic()
        else:
            self.wrong += 1
            self.wrong_answers.append((n, got))

    def sent_between(self, start, end):
        return {n for n, t in self.sent if start <= t <= end}


def rtu_master(path, unit=1):
    """Reads one register of `unit`; the address moves on with each request,
    so an answer to an earlier request shows."""
    def request(n):
        return with_crc(bytes([unit, 3, 0, n % 10, 0, 1]))

    def answer(n):
        return with_crc(bytes([unit, 3, 2, 0, 100 + n % 10]))
    return SteadyLineMaster(path, request, answer)


def raw_master(path):
    return SteadyLineMaster(path, lambda n: b"req%05d" % n, lambda n: b"ans%05d" % n)


class RawDevice(LineWorker):
    """Answers each raw request b"reqNNNNN" with b"ansNNNNN"; `received`
    keeps the numbers of the requests it saw."""

    def __init__(self, path):
        self.received = []
        super().__init__(path)

    def work(self, line):
        block = line.read(8, 0.2)
        if len(block) == 8 and block.startswith(b"req"):
            self.received.append(int(block[3:]))
            line.write(b"ans" + block[3:])
        elif block:
            line.buf = b""  # a torn block from before a hang-up


def config(tcp_port):
    """Chains of a south serial transparent port (answer mode) and the north
    one routed to it: A on lines 1 (device) and 2 (master), B on 3 and 4,
    the idle C on 6 and 7. Line 5: a north RTU port to a TCP device."""
    def chain(sid, south_line, north_line):
        return (f'<SouthPort type="serial_transparent_transmission" id="{sid}" port="{south_line}" timeout="800" '
                f'time_interval="40" transmission_mode="answer_mode"/>'
                f'<NorthPort type="serial_transparent_transmission" id="{sid}" port="{north_line}" '
                f'time_interval="40"><Table ip="*" id="{sid}"/></NorthPort>')
    tables = "".join(f'<Table id="{t}"><Item node_id_req="*" south_port="{t}"/></Table>' for t in (1, 2, 3, 4))
    return server_xml(chain(1, 1, 2) + chain(2, 3, 4) + chain(4, 6, 7) + f"<TableList>{tables}</TableList>" +
                      f'<SouthPort type="tcp" id="3" host="127.0.0.1" tcp_port="{tcp_port}" timeout="500"/>'
                      '<NorthPort type="rtu" id="3" port="5" cache="false"><Table id="3"/></NorthPort>')


def test_unplugged_serial_lines_are_closed_quietly_refuse_requests_and_reopen(tmp_path):
    tcp_port = free_port()
    tags = {n: f"#TRANSPARENT_COM{n}" for n in (1, 2, 3, 4, 6, 7)}
    tags[5] = "#TRELLIS_COM5"
    with contextlib.ExitStack() as stack:
        enter = stack.enter_context
        pty = {n: enter(PtyPair(tmp_path, f"ttyAP{n - 1}", f"far{n}")) for n in tags}
        enter(Peer(tmp_path, "tcp_device.py", "--port", tcp_port, "--units", "1"))
        gw = enter(Gateway(tmp_path, config(tcp_port), serial_prefix=str(tmp_path / "ttyAP")))
        gw.wait_log("south port serial transparent has been started.", count=3)
        gw.wait_log("north port serial has been started.", count=4)
        gw.wait_log("been connected.")
        for n, tag in tags.items():
            wait_for(lambda: gw.tag(tag) == "1", 5, what=f"{tag} 1")
        device_a, master_a = enter(RawDevice(pty[1].device_end)), enter(raw_master(pty[2].device_end))
        device_b, master_b = enter(RawDevice(pty[3].device_end)), enter(raw_master(pty[4].device_end))
        master_rtu = enter(rtu_master(pty[5].device_end))
        for master in (master_a, master_b, master_rtu):
            wait_for(lambda: master.good >= 5, 10, what="answers before the unplug")

        # A loses its device's line, B its master's line, C both idle lines.
        since = len(gw.lines)
        for n in (1, 4, 5, 6, 7):
            pty[n].yank()
        for n in (1, 4, 5, 6, 7):
            wait_for(lambda: gw.tag(tags[n]) == "0", 5, what=f"{tags[n]} 0 after the unplug")
        unplugged = time.monotonic()
        gw.wait_log("requests are refused until it is open again")
        gw.wait_log("read failed")

        # Closed: next to no CPU (no busy loop), no flood, a few level-3 lines
        # per line, each naming its line; the lines still plugged stay open.
        cpu, lines = cpu_seconds(gw), len(gw.lines)
        time.sleep(1.5)  # a span to measure over, not a wait for something
        assert cpu_seconds(gw) - cpu < 0.3 * 1.5
        louder = [line for level in range(7) for line in gw.levels(level, lines)]
        assert len(louder) < 10, "\n".join(louder)

        def errors_per_line():
            errors = gw.levels(3, since)
            # The south transparent port's failed send names no line: it is line 1's.
            per_line = {n: [e for e in errors if pty[n].gateway_end in e or
                            (n == 1 and "south_port_serial_transparent" in e)] for n in (1, 4, 5, 6, 7)}
            assert sum(map(len, per_line.values())) == len(errors), "\n".join(errors)
            assert all(len(e) <= 3 for e in per_line.values()), "\n".join(errors)
            return per_line
        assert all(errors_per_line().values())
        assert len(gw.levels(4, since)) <= 2 * 3, "\n".join(gw.levels(4, since))
        assert gw.tag(tags[2]) == gw.tag(tags[3]) == "1"

        restored = time.monotonic()
        for n in (1, 4, 5, 6, 7):
            pty[n].restore()
        for n in (1, 4, 5, 6, 7):
            wait_for(lambda: gw.tag(tags[n]) == "1", RETRY_S + 5, what=f"{tags[n]} 1 after the replug")
        assert time.monotonic() - unplugged < RETRY_S + 5
        replugged = time.monotonic()
        for master in (master_a, master_b, master_rtu):
            wait_for(lambda: master.last_good > replugged, 5, what="an answer after the replug")
            assert master.wrong == 0, master.wrong_answers
        # What A's master sent while its device's line was away was refused,
        # not kept for the device to get once the line was back.
        refused = master_a.sent_between(unplugged, restored)
        assert len(refused) >= 1 and not refused & set(device_a.received)
        # Nothing gathered before a hang-up is taken for a request after it.
        assert master_b.hangups >= 1 and device_b.hangups == 0 and master_rtu.hangups >= 1
        with RawDevice(pty[6].device_end), raw_master(pty[7].device_end) as master_c:
            wait_for(lambda: master_c.good >= 2, 5, what="answers on the idle chain after the replug")
            assert master_c.wrong == 0, master_c.wrong_answers
        errors_per_line()
        assert gw.stop() == 0
