"""The serial Modbus ports: north RTU and ASCII slaves with pymodbus serial
masters, mbpoll and raw bytes on a pty in front, and the south ASCII master
with a pymodbus ASCII device behind a pty. Table 1 of the north ports: unit
1 to the TCP device unchanged, 10 to its unit 1, 5 to unit 3 of the serial
device on line 2."""
import contextlib
import logging
import signal
import struct
import subprocess
import time

import pytest

from gateway import Gateway, Peer, PtyPair, Raw, RawLine, free_port, registers, server_xml, wait_for, with_crc

logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
from pymodbus.client import ModbusSerialClient  # noqa: E402
from pymodbus.framer.ascii_framer import ModbusAsciiFramer  # noqa: E402
from pymodbus.framer.rtu_framer import ModbusRtuFramer  # noqa: E402

FRAMERS = {"rtu": ModbusRtuFramer, "ascii": ModbusAsciiFramer}


def ascii_msg(body, lower=False, end=b"\r\n"):
    text = (bytes(body) + bytes([(-sum(body)) & 0xFF])).hex()
    return b":" + (text if lower else text.upper()).encode() + end


def read_body(unit, addr, count, fc=3):
    return struct.pack(">BBHH", unit, fc, addr, count)


def north_config(north_type, tcp_port):
    """exceptions="true" changes nothing for requests that are routed and answered."""
    return server_xml(
        f'<SouthPort type="tcp" id="1" host="127.0.0.1" tcp_port="{tcp_port}" timeout="1000"/>'
        f'<SouthPort type="{north_type}" id="2" port="2" timeout="500"/>'
        '<TableList><Table id="1"><Item node_id_req="1" south_port="1"/>'
        '<Item node_id_req="10" node_id_phy="1" south_port="1"/>'
        '<Item node_id_req="5" node_id_phy="3" south_port="2"/></Table></TableList>'
        f'<NorthPort type="{north_type}" id="1" port="1" cache="false" exceptions="true"><Table id="1"/></NorthPort>')


class NorthSetup:
    def __init__(self, tmp, north_type, stack):
        """The gateway with a north serial port of `north_type` on line 1
        (the master's end is `master`), the TCP device, and a serial device
        (unit 3) on line 2 behind a south port of the same type."""
        tcp_port = free_port()
        self.north_type, self.framer = north_type, FRAMERS[north_type]
        self.master = stack.enter_context(PtyPair(tmp, "ttyAP0", "master0")).device_end
        line2 = stack.enter_context(PtyPair(tmp, "ttyAP1", "dev1"))
        self.tcp_dev = stack.enter_context(Peer(tmp, "tcp_device.py", "--port", tcp_port, "--units", "1"))
        self.ser = stack.enter_context(Peer(tmp, "rtu_device.py", "--port", line2.device_end, "--unit", 3,
                                            "--framer", north_type))
        self.gw = stack.enter_context(Gateway(tmp, north_config(north_type, tcp_port), serial_prefix=str(tmp / "ttyAP")))
        self.gw.wait_log("north port serial has been started.")
        self.gw.wait_log("south port serial has been started.")
        self.gw.wait_log("been connected.")
        self.line_dir = tmp

    def frame(self, body):
        return with_crc(body) if self.north_type == "rtu" else ascii_msg(body)


@pytest.fixture(scope="module", params=["rtu", "ascii"])
def north(request, tmp_path_factory):
    with contextlib.ExitStack() as stack:
        setup = NorthSetup(tmp_path_factory.mktemp(request.param), request.param, stack)
        yield setup
        started = time.monotonic()  # SIGTERM stops every port at once
        assert setup.gw.stop(timeout=3) == 0
        assert time.monotonic() - started < 3


@pytest.fixture
def line(north):
    with RawLine(north.master) as line:
        yield line


@contextlib.contextmanager
def serial_master(path, framer, timeout=2.0):
    client = ModbusSerialClient(path, framer=framer, baudrate=9600)
    client.params.timeout = timeout  # the constructor truncates it
    assert client.connect()
    try:
        yield client
    finally:
        client.close()


def regs_of(rr):
    assert not rr.isError(), rr
    return rr.registers


# --- north RTU and ASCII ---------------------------------------------------------------------

def test_north_serial_port_serves_a_pymodbus_master_through_tcp_and_serial_devices(north):
    base = 20
    with serial_master(north.master, north.framer) as c:
        assert regs_of(c.read_holding_registers(0, 3, slave=1)) == [100, 101, 102]
        assert regs_of(c.read_input_registers(4, 2, slave=10)) == [104, 105]  # unit 10 -> device unit 1
        assert c.read_coils(0, 4, slave=5).bits[:4] == [False, True, False, True]  # serial device unit 3
        assert not c.write_register(base, 4242, slave=1).isError()
        assert not c.write_coil(2, True, slave=5).isError()
        assert not c.write_registers(base + 5, [1, 2, 3], slave=10).isError()
        assert regs_of(c.read_holding_registers(base, 1, slave=10)) == [4242]
        assert regs_of(c.read_holding_registers(base + 5, 3, slave=1)) == [1, 2, 3]
        assert c.read_coils(2, 1, slave=5).bits[0] is True
    assert north.tcp_dev.count(f"write 3 {base} 1 unit 1") == 1
    assert north.tcp_dev.count(f"write 3 {base + 5} 3 unit 1") == 1
    assert north.ser.count("write 1 2 1") == 1
    if north.north_type == "rtu":
        out = subprocess.run(["mbpoll", "-m", "rtu", "-b", "9600", "-P", "none", "-0", "-1", "-a", "5", "-t", "4",
                              "-r", "10", "-c", "2", north.master], capture_output=True, text=True, timeout=20)
        assert out.returncode == 0, out.stdout + out.stderr
        assert "[10]: \t110" in out.stdout and "[11]: \t111" in out.stdout


def test_exceptions_and_counters_of_the_north_serial_ports(north, line):
    """An unroutable unit gets exception 0x0A and an absent device 0x0B, in
    the port's own form; a broadcast gets nothing. The stats command counts
    the port's requests, answers and drops."""
    frame = north.frame
    before = north.gw.stats()["north1"]
    north.ser.proc.send_signal(signal.SIGSTOP)  # the serial device stops answering
    try:
        for body, want in ((read_body(9, 0, 1), bytes([9, 0x83, 0x0A])), (read_body(5, 0, 1, fc=4), bytes([5, 0x84, 0x0B])),
                           (read_body(0, 0, 1), None), (read_body(1, 0, 1), bytes([1, 3, 2, 0, 100]))):
            line.write(frame(body))
            if want is None:  # a broadcast: never answered
                assert line.quiet(0.5)
            else:
                assert line.read(len(frame(want))) == frame(want)
        good = frame(read_body(1, 0, 1))
        line.write(good[:-2] + b"\x00\x00" if north.north_type == "rtu" else good[:-4] + b"00\r\n")  # bad checksum
        assert line.quiet(0.5)
    finally:
        north.ser.proc.send_signal(signal.SIGCONT)
    after = north.gw.stats()["north1"]
    assert {k: after[k] - before[k] for k in ("requests", "answers", "framing_drops")} == \
        {"requests": 4, "answers": 3, "framing_drops": 1}, after


def test_north_serial_framing(north, line):
    (rtu_framing if north.north_type == "rtu" else ascii_framing)(north.gw, line)


def rtu_framing(gw, line):
    """The CRC is checked and requests are cut by silence."""
    good = with_crc(read_body(1, 0, 2))
    crc_fails = gw.count("Please check the rtu communication protocol, CRC checksum fail")
    line.write(good[:-1] + bytes([good[-1] ^ 0xFF]))
    assert line.quiet(0.6)
    gw.wait_log("Please check the rtu communication protocol, CRC checksum fail", count=crc_fails + 1)

    # Two requests closer together than the interval are one message.
    line.write(good + with_crc(read_body(1, 2, 1)))
    assert line.quiet(0.6)
    gw.wait_log("CRC checksum fail", count=crc_fails + 2)

    # The next good request, and one split over writes 10 ms apart (well
    # inside the interval), are answered with a valid CRC (low byte first).
    for attempt, chunks in enumerate(([good], [good[:3], good[3:5], good[5:]])):
        for chunk in chunks:
            line.write(chunk)
            time.sleep(0.01)
        got = line.read(9)
        assert got == with_crc(bytes([1, 3, 4, 0, 100, 0, 101])), (attempt, got)


def ascii_framing(gw, line):
    """Noise, splits, lower case, line endings and the LRC."""
    expected = ascii_msg(bytes([1, 3, 4, 0, 100, 0, 101]))
    body = read_body(1, 0, 2)
    lrc_fails = gw.count("Please check the ascii communication protocol, LRC checksum fail")
    line.write(ascii_msg(body)[:-4] + b"00\r\n")  # the LRC replaced
    assert line.quiet(0.6)
    gw.wait_log("Please check the ascii communication protocol, LRC checksum fail", count=lrc_fails + 1)
    line.write(b":010J00000002FA\r\n")  # J decodes like 3 but is no hex digit: dropped
    assert line.quiet(0.6)
    gw.wait_log("is no hex text, dropped")

    msg = ascii_msg(body)
    cases = [
        [b"\x00garbage\r\n" + msg],                            # noise before ':'
        [msg[:4], msg[4:9], msg[9:]],                        # split over writes
        [ascii_msg(body, lower=True)],                       # lower-case digits
        [ascii_msg(body, end=b"\r"), b"\n"],                 # CR, then the LF later
        [ascii_msg(body, end=b"\n")],                        # LF alone
    ]
    for i, chunks in enumerate(cases):
        for chunk in chunks:
            line.write(chunk)
            time.sleep(0.02)
        assert line.read(len(expected)) == expected, i
    # Two messages in one write: only the first is taken.
    line.write(ascii_msg(body) + ascii_msg(read_body(1, 5, 1)))
    assert line.read(len(expected)) == expected
    assert line.quiet(0.5)


# --- south ASCII -------------------------------------------------------------------------


def south_ascii_config(north_port):
    return server_xml(
        '<SouthPort type="ascii" id="1" port="1" timeout="400"/>'
        '<TableList><Table id="1"><Item node_id_req="*" south_port="1"/>'
        '<Item node_id_req="20" node_id_phy="2" south_port="1"/></Table></TableList>'
        f'<NorthPort type="tcp" id="1" tcp_port="{north_port}" idle_time="0" cache="false">'
        '<Table ip="*" id="1"/></NorthPort>')


def test_south_ascii_reads_writes_and_lets_an_absent_unit_time_out(tmp_path):
    north = free_port()
    with PtyPair(tmp_path, "ttyAP0", "dev0") as pty, \
            Peer(tmp_path, "rtu_device.py", "--port", pty.device_end, "--unit", 2, "--framer", "ascii") as dev, \
            Gateway(tmp_path, south_ascii_config(north), serial_prefix=str(tmp_path / "ttyAP")) as gw:
        gw.wait_log("south port serial has been started.")
        gw.wait_listening()
        m = Raw(north)
        a = m.read(1, 20, 0, 4)  # unit 20 -> unit 2 on the line
        assert a is not None and a[1] == 20 and registers(a[2]) == [100, 101, 102, 103]
        assert registers(m.read(2, 2, 5, 1, fc=4)[2]) == [105]
        m.send(struct.pack(">HHHBBHH", 3, 0, 6, 2, 6, 9, 555))  # write single register
        assert m.response()[2] == struct.pack(">BHH", 6, 9, 555)
        m.send(struct.pack(">HHHBBHHB4s", 4, 0, 11, 2, 16, 40, 2, 4, struct.pack(">HH", 7, 8)))
        assert m.response()[2] == struct.pack(">BHH", 16, 40, 2)
        m.send(struct.pack(">HHHBBHH", 5, 0, 6, 2, 5, 1, 0x0000))  # write single coil off
        assert m.response()[2] == struct.pack(">BHH", 5, 1, 0)
        assert registers(m.read(6, 2, 9, 1)[2]) == [555]
        assert registers(m.read(7, 2, 40, 2)[2]) == [7, 8]
        assert dev.count("write 3 9 1") == 1 and dev.count("write 3 40 2") == 1 and dev.count("write 1 1 1") == 1
        gw.wait_log("SOUTH ASCII ->")
        assert gw.count("south port serial has been started.") == 1

        # Nobody answers unit 9 on the line: the request times out and the
        # next one is served.
        timeouts = gw.count("Communication timed out")
        assert m.read(8, 9, 0, 1, timeout=1.5) is None
        gw.wait_log("Communication timed out", count=timeouts + 1)
        assert registers(m.read(9, 2, 1, 1)[2]) == [101]


# --- tags and stopping -------------------------------------------------------------------

def reads_back(client, address):
    """True when holding register `address` of unit 5 reads 100 + address."""
    rr = client.read_holding_registers(address, 1, slave=5)
    return not rr.isError() and rr.registers == [100 + address]


def test_each_serial_port_tag_closes_and_reopens_its_line(north):
    gw = north.gw
    assert sorted(gw.tag_command("list")) == ["#TRELLIS_COM1 1 0", "#TRELLIS_COM2 1 0", "OK"]
    for tag, device in (("#TRELLIS_COM1", "ttyAP0"), ("#TRELLIS_COM2", "ttyAP1")):
        assert gw.tag_command(f"write {tag} 0") == ["OK"]
        gw.wait_log(f"serial_port_change_state [{north.line_dir / device}] has been closed")
        with serial_master(north.master, north.framer, timeout=0.8) as c:
            assert c.read_holding_registers(0, 1, slave=5).isError()
        assert gw.tag_command(f"write {tag} 1") == ["OK"]
        wait_for(lambda: f"{tag} 1 0" in gw.tag_command("list"), 5, what=f"{tag} reopened")
        # Requests the master gave up on while a line was closed may still be
        # answered once it reopens: a read counts once its own value comes
        # back, and the reads after it stay in step.
        with serial_master(north.master, north.framer) as c:
            addresses = iter(range(1, 60))
            wait_for(lambda: reads_back(c, next(addresses)), 10, what="an answer after the reopen")
            assert all(reads_back(c, a) for a in (60, 61, 62))
    assert gw.count("tagbus_add failed") == 0
