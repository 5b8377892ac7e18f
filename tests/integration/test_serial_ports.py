"""The serial Modbus ports in the real binary: north RTU and north ASCII
slaves with pymodbus serial masters, mbpoll and raw bytes on a pty in front,
and the south ASCII master with a pymodbus ASCII device behind a pty.

Routing of the north serial ports (table 1): unit 1 goes to the Modbus TCP
device unchanged, unit 10 to its unit 1, unit 5 to unit 3 of the serial
device on line 2."""
import contextlib
import logging
import os
import select
import signal
import struct
import subprocess
import sys
import time

import pytest

from gateway import PEERS, Gateway, Peer, PtyPair, Raw, free_port, registers, server_xml, wait_for

sys.path.insert(0, PEERS)
from hostile_device import crc16, with_crc  # noqa: E402

logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
from pymodbus.client import ModbusSerialClient  # noqa: E402
from pymodbus.framer.ascii_framer import ModbusAsciiFramer  # noqa: E402
from pymodbus.framer.rtu_framer import ModbusRtuFramer  # noqa: E402


def lrc(data):
    return (-sum(data)) & 0xFF


def ascii_msg(body, lower=False, end=b"\r\n"):
    text = (bytes(body) + bytes([lrc(body)])).hex()
    return b":" + (text if lower else text.upper()).encode() + end


def read_body(unit, addr, count, fc=3):
    return struct.pack(">BBHH", unit, fc, addr, count)


def north_config(north_type, south_type, tcp_port, north_extra="", south_timeout=500):
    return server_xml(
        f'<SouthPort type="tcp" id="1" host="127.0.0.1" tcp_port="{tcp_port}" timeout="1000"/>'
        f'<SouthPort type="{south_type}" id="2" port="2" timeout="{south_timeout}"/>'
        '<TableList><Table id="1"><Item node_id_req="1" south_port="1"/>'
        '<Item node_id_req="10" node_id_phy="1" south_port="1"/>'
        '<Item node_id_req="5" node_id_phy="3" south_port="2"/></Table></TableList>'
        f'<NorthPort type="{north_type}" id="1" port="1" cache="false" {north_extra}><Table id="1"/></NorthPort>')


@contextlib.contextmanager
def north_setup(tmp_path, north_type, south_type="rtu", north_extra=""):
    """The gateway with a north serial port on line 1 (the master's end is
    yielded as `master`), the TCP device and a serial device (unit 3) of
    `south_type` on line 2."""
    tcp_port = free_port()
    with PtyPair(tmp_path, "ttyAP0", "master0") as master, PtyPair(tmp_path, "ttyAP1", "dev1") as line2, \
            Peer(tmp_path, "tcp_device.py", "--port", tcp_port, "--units", "1") as tcp_dev, \
            Peer(tmp_path, "rtu_device.py", "--port", line2.device_end, "--unit", 3, "--framer", south_type) as ser, \
            Gateway(tmp_path, north_config(north_type, south_type, tcp_port, north_extra),
                    serial_prefix=str(tmp_path / "ttyAP")) as gw:
        gw.wait_log("north port serial has been started.")
        gw.wait_log("south port serial has been started.")
        gw.wait_log("been connected.")
        yield gw, master.device_end, tcp_dev, ser


@contextlib.contextmanager
def serial_master(path, framer):
    client = ModbusSerialClient(path, framer=framer, baudrate=9600)
    client.params.timeout = 2.0  # the constructor truncates it
    assert client.connect()
    try:
        yield client
    finally:
        client.close()


class RawLine:
    """The master's end of a pty, written and read byte by byte."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)

    def write(self, data):
        os.write(self.fd, data)

    def read(self, timeout, until=None):
        """What arrives within timeout; with `until`, returns as soon as it holds that many bytes or ends in it."""
        data, deadline = b"", time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0:
            if until is not None and ((isinstance(until, int) and len(data) >= until) or
                                      (isinstance(until, bytes) and data.endswith(until))):
                break
            if select.select([self.fd], [], [], left)[0]:
                data += os.read(self.fd, 4096)
        return data

    def close(self):
        os.close(self.fd)


def regs_of(rr):
    assert not rr.isError(), rr
    return rr.registers


# --- north RTU ---------------------------------------------------------------------------


def test_north_rtu_serves_pymodbus_and_mbpoll_masters_through_tcp_and_rtu_devices(tmp_path):
    with north_setup(tmp_path, "rtu") as (gw, master, tcp_dev, ser):
        with serial_master(master, ModbusRtuFramer) as c:
            assert regs_of(c.read_holding_registers(0, 3, slave=1)) == [100, 101, 102]
            assert regs_of(c.read_input_registers(4, 2, slave=10)) == [104, 105]  # unit 10 -> device unit 1
            assert c.read_coils(0, 4, slave=5).bits[:4] == [False, True, False, True]  # serial device unit 3
            assert not c.write_register(7, 4242, slave=1).isError()
            assert not c.write_coil(2, True, slave=5).isError()
            assert not c.write_registers(20, [1, 2, 3], slave=10).isError()
            assert regs_of(c.read_holding_registers(7, 1, slave=1)) == [4242]
            assert regs_of(c.read_holding_registers(20, 3, slave=1)) == [1, 2, 3]
            assert c.read_coils(2, 1, slave=5).bits[0] is True
        assert tcp_dev.count("write 3 7 1 unit 1") == 1 and tcp_dev.count("write 3 20 3 unit 1") == 1
        assert ser.count("write 1 2 1") == 1
        out = subprocess.run(["mbpoll", "-m", "rtu", "-b", "9600", "-P", "none", "-0", "-1", "-a", "5", "-t", "4",
                              "-r", "10", "-c", "2", master], capture_output=True, text=True, timeout=20)
        assert out.returncode == 0, out.stdout + out.stderr
        assert "[10]: \t110" in out.stdout and "[11]: \t111" in out.stdout
        assert gw.stop() == 0


def test_north_rtu_framing_checks_the_crc_and_cuts_requests_by_silence(tmp_path):
    with north_setup(tmp_path, "rtu") as (gw, master, _tcp, _ser):
        line = RawLine(master)
        try:
            good = with_crc(read_body(1, 0, 2))
            bad = good[:-1] + bytes([good[-1] ^ 0xFF])
            line.write(bad)
            assert line.read(0.6) == b""
            gw.wait_log("Please check the rtu communication protocol, CRC checksum fail")

            # Two requests closer together than the interval are one message.
            crc_fails = gw.count("CRC checksum fail")
            line.write(good + with_crc(read_body(1, 2, 1)))
            assert line.read(0.6) == b""
            gw.wait_log("CRC checksum fail", count=crc_fails + 1)

            # The next good request, and one split over writes 10 ms apart
            # (well inside the interval), are answered with a valid CRC.
            for attempt, chunks in enumerate(([good], [good[:3], good[3:5], good[5:]])):
                for chunk in chunks:
                    line.write(chunk)
                    time.sleep(0.01)
                answer = line.read(3, until=9)
                assert answer[:-2] == bytes([1, 3, 4, 0, 100, 0, 101]), (attempt, answer)
                assert struct.unpack("<H", answer[-2:])[0] == crc16(answer[:-2])  # low byte first on the wire
        finally:
            line.close()
        assert gw.stop() == 0


def stats_of(gw, direction, port_type):
    """The counters of the first port of that direction and type in the stats command's answer."""
    line = next(line for line in gw.tag_command("stats") if line.startswith(f"PORT {direction} {port_type} "))
    return {k: int(v) for k, v in (f.split("=") for f in line.split()[4:])}


@pytest.mark.parametrize("north_type", ["rtu", "ascii"])
def test_exceptions_and_counters_of_the_north_serial_ports(tmp_path, north_type):
    """With exceptions="true" an unroutable unit gets exception 0x0A and an
    absent device 0x0B, in the port's own form; a broadcast gets nothing.
    The stats command counts the port's requests, answers and drops."""
    def frame(body):
        return with_crc(body) if north_type == "rtu" else ascii_msg(body)

    def answer(line):
        return line.read(3, until=5 if north_type == "rtu" else b"\r\n")

    with north_setup(tmp_path, north_type, north_extra='exceptions="true"') as (gw, master, _tcp, ser):
        ser.proc.send_signal(signal.SIGSTOP)  # the serial device stops answering
        line = RawLine(master)
        try:
            line.write(frame(read_body(9, 0, 1)))
            assert answer(line) == frame(bytes([9, 0x83, 0x0A]))
            line.write(frame(read_body(5, 0, 1, fc=4)))
            assert answer(line) == frame(bytes([5, 0x84, 0x0B]))
            line.write(frame(read_body(0, 0, 1)))  # a broadcast: never answered
            assert line.read(0.5) == b""
            line.write(frame(read_body(1, 0, 1)))
            assert answer(line) == frame(bytes([1, 3, 2, 0, 100]))
            good = frame(read_body(1, 0, 1))
            line.write(good[:-2] + b"\x00\x00" if north_type == "rtu" else good[:-4] + b"00\r\n")  # bad checksum
            assert line.read(0.5) == b""
        finally:
            line.close()
            ser.proc.send_signal(signal.SIGCONT)
        counters = stats_of(gw, "north", north_type)
        assert counters["requests"] == 4 and counters["answers"] == 3 and counters["framing_drops"] == 1, counters
        assert gw.stop() == 0


# --- north ASCII -------------------------------------------------------------------------


def test_north_ascii_serves_a_pymodbus_ascii_master_through_tcp_and_rtu_devices(tmp_path):
    with north_setup(tmp_path, "ascii") as (gw, master, tcp_dev, ser):
        with serial_master(master, ModbusAsciiFramer) as c:
            assert regs_of(c.read_holding_registers(0, 3, slave=1)) == [100, 101, 102]
            assert regs_of(c.read_input_registers(4, 2, slave=10)) == [104, 105]
            assert c.read_coils(0, 4, slave=5).bits[:4] == [False, True, False, True]
            assert not c.write_register(8, 77, slave=10).isError()
            assert not c.write_coil(3, False, slave=5).isError()
            assert not c.write_registers(30, [9, 8], slave=1).isError()
            assert regs_of(c.read_holding_registers(8, 1, slave=1)) == [77]
            assert regs_of(c.read_holding_registers(30, 2, slave=10)) == [9, 8]
        assert tcp_dev.count("write 3 8 1 unit 1") == 1 and ser.count("write 1 3 1") == 1
        assert gw.stop() == 0


def test_north_ascii_framing_noise_splits_case_endings_and_lrc(tmp_path):
    expected = ascii_msg(bytes([1, 3, 4, 0, 100, 0, 101]))
    with north_setup(tmp_path, "ascii") as (gw, master, _tcp, _ser):
        line = RawLine(master)
        try:
            body = read_body(1, 0, 2)
            bad = ascii_msg(body)[:-4] + b"00\r\n"  # the LRC replaced
            line.write(bad)
            assert line.read(0.6) == b""
            gw.wait_log("Please check the ascii communication protocol, LRC checksum fail")
            line.write(b":010J00000002FA\r\n")  # J decodes like 3 but is no hex digit: dropped
            assert line.read(0.6) == b""
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
                assert line.read(3, until=b"\r\n") == expected, i
            # Two messages in one write: only the first is taken.
            line.write(ascii_msg(body) + ascii_msg(read_body(1, 5, 1)))
            assert line.read(3, until=b"\r\n") == expected
            assert line.read(0.5) == b""
        finally:
            line.close()
        assert gw.stop() == 0


# --- south ASCII -------------------------------------------------------------------------


def south_ascii_config(north_port, cache="false", polling=600000):
    return server_xml(
        f'<SouthPort type="ascii" id="1" port="1" timeout="400" cache_polling_cycle="{polling}"/>'
        '<TableList><Table id="1"><Item node_id_req="*" south_port="1"/>'
        '<Item node_id_req="20" node_id_phy="2" south_port="1"/></Table></TableList>'
        f'<NorthPort type="tcp" id="1" tcp_port="{north_port}" idle_time="0" cache="{cache}">'
        '<Table ip="*" id="1"/></NorthPort>')


@contextlib.contextmanager
def south_ascii_setup(tmp_path, cache="false"):
    north = free_port()
    with PtyPair(tmp_path, "ttyAP0", "dev0") as line, \
            Peer(tmp_path, "rtu_device.py", "--port", line.device_end, "--unit", 2, "--framer", "ascii") as dev, \
            Gateway(tmp_path, south_ascii_config(north, cache), serial_prefix=str(tmp_path / "ttyAP")) as gw:
        gw.wait_log("south port serial has been started.")
        gw.wait_listening()
        m = Raw(north)
        try:
            yield gw, m, dev
        finally:
            m.close()


def test_south_ascii_reads_writes_and_lets_an_absent_unit_time_out(tmp_path):
    with south_ascii_setup(tmp_path) as (gw, m, dev):
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
        assert gw.stop() == 0


def test_south_ascii_cache_serves_repeats(tmp_path):
    with south_ascii_setup(tmp_path, cache="true") as (gw, m, dev):
        assert registers(m.read(1, 2, 0, 3)[2]) == [100, 101, 102]
        for tid in range(2, 7):
            assert registers(m.read(tid, 2, 0, 3)[2]) == [100, 101, 102]
        gw.wait_log("[south ascii]: south port rtu get req from cache", count=5)
        assert dev.count("read 3 0 3") == 1
        assert gw.stop() == 0


# --- tags and stopping -------------------------------------------------------------------


def reads_back(client, address):
    """True when holding register `address` of unit 5 reads 100 + address."""
    rr = client.read_holding_registers(address, 1, slave=5)
    return not rr.isError() and rr.registers == [100 + address]


@pytest.mark.parametrize("north_type", ["rtu", "ascii"])
def test_each_serial_port_tag_closes_and_reopens_its_line_and_sigterm_stops_all(tmp_path, north_type):
    framer = ModbusRtuFramer if north_type == "rtu" else ModbusAsciiFramer
    with north_setup(tmp_path, north_type, south_type="ascii") as (gw, master, _tcp, _ser):
        with serial_master(master, framer) as c:
            assert regs_of(c.read_holding_registers(0, 1, slave=5)) == [100]  # north line 1 -> south ASCII line 2
        # In the order the lines opened.
        assert sorted(gw.tag_command("list")) == ["#TRELLIS_COM1 1 0", "#TRELLIS_COM2 1 0", "OK"]
        for tag, device in (("#TRELLIS_COM1", "ttyAP0"), ("#TRELLIS_COM2", "ttyAP1")):
            assert gw.tag_command(f"write {tag} 0") == ["OK"]
            gw.wait_log(f"serial_port_change_state [{tmp_path / device}] has been closed")
            with serial_master(master, framer) as c:
                c.params.timeout = 0.8
                assert c.read_holding_registers(0, 1, slave=5).isError()
            assert gw.tag_command(f"write {tag} 1") == ["OK"]
            wait_for(lambda: f"{tag} 1 0" in gw.tag_command("list"), 5, what=f"{tag} reopened")
            # Requests the master gave up on while a line was closed may
            # still be answered once it reopens: a read counts once its own
            # value comes back, and the reads after it stay in step.
            with serial_master(master, framer) as c:
                addresses = iter(range(1, 60))
                wait_for(lambda: reads_back(c, next(addresses)), 10, what="an answer after the reopen")
                assert all(reads_back(c, a) for a in (60, 61, 62))
        assert gw.count("tagbus_add failed") == 0
        started = time.monotonic()
        assert gw.stop(timeout=3) == 0
        assert time.monotonic() - started < 3
