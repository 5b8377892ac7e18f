"""Serial lines of the north RTU port and of the two serial transparent ports
unplugged (the pty pair killed) and plugged back, while a master works
through them: a line that hangs up is closed with a few log lines and no
busy loop, its tag reads 0, requests meanwhile are refused rather than
kept, and within one retry period of the pair's return the line is open,
its tag 1 and the traffic flows again."""
import os
import sys
import threading
import time

import pytest

from gateway import (PEERS, TABLE, Closing, Gateway, Peer, PtyPair, RawLine, free_port, server_xml, wait_for)

sys.path.insert(0, PEERS)
from hostile_device import crc16, with_crc  # noqa: E402

RETRY_S = 10  # the serial start's retry period


def tag_value(gw, tag):
    return gw.tag_command(f"read {tag}")[0].split()[1]


def cpu_seconds(gw):
    """User and system time the gateway has used so far."""
    with open(f"/proc/{gw.proc.pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def closed_quietly(gw, since, seconds=1.5):
    """Watched for `seconds` with the line closed: a few level-3 lines in all
    since `since`, next to no CPU (no busy loop) and, traces of the requests
    that still come aside, no flood."""
    cpu, lines = cpu_seconds(gw), len(gw.lines)
    time.sleep(seconds)  # a span to measure over, not a wait for something
    assert cpu_seconds(gw) - cpu < 0.3 * seconds
    louder = [line for level in range(7) for line in gw.levels(level, lines)]
    assert len(louder) < 10, "\n".join(louder)
    errors = gw.levels(3, since)
    assert 1 <= len(errors) <= 3, "\n".join(errors)
    assert len(gw.levels(4, since)) <= 2, "\n".join(gw.levels(4, since))


def replugged_within_retry(gw, pty, tags, unplugged):
    """The pair comes back: every tag reads 1 within one retry period.
    Returns the time the pair came back and the time the tags read 1."""
    restored = time.monotonic()
    pty.restore()
    for tag in tags:
        wait_for(lambda: tag_value(gw, tag) == "1", RETRY_S + 5, what=f"{tag} 1 after the replug")
    assert time.monotonic() - unplugged < RETRY_S + 5
    return restored, time.monotonic()


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
        body = bytes([unit, 3, 2, 0, 100 + n % 10])
        crc = crc16(body)
        return body + bytes([crc & 0xFF, crc >> 8])
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


def test_unplugged_north_rtu_line_is_closed_and_reopened(tmp_path):
    tag = "#TRELLIS_COM1"
    tcp_port = free_port()
    xml = server_xml(f'<SouthPort type="tcp" id="1" host="127.0.0.1" tcp_port="{tcp_port}" timeout="500"/>' + TABLE +
                     '<NorthPort type="rtu" id="1" port="1" cache="false"><Table id="1"/></NorthPort>')
    with PtyPair(tmp_path, "ttyAP0", "master0") as pty, \
            Peer(tmp_path, "tcp_device.py", "--port", tcp_port, "--units", "1"), \
            Gateway(tmp_path, xml, serial_prefix=str(tmp_path / "ttyAP")) as gw:
        gw.wait_log("north port serial has been started.")
        gw.wait_log("been connected.")
        with rtu_master(pty.device_end) as master:
            wait_for(lambda: master.good >= 5, 10, what="answers before the unplug")
            wait_for(lambda: tag_value(gw, tag) == "1", 5, what="tag 1")

            since = len(gw.lines)
            pty.yank()
            wait_for(lambda: tag_value(gw, tag) == "0", 5, what="tag 0 after the unplug")
            unplugged = time.monotonic()
            gw.wait_log("read failed")
            closed_quietly(gw, since)

            _, replugged = replugged_within_retry(gw, pty, [tag], unplugged)
            wait_for(lambda: master.last_good > replugged, 5, what="an answer after the replug")
        # Nothing gathered before the hang-up is taken for a request after it.
        assert master.hangups >= 1 and master.wrong == 0, master.wrong_answers
        assert len(gw.levels(3, since)) <= 3, "\n".join(gw.levels(3, since))
        assert gw.stop() == 0


def transparent_xml():
    """The south serial transparent port in answer mode on line 1, a north
    serial transparent port on line 2."""
    return server_xml(
        '<SouthPort type="serial_transparent_transmission" id="1" port="1" timeout="800" time_interval="40" '
        'transmission_mode="answer_mode"/>' + TABLE +
        '<NorthPort type="serial_transparent_transmission" id="1" port="2" time_interval="40">'
        '<Table ip="*" id="1"/></NorthPort>')


class TransparentLines(Closing):
    """The device's pair (line 1), the master's pair (line 2) and the gateway,
    with both lines open."""
    SOUTH_TAG, NORTH_TAG = "#TRANSPARENT_COM1", "#TRANSPARENT_COM2"

    def __init__(self, tmp_path):
        self.south = PtyPair(tmp_path, "ttyAP0", "dev0")
        self.north = PtyPair(tmp_path, "ttyAP1", "dev1")
        self.gw = Gateway(tmp_path, transparent_xml(), serial_prefix=str(tmp_path / "ttyAP"))
        self.gw.wait_log("south port serial transparent has been started.")
        self.gw.wait_log("north port serial has been started.")
        for tag in (self.SOUTH_TAG, self.NORTH_TAG):
            wait_for(lambda: tag_value(self.gw, tag) == "1", 5, what=f"{tag} 1")

    def close(self):
        self.gw.close()
        self.north.close()
        self.south.close()


@pytest.mark.parametrize("side", ["south", "north"])
def test_unplugged_serial_transparent_line_is_closed_and_reopened(tmp_path, side):
    with TransparentLines(tmp_path) as t, RawDevice(t.south.device_end) as device, \
            raw_master(t.north.device_end) as master:
        gw = t.gw
        pty, tag, other_tag = ((t.south, t.SOUTH_TAG, t.NORTH_TAG) if side == "south" else
                               (t.north, t.NORTH_TAG, t.SOUTH_TAG))
        wait_for(lambda: master.good >= 5, 10, what="answers before the unplug")

        since = len(gw.lines)
        pty.yank()
        wait_for(lambda: tag_value(gw, tag) == "0", 5, what="tag 0 after the unplug")
        unplugged = time.monotonic()
        if side == "south":
            gw.wait_log("requests are refused until it is open again")
        closed_quietly(gw, since)
        assert tag_value(gw, other_tag) == "1"

        restored, replugged = replugged_within_retry(gw, pty, [tag], unplugged)
        wait_for(lambda: master.last_good > replugged, 5, what="an answer after the replug")
        if side == "south":
            # What the master sent while the device's line was away was
            # refused, not kept for the device to get once the line was back.
            refused = master.sent_between(unplugged, restored)
            assert len(refused) >= 1 and not refused & set(device.received)
        else:
            assert master.hangups >= 1 and device.hangups == 0
        assert master.wrong == 0, master.wrong_answers
        assert len(gw.levels(3, since)) <= 3, "\n".join(gw.levels(3, since))
        assert gw.stop() == 0


def test_serial_transparent_lines_that_vanish_while_idle_are_noticed(tmp_path):
    with TransparentLines(tmp_path) as t:
        gw = t.gw
        since = len(gw.lines)
        t.south.yank()
        t.north.yank()
        for tag in (t.SOUTH_TAG, t.NORTH_TAG):
            wait_for(lambda: tag_value(gw, tag) == "0", 5, what=f"{tag} 0 with no traffic")
        unplugged = time.monotonic()
        cpu = cpu_seconds(gw)
        time.sleep(1.0)  # a span to measure over
        assert cpu_seconds(gw) - cpu < 0.3
        assert len(gw.levels(3, since)) <= 6, "\n".join(gw.levels(3, since))

        t.north.restore()
        replugged_within_retry(gw, t.south, [t.SOUTH_TAG, t.NORTH_TAG], unplugged)
        with RawDevice(t.south.device_end), raw_master(t.north.device_end) as master:
            wait_for(lambda: master.good >= 2, 5, what="answers after the replug")
            assert master.wrong == 0, master.wrong_answers
        assert gw.stop() == 0
