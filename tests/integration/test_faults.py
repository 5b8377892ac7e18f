"""Faults the gateway must survive unattended, while well-behaved masters
read throughout and every answer they get is checked."""
import contextlib
import os
import signal
import socket
import threading
import time

from gateway import RETRY_S, TABLE, Gateway, Peer, PtyPair, Raw, SteadyMaster, free_port, server_xml, wait_for


def clean(master):
    assert master.wrong == 0 and master.stale == 0, vars(master)


def test_rtu_lines_unplugged_busy_or_idle_are_reopened_and_sighup_and_bad_tag_values_change_nothing(tmp_path):
    """Line 1 (unit 1) is unplugged while a master reads through it, line 2
    (unit 2, timeout -5: the default, not 49 days) while idle; both come
    back within one retry period."""
    port = free_port()
    xml = server_xml('<SouthPort type="rtu" id="1" port="1" timeout="500"/>'
                     '<SouthPort type="rtu" id="2" port="2" timeout="-5"/>'
                     '<TableList><Table id="1"><Item node_id_req="1" node_id_phy="1" south_port="1"/>'
                     '<Item node_id_req="2" node_id_phy="2" south_port="2"/></Table></TableList>'
                     f'<NorthPort type="tcp" id="1" tcp_port="{port}" cache="false"><Table ip="*" id="1"/></NorthPort>')
    with contextlib.ExitStack() as stack:
        ptys = [stack.enter_context(PtyPair(tmp_path, f"ttyAP{i}", f"dev{i}")) for i in (0, 1)]
        devices = {}

        def plug_device(i):
            devices[i] = stack.enter_context(Peer(tmp_path, "rtu_device.py", "--port", ptys[i].device_end,
                                                  "--unit", i + 1))

        def unplug(i):
            devices[i].close()
            ptys[i].yank()

        for i in (0, 1):
            plug_device(i)
        gw = stack.enter_context(Gateway(tmp_path, xml, serial_prefix=str(tmp_path / "ttyAP")))
        gw.wait_log("south port serial has been started.", count=2)
        gw.wait_listening()
        assert gw.count("south port rtu timeout has illegaled configuration") == 1
        wait_for(lambda: gw.tag_command("list") == ["#TRELLIS_COM1 1 0", "#TRELLIS_COM2 1 0", "OK"] or
                 gw.tag_command("list") == ["#TRELLIS_COM2 1 0", "#TRELLIS_COM1 1 0", "OK"], 5, what="tags 1")

        # Values that are no line state are refused; the state stays.
        for value, answer in [("0x1", "ERR bad value"), ("1e308", "ERR value must be 0 or 1"),
                              ("2", "ERR value must be 0 or 1"), ("0.5", "ERR value must be 0 or 1"),
                              ("inf", "ERR bad value"), ("-1", "ERR value must be 0 or 1")]:
            assert gw.tag_command(f"write #TRELLIS_COM1 {value}") == [answer], value
        assert gw.tag("#TRELLIS_COM1") == "1" and gw.count("has been closed") == 0
        assert gw.tag_command("write #TRELLIS_COM1 1.0") == ["OK"]  # the open line's own state

        # SIGHUP: one level-5 line each, the gateway and its tag socket stay.
        for n in (1, 2):
            gw.proc.send_signal(signal.SIGHUP)
            gw.wait_log("SIGHUP received and ignored", count=n)
        with SteadyMaster(port, unit=2, addr=4) as master:
            wait_for(lambda: master.good >= 3, 10, what="answers after SIGHUP")
        clean(master)
        assert master.silent == 0
        assert gw.proc.poll() is None and os.path.exists(gw.tag_socket)
        assert [line for line in gw.lines if "SIGHUP" in line][0].split()[2] == "5"

        # Line 2 vanishes with no master at all: the idle line's check finds
        # the hang-up. It is plugged back at once.
        unplug(1)
        wait_for(lambda: gw.tag("#TRELLIS_COM2") == "0", 5, what="tag 0 with no request flowing")
        gw.wait_log("line check failed")
        unplugged_idle = time.monotonic()
        ptys[1].restore()
        plug_device(1)

        with SteadyMaster(port, unit=1, addr=3) as master:
            wait_for(lambda: master.good >= 5, 10, what="answers before the unplug")
            # Line 1 unplugged while requests flow.
            since, refused = len(gw.lines), gw.count("requests are refused until it is open again")
            unplug(0)
            wait_for(lambda: gw.tag("#TRELLIS_COM1") == "0", 5, what="tag 0 after the unplug")
            unplugged = time.monotonic()
            gw.wait_log("requests are refused until it is open again", count=refused + 1)

            # Closed: requests are refused, not queued, and the log stays
            # quiet (no line per poll or request).
            silent_before = master.silent
            wait_for(lambda: master.silent >= silent_before + 2, 10, what="refused requests")
            errors = gw.levels(3, since)
            assert 1 <= len(errors) <= 3, "\n".join(errors)
            assert len(gw.levels(4, since)) <= 2, "\n".join(gw.levels(4, since))

            # Plugged back on the same path: within one retry period both
            # lines are open and the master is answered again.
            ptys[0].restore()
            plug_device(0)
            wait_for(lambda: gw.tag("#TRELLIS_COM1") == "1", RETRY_S + 5, what="tag 1 after the replug")
            assert time.monotonic() - unplugged < RETRY_S + 5
            replugged = time.monotonic()
            wait_for(lambda: master.good_after(replugged), 5, what="an answer after the replug")
        clean(master)
        wait_for(lambda: gw.tag("#TRELLIS_COM2") == "1", RETRY_S + 5, what="line 2 back")
        assert time.monotonic() - unplugged_idle < RETRY_S + 5
        with SteadyMaster(port, unit=2, addr=2) as master:
            wait_for(lambda: master.good >= 2, 10, what="answers after the idle line's replug")
        clean(master)
        assert len(gw.levels(3, since)) <= 3, "\n".join(gw.levels(3, since))
        assert gw.stop() == 0
        assert not os.path.exists(gw.tag_socket)


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
            # A master keeps asking for 2.5 s: every request finds the
            # connection gone; connects stay at one a second.
            start = time.monotonic()
            with Raw(port) as m:
                tid = 0
                while time.monotonic() - start < 2.5:
                    tid += 1
                    assert m.read(tid, 1, 0, 1, timeout=0.1) is None
            during = [t for t in accepted if t >= start]
            assert 2 <= len(during) <= 4, during
            gaps = [b - a for a, b in zip(accepted, accepted[1:])]
            assert min(gaps) > 0.8, gaps
    finally:
        stop.set()
        dropper.join(2)
        device.close()
