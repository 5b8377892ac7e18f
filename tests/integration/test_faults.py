"""Faults the gateway must survive unattended: serial lines that vanish and
come back, while a well-behaved master reads throughout and every answer
it gets is checked."""
import os
import signal
import socket
import threading
import time

from gateway import TABLE, Gateway, Peer, PtyPair, Raw, SteadyMaster, free_port, server_xml, wait_for

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


def test_sighup_is_ignored_and_line_state_writes_take_only_0_or_1(tmp_path):
    port = free_port()
    # A negative time-out is replaced by the default, not waited for 49 days.
    xml = rtu_gateway_xml(port).replace('timeout="500"', 'timeout="-5"')
    pty = PtyPair(tmp_path, "ttyAP0", "dev0")
    device = Peer(tmp_path, "rtu_device.py", "--port", pty.device_end, "--unit", 1)
    with Gateway(tmp_path, xml, serial_prefix=str(tmp_path / "ttyAP")) as gw:
        try:
            gw.wait_log("south port serial has been started.")
            gw.wait_listening()
            assert gw.count("south port rtu timeout has illegaled configuration") == 1
            wait_for(lambda: tag_value(gw) == "1", 5, what="tag 1")

            # Values that are no line state are refused; the state stays.
            for value, answer in [("0x1", "ERR bad value"), ("1e308", "ERR value must be 0 or 1"),
                                  ("2", "ERR value must be 0 or 1"), ("0.5", "ERR value must be 0 or 1"),
                                  ("inf", "ERR bad value"), ("-1", "ERR value must be 0 or 1")]:
                assert gw.tag_command(f"write {TAG} {value}") == [answer], value
            assert gw.tag_command("list") == [f"{TAG} 1 0", "OK"]
            assert gw.count("has been closed") == 0
            assert gw.tag_command(f"write {TAG} 1.0") == ["OK"]  # the open line's own state

            # SIGHUP: one level-5 line each, the gateway and its tag socket stay.
            for n in (1, 2):
                gw.proc.send_signal(signal.SIGHUP)
                gw.wait_log("SIGHUP received and ignored", count=n)
            with SteadyMaster(port, unit=1, addr=4) as master:
                wait_for(lambda: master.good >= 3, 10, what="answers after SIGHUP")
            assert master.wrong == 0 and master.stale == 0 and master.silent == 0, vars(master)
            assert gw.proc.poll() is None and os.path.exists(gw.tag_socket)
            assert [line for line in gw.lines if "SIGHUP" in line][0].split()[2] == "5"
            assert gw.stop() == 0
            assert not os.path.exists(gw.tag_socket)
        finally:
            device.close()
            pty.close()


def test_retries_log_at_the_first_and_every_tenth_failure(tmp_path):
    port = free_port()
    taken = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    taken.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    taken.bind(("::", port))
    taken.listen(1)
    # No line behind port 1 either: its open fails and is retried.
    xml = server_xml('<SouthPort type="rtu" id="1" port="1"/>' + TABLE +
                     f'<NorthPort type="tcp" id="1" tcp_port="{port}"><Table ip="*" id="1"/></NorthPort>')
    with Gateway(tmp_path, xml, serial_prefix=str(tmp_path / "ttyAP")) as gw:
        try:
            # Three bind attempts a second apart (traced at level 7)...
            wait_for(lambda: gw.count(f"bind to [::]:{port} failed") >= 3, 10, what="three bind attempts")
            # ...but level 3 only for the first: the caller's two lines and one
            # for the serial open, none from the platform layer.
            errors = gw.levels(3)
            assert len(errors) == 3, "\n".join(errors)
            assert sum("tcp bind fail !" in e for e in errors) == 1
            assert sum("Address already in use (1 failures so far)" in e for e in errors) == 1
            assert sum("failed to open seriial port" in e for e in errors) == 1
        finally:
            taken.close()
        gw.wait_listening()
        gw.wait_log("listening on tcp port")
        assert gw.stop() == 0


def test_south_tcp_device_that_drops_at_once_is_reconnected_once_a_second(tmp_path):
    device = socket.socket()
    device.bind(("127.0.0.1", 0))
    device.listen(16)
    device.settimeout(0.1)
    accepted = []
    stop = threading.Event()

    def drop_at_once():
        while not stop.is_set():
            try:
                c, _ = device.accept()
            except socket.timeout:
                continue
            accepted.append(time.monotonic())
            c.close()

    dropper = threading.Thread(target=drop_at_once, daemon=True)
    dropper.start()
    port = free_port()
    xml = server_xml(f'<SouthPort type="tcp" id="1" host="127.0.0.1" tcp_port="{device.getsockname()[1]}" '
                     'timeout="300"/>' + TABLE +
                     f'<NorthPort type="tcp" id="1" tcp_port="{port}"><Table ip="*" id="1"/></NorthPort>')
    try:
        with Gateway(tmp_path, xml) as gw:
            gw.wait_listening()
            wait_for(lambda: accepted, 5, what="the first connect")
            # A master keeps asking for 3.5 s: every request finds the
            # connection gone; connects stay at one a second.
            start = time.monotonic()
            with Raw(port) as m:
                tid = 0
                while time.monotonic() - start < 3.5:
                    tid += 1
                    assert m.read(tid, 1, 0, 1, timeout=0.1) is None
            during = [t for t in accepted if t >= start]
            assert 2 <= len(during) <= 5, during
            gaps = [b - a for a, b in zip(accepted, accepted[1:])]
            assert min(gaps) > 0.8, gaps
            assert gw.stop() == 0
    finally:
        stop.set()
        dropper.join(2)
        device.close()
