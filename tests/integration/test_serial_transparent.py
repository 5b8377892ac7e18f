"""Transparent transmission over serial lines: raw masters and devices on
pty pairs (the south port on line 1, north ports on lines 2 and 3)."""
import time

from gateway import TABLE, Gateway, Peer, lines, server_xml, wait_for



def south(mode, extra="", port=1, timeout=800):
    return (f'<SouthPort type="serial_transparent_transmission" id="1" port="{port}" timeout="{timeout}" '
            f'time_interval="40" transmission_mode="{mode}" {extra}/>')


def north(port, nid, extra=""):
    return (f'<NorthPort type="serial_transparent_transmission" id="{nid}" port="{port}" time_interval="40" '
            f'{extra}><Table ip="*" id="1"/></NorthPort>')


def gateway(tmp_path, body):
    return Gateway(tmp_path, server_xml(body), serial_prefix=str(tmp_path / "ttyAP"))


def tags(gw):
    """The tag socket's list as a set of "NAME VALUE QUALITY" lines (the order is registration order)."""
    answer = gw.tag_command("list")
    return set(answer[:-1]) if answer[-1:] == ["OK"] else None


def started(gw, norths):
    gw.wait_log("south port serial transparent has been started.")
    gw.wait_log("north port serial has been started.", count=norths)


def test_answer_mode_returns_the_devices_bytes_to_the_requester_only(tmp_path):
    body = south("answer_mode") + TABLE + north(2, 1) + north(3, 2)
    with lines(tmp_path, 3) as (_, (device, master, other)), gateway(tmp_path, body) as gw:
        started(gw, 2)
        master.write(b"hello device")
        assert device.read(12) == b"hello device"
        device.write(b"hello master")
        assert master.read(12) == b"hello master"
        assert other.quiet(0.3)

        # The other master's request is answered to it alone.
        other.write(b"\x00\x01\x02")
        assert device.read(3) == b"\x00\x01\x02"
        device.write(b"\xff\xfe")
        assert other.read(2) == b"\xff\xfe"
        assert master.quiet(0.3)

        # What the device says with no request waiting goes nowhere.
        device.write(b"unasked")
        assert master.quiet(0.4) and other.quiet(0.1)
        gw.wait_log("with no request waiting for them, dropped")

        # An unanswered request is released after its time-out; the next is served.
        master.write(b"one")
        assert device.read(3) == b"one"
        gw.wait_log("SOUTH SERIAL TRANSPARENT -> 6F 6E 65")
        master.write(b"two")  # waits in the north list while "one" holds the port
        assert device.read(3, timeout=3) == b"two"
        device.write(b"for two")
        assert master.read(7) == b"for two"

        def counts():
            return {k: (v["requests"], v["answers"], v["timeouts"]) for k, v in gw.stats().items()}
        # A north port counts its answer once the pauses after writing it are over.
        want = {"south1": (4, 3, 1), "north1": (3, 2, 0), "north2": (1, 1, 0)}
        wait_for(lambda: counts() == want, 3, what=lambda: f"statistics {counts()}")
        assert gw.stop(timeout=3) == 0


def test_listen_mode_refuses_requests_and_broadcasts_to_every_bound_port(tmp_path):
    body = south("listen_mode") + TABLE + north(2, 1) + north(3, 2)
    with lines(tmp_path, 3) as (_, (device, master, other)), gateway(tmp_path, body) as gw:
        started(gw, 2)
        device.write(b"reading 42")
        assert master.read(10) == b"reading 42"
        assert other.read(10) == b"reading 42"

        master.write(b"ignored")
        gw.wait_log("south port is in listen mode, do not push request")
        assert device.quiet(0.4)
        assert gw.stop(timeout=3) == 0


def test_transparent_mode_writes_requests_and_broadcasts_what_comes_back(tmp_path):
    body = south("transparent_mode") + TABLE + north(2, 1) + north(3, 2)
    with lines(tmp_path, 3) as (_, (device, master, other)), gateway(tmp_path, body) as gw:
        started(gw, 2)
        master.write(b"abc")
        assert device.read(3) == b"abc"
        other.write(b"def")
        assert device.read(3) == b"def"
        device.write(b"to all")
        assert master.read(6) == b"to all"
        assert other.read(6) == b"to all"
        assert gw.stop(timeout=3) == 0


def test_pieces_within_the_silence_are_one_block_and_a_longer_gap_splits_them(tmp_path):
    body = (south("transparent_mode").replace('time_interval="40"', 'time_interval="150"') + TABLE +
            north(2, 1, 'north_list_size="4"').replace('time_interval="40"', 'time_interval="150"'))
    with lines(tmp_path, 2) as (_, (device, master)), gateway(tmp_path, body) as gw:
        started(gw, 1)
        # Master side: three pieces 30 ms apart, then 400 ms of silence, then one more.
        for piece in (b"\x01\x02", b"\x03", b"\x04\x05"):
            master.write(piece)
            time.sleep(0.03)
        time.sleep(0.4)
        master.write(b"\x06")
        assert device.read(6) == b"\x01\x02\x03\x04\x05\x06"
        gw.wait_log("NORTH SERIAL TRANSPARENT <- 06")
        assert gw.count("NORTH SERIAL TRANSPARENT <- 01 02 03 04 05") == 1

        # Device side likewise.
        for piece in (b"\x11", b"\x12\x13", b"\x14"):
            device.write(piece)
            time.sleep(0.03)
        time.sleep(0.4)
        device.write(b"\x15")
        assert master.read(5) == b"\x11\x12\x13\x14\x15"
        gw.wait_log("SOUTH SERIAL TRANSPARENT <- 15")
        assert gw.count("SOUTH SERIAL TRANSPARENT <- 11 12 13 14") == 1
        assert gw.stop(timeout=3) == 0


def test_tags_close_and_reopen_both_lines(tmp_path):
    body = south("answer_mode") + TABLE + north(2, 1)
    with lines(tmp_path, 2) as (pairs, (device, master)), gateway(tmp_path, body) as gw:
        started(gw, 1)
        wait_for(lambda: tags(gw) == {"#TRANSPARENT_COM1 1 0", "#TRANSPARENT_COM2 1 0"}, 5, what="both tags at 1")
        for tag, pty in (("#TRANSPARENT_COM1", pairs[0]), ("#TRANSPARENT_COM2", pairs[1])):
            assert gw.tag_command(f"write {tag} 0") == ["OK"]
            gw.wait_log(f"serial_port_change_state [{pty.gateway_end}] has been closed")
        assert tags(gw) == {"#TRANSPARENT_COM1 0 0", "#TRANSPARENT_COM2 0 0"}
        master.write(b"lost")
        assert device.quiet(0.3)

        for tag in ("#TRANSPARENT_COM1", "#TRANSPARENT_COM2"):
            assert gw.tag_command(f"write {tag} 1") == ["OK"]
        started_again = (lambda: gw.count("south port serial transparent has been started.") == 2 and
                         gw.count("north port serial has been started.") == 2)
        wait_for(started_again, 5, what="both ports started again")
        wait_for(lambda: tags(gw) == {"#TRANSPARENT_COM1 1 0", "#TRANSPARENT_COM2 1 0"}, 5,
                 what="both tags back at 1")
        master.write(b"again")
        assert device.read(5) == b"again"
        device.write(b"back")
        assert master.read(4) == b"back"

        started_at = time.monotonic()
        assert gw.stop(timeout=3) == 0
        assert time.monotonic() - started_at < 3


# --- the datagram bridge --------------------------------------------------------------

def test_bridge_answers_and_ignores_spoilt_replies_with_their_codes(tmp_path):
    body = south("answer_mode", 'bridge_mode="true"', port=7, timeout=500) + TABLE + north(2, 1)
    with lines(tmp_path, 2) as (_, (_unused, master)), Peer(tmp_path, "bridge_peer.py") as bridge, \
            gateway(tmp_path, body) as gw:
        started(gw, 1)
        gw.wait_log("create socket, return")
        wait_for(lambda: tags(gw) == {"#TRANSPARENT_COM2 1 0", "#TRANSPARENT_COM7 0 0"}, 5, what="both tags")

        master.write(b"ping")
        assert master.read(7) == b"re:ping"
        request = bridge.lines()[-1].split()
        assert request[:1] + request[3:] == ["request", "port", "7", "len", "4", "payload", b"ping".hex()]

        for word, code in (("magic", 342), ("len", 351), ("seq", 360), ("port", 369)):
            master.write(word.encode() + b"!")
            gw.wait_log(f"incorrect frame received, ignore it. RC = [{code}]")
            assert master.quiet(0.7), f"a reply with a spoilt {word} reached the master"
        assert gw.count("incorrect magic code 99991235") == 1
        assert gw.count("incorrect buf_len 8, total 23 received.") == 1

        # A late second copy of a reply finds no request waiting: dropped.
        master.write(b"late")
        assert master.read(7) == b"re:late"
        gw.wait_log("with no request waiting for them, dropped")
        assert master.quiet(0.2)
        master.write(b"after")
        assert master.read(8) == b"re:after"

        # Every request carries the next sequence byte: two requests in one
        # millisecond would still differ.
        seqs = [int(line.split()[2], 16) for line in bridge.lines() if line.startswith("request ")]
        assert len(seqs) == 7 and len(set(seqs)) == 7
        assert [(b - a) % 256 for a, b in zip(seqs, seqs[1:])] == [1] * 6

        # Tag writes leave the bridge alone.
        assert gw.tag_command("write #TRANSPARENT_COM7 1") == ["OK"]
        gw.wait_log("RVOT(port->bridge_mode,0) failed")
        assert gw.stop(timeout=3) == 0
