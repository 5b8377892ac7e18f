"""The north and south UDP ports, with pymodbus and raw datagram masters and
devices (MBAP and RTU over UDP)."""
import contextlib
import logging
import socket
import struct
import threading

import pytest

from gateway import (Closing, Gateway, Peer, Raw, Udp, free_port, mbap, read_req, registers, rtu_line, server_xml,
                     wait_for, with_crc)

logging.getLogger("pymodbus").setLevel(logging.CRITICAL)

from pymodbus.client import ModbusUdpClient  # noqa: E402
from pymodbus.framer.rtu_framer import ModbusRtuFramer  # noqa: E402
from pymodbus.framer.socket_framer import ModbusSocketFramer  # noqa: E402


def free_udp_port():
    """A port free for TCP (gateway.free_port) that a datagram socket can bind too."""
    while True:
        port = free_port()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s, contextlib.suppress(OSError):
            s.bind(("0.0.0.0", port))
            return port


def read_pdu(addr, count, fc=3):
    return struct.pack(">BHH", fc, addr, count)


def read_answer_pdu(addr, count, fc=3):
    """What every device here answers to a register read: 100 + address."""
    return struct.pack(f">BB{count}H", fc, 2 * count, *range(100 + addr, 100 + addr + count))


class UdpMaster(Udp):
    """A Modbus master on a plain datagram socket: sees exactly what comes
    back to its own address and port."""

    def __init__(self, port, source="127.0.0.1"):
        super().__init__(source)
        self.port = port

    def send(self, data):
        super().send(data, self.port)

    def receive(self, timeout=2.0):
        """The next datagram, or None when none came in time."""
        a = super().receive(timeout)
        return a and a[0]

    def read(self, tid, unit, addr=0, count=1, timeout=2.0):
        """A read; its registers, or None without a matching answer."""
        self.send(read_req(tid, unit, addr, count))
        a = self.receive(timeout)
        if a is None or a[:2] != struct.pack(">H", tid):
            return None
        return registers(a[7:])


def pymodbus_client(port, framer):
    c = ModbusUdpClient("127.0.0.1", port=port, framer=framer)
    c.params.timeout = 2  # the constructor's timeout is cut to an int
    c.connect()
    return c


def read_regs(client, unit, addr, count):
    r = client.read_holding_registers(addr, count, slave=unit)
    return None if r.isError() else r.registers


def north_port(port, tables, extra=""):
    return f'<NorthPort type="udp" id="9" udp_port="{port}" time_interval="0" cache="false" {extra}>{tables}</NorthPort>'


# --- north UDP -------------------------------------------------------------------------

def test_udp_clients_reach_tcp_rtu_and_udp_devices_with_mapped_unit_ids(tmp_path):
    """Unit 10 is unit 1 of the TCP device, 20 unit 1 of the RTU device on the
    pty, 30 and 31 units 1 and 2 of the UDP device; one north port speaks
    MBAP, the other RTU over UDP."""
    mbap_port, rtu_port, tcp_dev, udp_dev = free_udp_port(), free_udp_port(), free_port(), free_udp_port()
    body = (f'<SouthPort type="tcp" id="1" host="127.0.0.1" tcp_port="{tcp_dev}" timeout="1000"/>'
            '<SouthPort type="rtu" id="2" port="1" timeout="1000"/>'
            f'<SouthPort type="udp" id="3" host="127.0.0.1" udp_port="{udp_dev}" timeout="1000"/>'
            '<TableList><Table id="1">'
            '<Item node_id_req="10" node_id_phy="1" south_port="1"/>'
            '<Item node_id_req="20" node_id_phy="1" south_port="2"/>'
            '<Item node_id_req="30" node_id_phy="1" south_port="3"/>'
            '<Item node_id_req="31" node_id_phy="2" south_port="3"/>'
            '</Table></TableList>' +
            north_port(mbap_port, '<Table ip="*" id="1"/>') +
            north_port(rtu_port, '<Table ip="*" id="1" rtu_over_udp="true"/>').replace('id="9"', 'id="8"'))
    with rtu_line(tmp_path, 1) as (_, rtu_dev), \
            Peer(tmp_path, "tcp_device.py", "--port", tcp_dev) as tcp, \
            Peer(tmp_path, "udp_device.py", "--port", udp_dev, "--units", "1,2") as udp, \
            Gateway(tmp_path, server_xml(body), serial_prefix=str(tmp_path / "ttyAP")) as gw:
        gw.wait_log("north port udp has been started.", count=2)
        gw.wait_log("been connected.")
        gw.wait_log("south port serial has been started.")
        for framer, port in ((ModbusSocketFramer, mbap_port), (ModbusRtuFramer, rtu_port)):
            c = pymodbus_client(port, framer)
            try:
                for unit in (10, 20, 30, 31):
                    assert wait_for(lambda: read_regs(c, unit, 2, 3), 5, what=f"unit {unit}") == [102, 103, 104]
                assert not c.write_register(5, 555, slave=31).isError()
                assert read_regs(c, 31, 5, 1) == [555]
                assert not c.write_register(6, 666, slave=20).isError()
                assert read_regs(c, 20, 6, 1) == [666]
            finally:
                c.close()
        assert tcp.count("read 3 2 3 unit 1") >= 2
        assert rtu_dev.count("read 3 2 3") >= 2 and rtu_dev.count("write 3 6 1") == 2
        assert udp.count("read 3 2 3 unit 1") >= 2 and udp.count("read 3 2 3 unit 2") >= 2
        assert udp.count("write 3 5 1 unit 2") == 2 and udp.count("write 3 5 1 unit 1") == 0


@pytest.fixture(scope="module")
def direct_north(tmp_path_factory):
    """A gateway whose north UDP port (MBAP for 127.0.0.1, RTU over UDP for
    127.0.0.3, nothing for anyone else) leads to a pymodbus UDP device
    serving unit 1; yields (gateway, port)."""
    port, dev = free_udp_port(), free_udp_port()
    body = (f'<SouthPort type="udp" id="1" host="127.0.0.1" udp_port="{dev}" timeout="500"/>'
            '<TableList><Table id="1"><Item node_id_req="*" south_port="1"/></Table></TableList>' +
            north_port(port, '<Table ip="127.0.0.0/24" id="1" rtu_over_udp="true"/><Table ip="127.0.0.1" id="1"/>'
                             '<Table ip="127.0.0.3" id="1" rtu_over_udp="true"/>'))
    tmp_path = tmp_path_factory.mktemp("direct")
    with Peer(tmp_path, "udp_device.py", "--port", dev), Gateway(tmp_path, server_xml(body)) as gw:
        gw.wait_log("north port udp has been started.")
        gw.wait_log("south port udp has been started.")
        yield gw, port


def test_answers_go_to_the_exact_source_port_of_each_client(direct_north):
    gw, port = direct_north
    with UdpMaster(port) as a, UdpMaster(port) as b:
        assert wait_for(lambda: a.read(1, 1, 0, 2), 5, what="a first answer") == [100, 101]
        for i in range(3):
            assert b.read(100 + i, 1, 4, 1) == [104]
            assert a.read(200 + i, 1, 5, 1) == [105]
        assert a.receive(0.2) is None and b.receive(0.2) is None, "an answer went to the wrong client"


def test_bad_datagrams_get_nothing_and_leave_a_good_client_served(direct_north):
    gw, port = direct_north
    with UdpMaster(port) as good, UdpMaster(port) as bad, UdpMaster(port, "127.0.0.3") as rtu_master, \
            UdpMaster(port, "127.0.0.2") as unmatched:
        assert wait_for(lambda: good.read(1, 1), 5, what="a first answer") == [100]

        # Protocol id 1: dropped.
        bad.send(struct.pack(">HHHB", 7, 1, 6, 1) + read_pdu(0, 1))
        assert bad.receive(0.7) is None
        # Two requests in one datagram: only the first is answered.
        bad.send(read_req(8, 1, 1, 1) + read_req(9, 1, 2, 1))
        first = bad.receive()
        assert first is not None and first[:2] == struct.pack(">H", 8) and registers(first[7:]) == [101]
        assert bad.receive(0.7) is None
        # Garbage, an oversized MBAP header, an oversized datagram and a
        # request cut short: nothing is answered, the good client is.
        for junk in (b"\xff" * 5, struct.pack(">HHH", 10, 0, 300) + b"\x01" * 300, b"\x00" * 3000,
                     read_req(11, 1, 0, 1)[:9]):
            bad.send(junk)
        assert good.read(2, 1, 3, 1) == [103]
        assert bad.receive(0.7) is None

        # The last configured rule for 127.0.0.3 says RTU: a bad CRC gets
        # nothing, the next good message is answered with its CRC.
        body = bytes([1]) + read_pdu(7, 2)
        rtu_master.send(body + b"\x00\x00")
        assert rtu_master.receive(0.7) is None
        rtu_master.send(with_crc(body))
        assert rtu_master.receive() == with_crc(bytes([1]) + read_answer_pdu(7, 2))
        gw.wait_log("[north udp] :Please check the rtu over udp communication protocol, CRC checksum fail")

        # 127.0.0.2 matches the /24 rule only (RTU); 127.0.0.9 no rule at all.
        unmatched.send(with_crc(body))
        assert unmatched.receive() == with_crc(bytes([1]) + read_answer_pdu(7, 2))
        with UdpMaster(port, "127.0.1.9") as stranger:
            stranger.send(read_req(12, 1, 0, 1))
            assert stranger.receive(0.7) is None
        gw.wait_log("IP IS NOT EXIST")
        assert good.read(3, 1, 0, 1) == [100]
        # Dropped by framing: protocol id 1, the 0xFF header, the oversized
        # header and the bad CRC (the zeros are an empty request, the cut
        # request waits for its sender's next datagram).
        north = gw.stats()["north9"]
        assert (north["framing_drops"], north["refused"]) == (4, 1), north


# --- south UDP -------------------------------------------------------------------------

def south_config(north, dev_port, extra="", timeout=500, cache="false"):
    return server_xml(
        f'<SouthPort type="udp" id="1" host="127.0.0.1" udp_port="{dev_port}" timeout="{timeout}" {extra}/>'
        '<TableList><Table id="1"><Item node_id_req="5" node_id_phy="1" south_port="1"/>'
        '<Item node_id_req="6" node_id_phy="2" south_port="1"/></Table></TableList>'
        f'<NorthPort type="tcp" id="1" tcp_port="{north}" idle_time="0" cache="{cache}"><Table ip="*" id="1"/>'
        '</NorthPort>')


@pytest.mark.parametrize("framer", ["socket", "rtu"])
def test_tcp_master_reaches_a_udp_device_with_transaction_ids_in_order(tmp_path, framer):
    north, dev_port = free_port(), free_udp_port()
    extra = 'rtu_over_udp="true"' if framer == "rtu" else ""
    with Peer(tmp_path, "udp_device.py", "--port", dev_port, "--units", "1,2", "--framer", framer) as dev, \
            Gateway(tmp_path, south_config(north, dev_port, extra)) as gw:
        gw.wait_log("south port udp has been started.")
        gw.wait_listening()
        with Raw(north) as m:
            assert registers(m.read(1, 5, 0, 4)[2]) == [100, 101, 102, 103]
            m.send(mbap(2, 6, struct.pack(">BHH", 6, 9, 999)))
            assert m.response()[2] == struct.pack(">BHH", 6, 9, 999)
            assert registers(m.read(3, 6, 9, 1)[2]) == [999]
            assert registers(m.read(4, 5, 9, 1)[2]) == [109]
        assert dev.count("read 3 0 4 unit 1") == 1 and dev.count("write 3 9 1 unit 2") == 1
        if framer == "socket":
            assert [line for line in dev.lines() if line.startswith("tid ")] == [f"tid {i}" for i in range(4)]
            for i in range(4):
                assert gw.count(f"SEND ID IS {i}") == 1


class RawUdpDevice(Closing):
    """A device on a datagram socket, played by the test: answers each read
    as udp_device.py would (MBAP), from its own port or, with `foreign`,
    from a second socket on another port; `silent` requests get nothing."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.other.bind(("127.0.0.1", 0))
        self.lock = threading.Lock()  # guards the three below
        self.plan = []      # per request, in order: "answer", "foreign" or "silent"; then "answer"
        self.requests = 0
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        self.sock.settimeout(0.05)
        while True:
            with self.lock:
                if self.stopping:
                    return
            try:
                data, sender = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            tid, _pid, _len, unit, fc, addr, count = struct.unpack(">HHHBBHH", data[:12])
            with self.lock:
                what = self.plan[self.requests] if self.requests < len(self.plan) else "answer"
                self.requests += 1
            answer = struct.pack(">HHHB", tid, 0, 2 + 2 * count + 1, unit) + read_answer_pdu(addr, count, fc)
            if what == "foreign":
                self.other.sendto(answer, sender)
            elif what == "answer":
                self.sock.sendto(answer, sender)

    def count(self):
        with self.lock:
            return self.requests

    def close(self):
        with self.lock:
            self.stopping = True
        self.thread.join(2)
        self.sock.close()
        self.other.close()


def test_wrong_source_and_silent_device_time_out_and_the_next_request_is_served(tmp_path):
    north = free_port()
    with RawUdpDevice() as dev, Gateway(tmp_path, south_config(north, dev.port, timeout=300)) as gw:
        dev.plan = ["foreign", "silent", "answer"]
        gw.wait_log("south port udp has been started.")
        gw.wait_listening()
        with Raw(north) as m:
            assert m.read(1, 5, 0, 1, timeout=1.5) is None
            gw.wait_log("The north port UDP device IP or port is not registered in the configuration file, "
                        "check the configuration or link")
            assert m.read(2, 5, 0, 1, timeout=1.5) is None
            gw.wait_log("Communication timed out", count=2)
            assert registers(m.read(3, 5, 2, 2)[2]) == [102, 103]
        south = gw.stats()["south1"]
        assert {k: south[k] for k in ("requests", "answers", "timeouts", "framing_drops")} == \
            {"requests": 3, "answers": 1, "timeouts": 2, "framing_drops": 1}, south
        assert dev.count() == 3


def test_cache_serves_repeated_reads(tmp_path):
    north, dev_port = free_port(), free_udp_port()
    with Peer(tmp_path, "udp_device.py", "--port", dev_port) as dev, \
            Gateway(tmp_path, south_config(north, dev_port, 'cache_polling_cycle="60000"', cache="true")) as gw:
        gw.wait_log("south port udp has been started.")
        gw.wait_listening()
        with Raw(north) as m:
            for tid in range(1, 6):
                assert registers(m.read(tid, 5, 0, 3)[2]) == [100, 101, 102]
        gw.wait_log("[south udp]: get req from cache", count=4)
        assert dev.count("read 3 0 3 unit 1") == 1


def test_exceptions_answer_unroutable_and_unanswered_requests_in_the_senders_framing(tmp_path):
    port = free_udp_port()
    with RawUdpDevice() as dev:
        dev.plan = ["silent"]
        body = (f'<SouthPort type="udp" id="1" host="127.0.0.1" udp_port="{dev.port}" timeout="300"/>'
                '<TableList><Table id="1"><Item node_id_req="5" node_id_phy="1" south_port="1"/></Table></TableList>' +
                north_port(port, '<Table ip="127.0.0.1" id="1"/><Table ip="127.0.0.3" id="1" rtu_over_udp="true"/>',
                           'exceptions="true"'))
        with Gateway(tmp_path, server_xml(body)) as gw, UdpMaster(port) as m, UdpMaster(port, "127.0.0.3") as r:
            gw.wait_log("north port udp has been started.")
            m.send(read_req(21, 7, 0, 1))  # no item for unit 7
            assert m.receive() == struct.pack(">HHHB", 21, 0, 3, 7) + b"\x83\x0a"
            m.send(read_req(22, 5, 0, 1))  # the device stays silent
            assert m.receive() == struct.pack(">HHHB", 22, 0, 3, 5) + b"\x83\x0b"
            r.send(with_crc(bytes([9]) + read_pdu(0, 1)))
            assert r.receive() == with_crc(bytes([9, 0x83, 0x0a]))
            m.send(read_req(23, 0, 0, 1))  # a broadcast gets nothing, not even an exception
            assert m.receive(0.7) is None
            assert m.read(24, 5, 1, 1) == [101]
            assert gw.stop() == 0
