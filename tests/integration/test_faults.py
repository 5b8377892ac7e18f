"""Faults the gateway must survive unattended: serial lines that vanish and
come back, while a well-behaved master reads throughout and every answer
it gets is checked."""
import time

from gateway import TABLE, Gateway, Peer, PtyPair, SteadyMaster, free_port, server_xml, wait_for

TAG = "#TRELLIS_COM1"
RETRY_S = 10  # the serial start's retry period


def rtu_gateway_xml(port):
    return server_xml('<SouthPort type="rtu" id="1" port="1" timeout="500"/>' + TABLE +
                      f'<NorthPort type="tcp" id="1" tcp_port="{port}" cache="false"><Table ip="*" id="1"/></NorthPort>')


def tag_value(gw):
    return gw.tag_command(f"read {TAG}")[0].split()[1]


def test_unplugged_south_rtu_line_is_closed_refused_and_reopened(tmp_path):
    port = free_port()
    pty = PtyPair(tmp_path, "ttyAP0", "dev0")
    device = Peer(tmp_path, "rtu_device.py", "--port", pty.device_end, "--unit", 1)
    with Gateway(tmp_path, rtu_gateway_xml(port), serial_prefix=str(tmp_path / "ttyAP")) as gw:
        try:
            gw.wait_log("south port serial has been started.")
            gw.wait_listening()
            with SteadyMaster(port, unit=1, addr=3) as master:
                wait_for(lambda: master.good >= 5, 10, what="answers before the unplug")

                # Unplugged while requests flow.
                since = len(gw.lines)
                device.close()
                pty.yank()
                wait_for(lambda: tag_value(gw) == "0", 5, what="tag 0 after the unplug")
                unplugged = time.monotonic()
                gw.wait_log("requests are refused until it is open again")

                # Closed: a couple of seconds of requests are refused, not
                # queued, and the log stays quiet (no line per poll or request).
                silent_before = master.silent
                wait_for(lambda: master.silent >= silent_before + 2, 10, what="refused requests")
                errors = gw.levels(3, since)
                assert 1 <= len(errors) <= 3, "\n".join(errors)
                assert len(gw.levels(4, since)) <= 2, "\n".join(gw.levels(4, since))

                # Plugged back on the same path: within one retry period the
                # line is open, the tag is 1 and the master is answered again.
                pty.restore()
                device = Peer(tmp_path, "rtu_device.py", "--port", pty.device_end, "--unit", 1)
                wait_for(lambda: tag_value(gw) == "1", RETRY_S + 5, what="tag 1 after the replug")
                assert time.monotonic() - unplugged < RETRY_S + 5
                replugged = time.monotonic()
                wait_for(lambda: master.good_after(replugged), 5, what="an answer after the replug")
            assert master.wrong == 0 and master.stale == 0, vars(master)
            assert len(gw.levels(3, since)) <= 3, "\n".join(gw.levels(3, since))
            assert gw.stop() == 0
        finally:
            device.close()
            pty.close()


def test_south_rtu_line_that_vanishes_while_idle_is_noticed(tmp_path):
    port = free_port()
    pty = PtyPair(tmp_path, "ttyAP0", "dev0")
    device = Peer(tmp_path, "rtu_device.py", "--port", pty.device_end, "--unit", 1)
    with Gateway(tmp_path, rtu_gateway_xml(port), serial_prefix=str(tmp_path / "ttyAP")) as gw:
        try:
            gw.wait_log("south port serial has been started.")
            wait_for(lambda: tag_value(gw) == "1", 5, what="tag 1")
            # No master at all: the idle line's check finds the hang-up.
            device.close()
            pty.yank()
            wait_for(lambda: tag_value(gw) == "0", 5, what="tag 0 with no request flowing")
            gw.wait_log("line check failed")
            pty.restore()
            device = Peer(tmp_path, "rtu_device.py", "--port", pty.device_end, "--unit", 1)
            wait_for(lambda: tag_value(gw) == "1", RETRY_S + 5, what="tag 1 after the replug")
            with SteadyMaster(port, unit=1, addr=2) as master:
                wait_for(lambda: master.good >= 2, 10, what="answers after the replug")
            assert master.wrong == 0 and master.stale == 0, vars(master)
            assert gw.stop() == 0
        finally:
            device.close()
            pty.close()
