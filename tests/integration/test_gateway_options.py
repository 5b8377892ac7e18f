"""Exception answers (exceptions="true") and RTU answers ended by their
length (frame_end="length"); without the attributes neither happens."""
import logging
import socket
import statistics
import struct
import time

import pytest

from gateway import Gateway, Raw, crc16, free_port, mbap, rtu_line, server_xml, wait_for, with_crc

logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
from pymodbus.client import ModbusTcpClient  # noqa: E402

# Unit 1 is the RTU device; unit 5 is routed to the same line but nobody
# answers it; unit 9 names a south port that does not exist; every other
# unit has no item and the table no "*".
TABLE = ('<TableList><Table id="1"><Item node_id_req="1" south_port="1"/><Item node_id_req="5" node_id_phy="5" south_port="1"/>'
         '<Item node_id_req="9" node_id_phy="9" south_port="7"/></Table></TableList>')
TIMEOUT_MS = 500


def rtu_read(sock, unit, timeout=2.0):
    """An RTU-over-TCP read of one holding register: the answer without its CRC, None without one."""
    sock.sendall(with_crc(struct.pack(">BBHH", unit, 3, 0, 1)))
    sock.settimeout(timeout)
    data = b""
    try:
        while len(data) < 5 or (data[1] < 0x80 and len(data) < 7):
            chunk = sock.recv(256)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    if len(data) < 5:
        return None
    assert crc16(data[:-2]) == data[-2] | data[-1] << 8, data.hex()
    return data[:-2]


def test_exception_answers_only_where_asked_for(tmp_path):
    ports = {name: free_port() for name in ("mbap", "rtu", "off")}
    north = "".join(
        f'<NorthPort type="tcp" id="{i}" tcp_port="{ports[name]}" idle_time="0" cache="false" time_interval="0"'
        f'{" exceptions=" + chr(34) + "true" + chr(34) if name != "off" else ""}>'
        f'<Table ip="*" id="1" rtu_over_tcp="{"true" if name == "rtu" else "false"}"/></NorthPort>'
        for i, name in enumerate(ports, 1))
    body = f'<SouthPort type="rtu" id="1" port="1" timeout="{TIMEOUT_MS}"/>' + TABLE + north
    with rtu_line(tmp_path, 1), Gateway(tmp_path, server_xml(body), serial_prefix=str(tmp_path / "ttyAP")) as gw:
        gw.wait_log("south port serial has been started.")
        gw.wait_listening(3)
        m = Raw(ports["mbap"])
        assert wait_for(lambda: m.read(1, 1, 0, 1), 10, what="a routed answer")[2][0] == 3

        # Unroutable: no item for the unit, or no such south port: 0x0A at once.
        for tid, unit in ((10, 3), (11, 9)):
            start = time.monotonic()
            a = m.read(tid, unit, 0, 1, timeout=2)
            assert a == (tid, unit, bytes([0x83, 0x0A])), a
            assert time.monotonic() - start < 0.3
        # Routed, but the device never answers: 0x0B once the south time-out
        # has passed, not before.
        start = time.monotonic()
        a = m.read(12, 5, 0, 1, timeout=3)
        waited = time.monotonic() - start
        assert a == (12, 5, bytes([0x83, 0x0B])), (a, gw.log()[-6000:])
        assert TIMEOUT_MS / 1000 * 0.9 <= waited < TIMEOUT_MS / 1000 + 1.0, waited
        # A broadcast gets nothing, also when it cannot be routed.
        m.send(mbap(13, 0, struct.pack(">BHH", 6, 1, 5)))
        assert m.response(1.0) is None
        # A master that has moved on gets no stale exception: the answer to its
        # newer request comes, the older request's exception does not.
        m.send(mbap(20, 5, struct.pack(">BHH", 3, 0, 1)))
        time.sleep(0.05)
        a = m.read(21, 1, 0, 1, timeout=3)
        assert a is not None and a[2][0] == 3
        assert m.response(TIMEOUT_MS / 1000 + 0.5) is None
        m.close()

        # RTU over TCP: the exception in RTU form with a valid CRC.
        with socket.create_connection(("127.0.0.1", ports["rtu"]), timeout=3) as s:
            assert rtu_read(s, 3) == bytes([3, 0x83, 0x0A])
            assert rtu_read(s, 5, 3) == bytes([5, 0x83, 0x0B])

        # Counted where they were given: the unroutable ones by the MBAP port,
        # the unanswered ones by the south port.
        stats = gw.stats()
        assert stats["north1"]["exceptions"] == 2 and stats["north2"]["exceptions"] == 1
        assert stats["south1"]["exceptions"] >= 3

        # Without the attribute: silence, as always.
        off = Raw(ports["off"])
        assert off.read(30, 3, 0, 1, timeout=1.0) is None
        assert off.read(31, 5, 0, 1, timeout=TIMEOUT_MS / 1000 + 0.5) is None
        off.close()


@pytest.mark.parametrize("frame_end", ["length", None])
def test_rtu_answers_end_by_length_when_asked(tmp_path, frame_end):
    port = free_port()
    attr = f' frame_end="{frame_end}"' if frame_end else ""
    body = (f'<SouthPort type="rtu" id="1" port="1" timeout="1000"{attr}/>'
            '<TableList><Table id="1"><Item node_id_req="*" south_port="1"/></Table></TableList>'
            f'<NorthPort type="tcp" id="1" tcp_port="{port}" idle_time="0" cache="false" time_interval="0">'
            '<Table ip="*" id="1"/></NorthPort>')
    with rtu_line(tmp_path, 1), Gateway(tmp_path, server_xml(body), serial_prefix=str(tmp_path / "ttyAP")) as gw:
        gw.wait_log("south port serial has been started.")
        gw.wait_listening()
        c = ModbusTcpClient("127.0.0.1", port=port)
        c.params.timeout = 3
        try:
            wait_for(lambda: not c.read_holding_registers(0, 1, slave=1).isError(), 10, what="a first answer")
            calls = [
                lambda: c.read_coils(0, 10, slave=1).bits[:3] == [False, True, False],
                lambda: c.read_discrete_inputs(0, 10, slave=1).bits[:3] == [True, False, True],
                lambda: c.read_holding_registers(0, 10, slave=1).registers == [100 + i for i in range(10)],
                lambda: c.read_input_registers(5, 3, slave=1).registers == [105, 106, 107],
                lambda: not c.write_coil(3, True, slave=1).isError(),
                lambda: not c.write_register(20, 1234, slave=1).isError(),
                lambda: not c.write_coils(8, [True, False, True], slave=1).isError(),
                lambda: not c.write_registers(30, [1, 2, 3], slave=1).isError(),
                # An exception from the device: a read past its registers.
                lambda: c.read_holding_registers(5000, 2, slave=1).isError(),
            ]
            times = []
            for call in calls * 3:
                start = time.monotonic()
                assert call()
                times.append(time.monotonic() - start)
        finally:
            c.close()
        p50 = statistics.median(times)
        if frame_end == "length":
            # No 40 ms frame gap on any exchange.
            assert p50 < 0.035, times
        else:
            assert p50 >= 0.040, times
