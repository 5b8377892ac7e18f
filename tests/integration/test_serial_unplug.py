"""Serial lines of the north RTU port and of the two serial transparent ports
unplugged (the pty pair killed) and plugged back, while a master works
through them: a line that hangs up is closed with a few log lines, its tag
reads 0, requests meanwhile are refused rather than kept, and within one
retry period of the pair's return the line is open, its tag 1 and the
traffic flows again."""
import os
import sys
import threading
import time

from gateway import (PEERS, TABLE, Closing, Gateway, Peer, PtyPair, RawLine, free_port, server_xml, wait_for)

sys.path.insert(0, PEERS)
from hostile_device import crc16, with_crc  # noqa: E402

RETRY_S = 10  # the serial start's retry period


def tag_value(gw, tag):
    return gw.tag_command(f"read {tag}")[0].split()[1]


def quiet_log(gw, since):
    """The unplug costs a few level-3 lines and no flood of any level."""
    errors = gw.levels(3, since)
    assert 1 <= len(errors) <= 3, "\n".join(errors)
    assert len(gw.levels(4, since)) <= 2, "\n".join(gw.levels(4, since))


class SteadyRtuMaster(Closing):
    """A well-behaved Modbus RTU master on the far end of a pty, reading one
    register of `unit` at a time on its own thread. The address moves on
    with each request, so an answer to an earlier request counts as `wrong`,
    like one with a bad CRC, unit or function; `good` answers carry 100 +
    address; `silent` requests got nothing within `timeout`. A line that
    hangs up is opened again once its path is back."""

    def __init__(self, path, unit=1, timeout=1.0):
        self.path, self.unit, self.timeout = path, unit, timeout
        self.good = self.silent = self.wrong = self.hangups = 0
        self.wrong_answers = []  # (address asked, bytes got)
        self.last_good = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _exchange(self, line, addr):
        # Like any RTU master: what came late for an earlier request is not
        # read as this one's answer.
        line.quiet(0)
        line.buf = b""
        line.write(with_crc(bytes([self.unit, 3, 0, addr, 0, 1])))
        a = line.read(7, self.timeout)
        if not a:
            self.silent += 1
            return
        expected = bytes([self.unit, 3, 2, 0, 100 + addr])
        if len(a) == 7 and a[:5] == expected and crc16(a[:5]) == a[5] | a[6] << 8:
            self.good += 1
            self.last_good = time.monotonic()
        else:
            self.wrong += 1
            self.wrong_answers.append((addr, a.hex()))

    def _run(self):
        n, line = 0, None
        while not self._stop.is_set():
            try:
                if line is None:
                    if not os.path.exists(self.path):
                        self._stop.wait(0.05)
                        continue
                    line = RawLine(self.path)
                self._exchange(line, n % 10)
                n += 1
            except OSError:
                self.hangups += 1
                line.close()
                line = None
        if line:
            line.close()

    def good_after(self, t):
        return self.last_good > t

    def close(self):
        self._stop.set()
        self._thread.join(self.timeout + 3)


def test_unplugged_north_rtu_line_is_closed_and_reopened(tmp_path):
    tag = "#TRELLIS_COM1"
    tcp_port = free_port()
    xml = server_xml(f'<SouthPort type="tcp" id="1" host="127.0.0.1" tcp_port="{tcp_port}" timeout="500"/>' + TABLE +
                     '<NorthPort type="rtu" id="1" port="1" cache="false"><Table id="1"/></NorthPort>')
    pty = PtyPair(tmp_path, "ttyAP0", "master0")
    with Peer(tmp_path, "tcp_device.py", "--port", tcp_port, "--units", "1"), \
            Gateway(tmp_path, xml, serial_prefix=str(tmp_path / "ttyAP")) as gw:
        try:
            gw.wait_log("north port serial has been started.")
            gw.wait_log("been connected.")
            with SteadyRtuMaster(pty.device_end) as master:
                wait_for(lambda: master.good >= 5, 10, what="answers before the unplug")
                wait_for(lambda: tag_value(gw, tag) == "1", 5, what="tag 1")

                since = len(gw.lines)
                pty.yank()
                wait_for(lambda: tag_value(gw, tag) == "0", 5, what="tag 0 after the unplug")
                unplugged = time.monotonic()
                gw.wait_log("read failed")
                # Closed for a while: no busy loop, no log line per poll.
                time.sleep(1.5)
                quiet_log(gw, since)
                assert len(gw.lines) - since < 40, "\n".join(gw.lines[since:])

                pty.restore()
                wait_for(lambda: tag_value(gw, tag) == "1", RETRY_S + 5, what="tag 1 after the replug")
                assert time.monotonic() - unplugged < RETRY_S + 5
                replugged = time.monotonic()
                wait_for(lambda: master.good_after(replugged), 5, what="an answer after the replug")
            assert master.hangups >= 1 and master.wrong == 0, (master.good, master.silent, master.wrong_answers)
            assert len(gw.levels(3, since)) <= 3, "\n".join(gw.levels(3, since))
            assert gw.stop() == 0
        finally:
            pty.close()
