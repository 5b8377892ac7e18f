"""The north TCP port through the real binary: Modbus TCP and RTU over TCP
masters in front, a pymodbus RTU device on a pty behind.

One gateway serves every test of the module (starting a device takes a
while); each test has its own north port(s) in it, so the tests only share
the RTU line. The device answers unit 17 only and logs every register
access, which is how a test sees what reached the line.
"""
import logging
import os
import random
import re
import select
import socket
import struct
import subprocess
import threading
import time

import pytest

from gateway import Gateway, PtyPair, free_port, wait_for

logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
from pymodbus.client import ModbusTcpClient  # noqa: E402
from pymodbus.framer.rtu_framer import ModbusRtuFramer  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DEVICE = os.path.join(HERE, "..", "peers", "rtu_device.py")
UNIT = 17

PORTS = ["e2e", "cache", "rtu", "reject", "oldest", "lazy", "waitto", "sameip", "unknown", "idle", "bad"]


# --- raw Modbus TCP ------------------------------------------------------------

def mbap(tid, unit, pdu, pid=0):
    return struct.pack(">HHHB", tid, pid, len(pdu) + 1, unit) + pdu


def read_req(tid, unit, addr, count, fc=3):
    return mbap(tid, unit, struct.pack(">BHH", fc, addr, count))


class Raw:
    """A Modbus TCP master on a plain socket: sees transaction ids and the
    connection itself, which the pymodbus client hides."""

    def __init__(self, port, source="127.0.0.1"):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=3, source_address=(source, 0))
        self.buf = b""

    def send(self, data):
        self.sock.sendall(data)

    def _fill(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        r, _, _ = select.select([self.sock], [], [], left)
        if not r:
            return False
        try:
            chunk = self.sock.recv(4096)
        except (ConnectionResetError, socket.timeout):
            chunk = b""
        if not chunk:
            raise EOFError
        self.buf += chunk
        return True

    def response(self, timeout=3.0):
        """One MBAP answer (tid, unit, pdu), or None when none came in time."""
        deadline = time.monotonic() + timeout
        while True:
            if len(self.buf) >= 6:
                length = struct.unpack(">H", self.buf[4:6])[0]
                if len(self.buf) >= 6 + length:
                    frame, self.buf = self.buf[:6 + length], self.buf[6 + length:]
                    tid, _pid, _len, unit = struct.unpack(">HHHB", frame[:7])
                    return tid, unit, frame[7:]
            try:
                if not self._fill(deadline):
                    return None
            except EOFError:
                return None

    def read(self, tid, unit, addr, count, fc=3, timeout=3.0):
        self.send(read_req(tid, unit, addr, count, fc))
        return self.response(timeout)

    def closed_by_peer(self, timeout=3.0):
        """True once the gateway closed the connection (within timeout)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                if not self._fill(deadline):
                    return False
            except EOFError:
                return True
        return False

    def close(self):
        self.sock.close()


def registers(pdu):
    """Register values of a read answer PDU (fc, byte count, data)."""
    n = pdu[1] // 2
    return list(struct.unpack(f">{n}H", pdu[2:2 + 2 * n]))


# --- the shared gateway --------------------------------------------------------

def config(ports):
    p = ports
    star = '<Table ip="*" id="1"/>'
    policy = ('<NorthPort type="tcp" id="{id}" tcp_port="{port}" max_conn="2" max_conn_method="{m}" '
              'idle_time="{idle}" cache="false">' + star + '</NorthPort>')
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<tTrellisServer enable="true">
  <SouthPort type="rtu" id="1" port="1" baudrate="9600" timeout="500" cache_polling_cycle="600000"/>
  <TableList>
    <Table id="1">
      <Item node_id_req="*" south_port="1"/>
      <Item node_id_req="100" node_id_phy="{UNIT}" south_port="1"/>
    </Table>
    <Table id="2">
      <Item node_id_req="*" node_id_phy="{UNIT}" south_port="1"/>
    </Table>
  </TableList>
  <NorthPort type="tcp" id="1" tcp_port="{p['e2e']}" idle_time="0" cache="false">
    <Table ip="127.0.0.1" id="1"/>
    <Table ip="127.0.0.2" id="2"/>
    <Table ip="127.0.0.3-127.0.0.4" id="1"/>
  </NorthPort>
  <NorthPort type="tcp" id="2" tcp_port="{p['cache']}" idle_time="0" cache="true">{star}</NorthPort>
  <NorthPort type="tcp" id="3" tcp_port="{p['rtu']}" idle_time="0" time_interval="20" cache="false">
    <Table ip="*" id="1" rtu_over_tcp="true"/>
  </NorthPort>
  {policy.format(id=4, port=p['reject'], m='reject', idle=0)}
  {policy.format(id=5, port=p['oldest'], m='drop_oldest_connect', idle=0)}
  {policy.format(id=6, port=p['lazy'], m='drop_most_lazy', idle=0)}
  {policy.format(id=7, port=p['waitto'], m='wait_timeout', idle=700)}
  {policy.format(id=8, port=p['sameip'], m='drop_same_ip', idle=0)}
  {policy.format(id=9, port=p['unknown'], m='drop_whoever', idle=0)}
  <NorthPort type="tcp" id="10" tcp_port="{p['idle']}" idle_time="400" cache="false">{star}</NorthPort>
  <NorthPort type="tcp" id="11" tcp_port="{p['bad']}" idle_time="0" cache="false">
    <Table ip="*" id="2"/>
  </NorthPort>
</tTrellisServer>
"""


class Bench:
    def __init__(self, gw, ports, device_log):
        self.gw = gw
        self.ports = ports
        self.device_log = device_log

    def device_lines(self, text):
        with open(self.device_log) as f:
            return sum(1 for line in f if line.strip() == text)

    def client(self, name, framer=None):
        kwargs = {"framer": framer} if framer else {}
        c = ModbusTcpClient("127.0.0.1", port=self.ports[name], **kwargs)
        c.params.timeout = 3
        assert c.connect()
        return c

    def wait_admitted(self, before, n=1):
        """Waits until n more clients were admitted since `before` log lines."""
        wait_for(lambda: self.gw.count("add a new client to tcp server") >= before + n, 5,
                 what=f"{n} client(s) admitted")


@pytest.fixture(scope="module")
def bench(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("north_tcp")
    ports = {name: free_port() for name in PORTS}
    device_log = str(tmp / "device.log")
    open(device_log, "w").close()
    pty = PtyPair(tmp, "ttyAP0", "dev0")
    device = subprocess.Popen(["/usr/bin/python3", DEVICE, "--port", pty.device_end, "--unit", str(UNIT), "--log", device_log],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        assert device.stdout.readline().strip() == "ready"
        gw = Gateway(tmp, config(ports), serial_prefix=str(tmp / "ttyAP"))
        try:
            gw.wait_log("north port tcp has been started.", count=len(PORTS))
            b = Bench(gw, ports, device_log)
            # The line is up once the first request is answered.
            probe = b.client("e2e")
            wait_for(lambda: not probe.read_holding_registers(0, 1, slave=UNIT).isError(), 15,
                     what="first answer through the gateway")
            probe.close()
            yield b
            assert gw.stop() == 0, gw.log()[-3000:]
        finally:
            gw.__exit__()
    finally:
        device.terminate()
        device.wait(5)
        pty.close()


# --- end to end -------------------------------------------------------------------

def test_pymodbus_master_reads_and_writes_through_the_gateway(bench):
    c = bench.client("e2e")
    try:
        rr = c.read_holding_registers(0, 10, slave=UNIT)
        assert not rr.isError(), rr
        assert rr.registers == [100 + i for i in range(10)]
        rr = c.read_input_registers(20, 3, slave=UNIT)
        assert rr.registers == [120, 121, 122]
        rr = c.read_coils(0, 8, slave=UNIT)
        assert rr.bits[:8] == [False, True] * 4
        assert not c.write_register(40, 4242, slave=UNIT).isError()
        assert not c.write_registers(50, [1, 2, 3], slave=UNIT).isError()
        assert c.read_holding_registers(40, 1, slave=UNIT).registers == [4242]
        assert c.read_holding_registers(50, 3, slave=UNIT).registers == [1, 2, 3]
    finally:
        c.close()
    assert bench.device_lines("write 3 40 1") == 1
    assert bench.device_lines("write 3 50 3") == 1


def mbpoll(*args):
    return subprocess.run(["mbpoll", "-1", "-0", "-o", "3", *args], capture_output=True, text=True, timeout=20)


def mbpoll_values(out):
    return [int(v) for v in re.findall(r"^\[\d+\]:\s+(-?\d+)", out, re.M)]


def test_mbpoll_reads_registers_and_coils_and_writes(bench):
    port = str(bench.ports["e2e"])
    out = mbpoll("-a", str(UNIT), "-t", "4", "-r", "5", "-c", "3", "-p", port, "127.0.0.1")
    assert out.returncode == 0, out.stdout + out.stderr
    assert mbpoll_values(out.stdout) == [105, 106, 107]
    out = mbpoll("-a", str(UNIT), "-t", "0", "-r", "2", "-c", "3", "-p", port, "127.0.0.1")
    assert mbpoll_values(out.stdout) == [0, 1, 0]
    out = mbpoll("-a", str(UNIT), "-t", "4", "-r", "60", "-p", port, "127.0.0.1", "777")
    assert out.returncode == 0, out.stdout + out.stderr
    out = mbpoll("-a", str(UNIT), "-t", "4", "-r", "60", "-p", port, "127.0.0.1")
    assert mbpoll_values(out.stdout) == [777]


def test_unit_ids_and_address_rules_choose_the_routing_table(bench):
    port = bench.ports["e2e"]
    # 127.0.0.1 -> table 1: "*" keeps the unit id, 100 becomes 17.
    m = Raw(port, "127.0.0.1")
    tid_unit_pdu = m.read(1, UNIT, 0, 2)
    assert tid_unit_pdu is not None and tid_unit_pdu[:2] == (1, UNIT)
    assert registers(tid_unit_pdu[2]) == [100, 101]
    answer = m.read(2, 100, 2, 1)
    assert answer is not None and answer[:2] == (2, 100)  # the master sees the unit it asked for
    assert registers(answer[2]) == [102]
    assert m.read(3, 5, 0, 1, timeout=1.0) is None  # unit 5 reaches the line as 5: nobody answers
    m.close()
    # 127.0.0.2 -> table 2: every unit id becomes 17 on the line.
    m = Raw(port, "127.0.0.2")
    answer = m.read(4, 5, 3, 1)
    assert answer is not None and answer[:2] == (4, 5) and registers(answer[2]) == [103]
    m.close()
    # 127.0.0.4 lies in the range rule -> table 1.
    m = Raw(port, "127.0.0.4")
    assert m.read(5, 5, 0, 1, timeout=1.0) is None
    assert m.read(6, UNIT, 4, 1)[:2] == (6, UNIT)
    m.close()
    # No rule for 127.0.0.9 and no "*" rule: closed at once, the port goes on.
    before = bench.gw.count("The north port TCP device IP is not registered")
    m = Raw(port, "127.0.0.9")
    assert m.closed_by_peer(3)
    m.close()
    bench.gw.wait_log("The north port TCP device IP is not registered", count=before + 1)
    m = Raw(port, "127.0.0.1")
    assert m.read(7, UNIT, 0, 1) is not None
    m.close()


def test_rtu_over_tcp_master(bench):
    c = bench.client("rtu", framer=ModbusRtuFramer)
    try:
        assert c.read_holding_registers(0, 4, slave=UNIT).registers == [100, 101, 102, 103]
        assert c.read_input_registers(10, 2, slave=100).registers == [110, 111]
        assert not c.write_register(70, 9, slave=UNIT).isError()
        assert c.read_holding_registers(70, 1, slave=UNIT).registers == [9]
    finally:
        c.close()
    # A wrong CRC gets no answer.
    before = bench.gw.count("CRC checksum fail")
    s = socket.create_connection(("127.0.0.1", bench.ports["rtu"]), timeout=3)
    s.sendall(bytes([UNIT, 3, 0, 0, 0, 1, 0x12, 0x34]))
    s.settimeout(0.6)
    with pytest.raises(socket.timeout):
        s.recv(100)
    s.close()
    bench.gw.wait_log("CRC checksum fail", count=before + 1)


def test_cache_true_answers_repeated_reads_without_the_device(bench):
    c = bench.client("cache")
    try:
        for _ in range(3):
            assert c.read_holding_registers(150, 2, slave=UNIT).registers == [250, 251]
    finally:
        c.close()
    assert bench.device_lines("read 3 150 2") == 1
    c = bench.client("e2e")  # cache="false"
    try:
        for _ in range(3):
            assert c.read_holding_registers(160, 2, slave=UNIT).registers == [260, 261]
    finally:
        c.close()
    assert bench.device_lines("read 3 160 2") == 3


def test_full_send_list_drops_the_waiting_request(bench):
    m = Raw(bench.ports["e2e"])
    flushes = bench.gw.count("NORTH SEND LIST IS FULL, CLEAN UP DONE ")
    # Both the receive pass (queued) and the send pass (taken by the mux)
    # log this line for a request.
    pushed_99 = "push request done, req is is 63"
    pushed_17 = "push request done, req is is 11"
    n99, n17 = bench.gw.count(pushed_99), bench.gw.count(pushed_17)
    m.send(read_req(1, 99, 0, 1))  # nobody answers unit 99: the line stays busy until its time-out
    bench.gw.wait_log(pushed_99, count=n99 + 2)
    m.send(read_req(2, UNIT, 0, 1))  # the south port is busy: waits in the list of size 1
    bench.gw.wait_log(pushed_17, count=n17 + 1)
    m.send(read_req(3, UNIT, 1, 1))  # finds the list full: request 2 is dropped
    answer = m.response(3)
    assert answer is not None and answer[0] == 3 and registers(answer[2]) == [101]
    assert m.response(0.8) is None
    m.close()
    bench.gw.wait_log("NORTH SEND LIST IS FULL, CLEAN UP DONE ", count=flushes + 1)
    assert bench.gw.count("NORTH SEND LIST IS FULL, CLEAN UP DONE ") == flushes + 1


# --- connection policies and idle clients ----------------------------------------------

def connect_all(bench, name, sources):
    before = bench.gw.count("add a new client to tcp server")
    masters = []
    for src in sources:
        masters.append(Raw(bench.ports[name], src))
        bench.wait_admitted(before, len(masters))
    return masters


def answered(m, tid):
    a = m.read(tid, UNIT, 0, 1)
    return a is not None and a[0] == tid


def test_policy_reject(bench):
    c1, c2 = connect_all(bench, "reject", ["127.0.0.1", "127.0.0.1"])
    before = bench.gw.count("reject socket")
    c3 = Raw(bench.ports["reject"])
    assert c3.closed_by_peer()
    bench.gw.wait_log("reject socket", count=before + 1)
    assert answered(c1, 1) and answered(c2, 2)
    for m in (c1, c2, c3):
        m.close()


def test_policy_drop_oldest(bench):
    c1, c2 = connect_all(bench, "oldest", ["127.0.0.1", "127.0.0.1"])
    c3 = Raw(bench.ports["oldest"])
    assert c1.closed_by_peer()
    assert answered(c2, 1) and answered(c3, 2)
    for m in (c1, c2, c3):
        m.close()


def test_policy_drop_most_lazy(bench):
    exits = f"[north tcp : {bench.ports['lazy']}] :exit a client"
    swept = bench.gw.count(exits)
    # c2 has just talked, c1 has been silent: c1 goes.
    c1, c2 = connect_all(bench, "lazy", ["127.0.0.1", "127.0.0.1"])
    time.sleep(1.0)  # long enough for c1's blank count to reach its top
    assert answered(c2, 1)
    c3 = Raw(bench.ports["lazy"])
    assert c1.closed_by_peer()
    assert not c2.closed_by_peer(0.5)
    for m in (c1, c2, c3):
        m.close()
    # Both silent alike: the newer one goes. First the closed ones are swept.
    wait_for(lambda: bench.gw.count(exits) >= swept + 3, 5, what="lazy port emptied")
    c1, c2 = connect_all(bench, "lazy", ["127.0.0.1", "127.0.0.1"])
    time.sleep(1.0)
    c3 = Raw(bench.ports["lazy"])
    assert c2.closed_by_peer()
    assert not c1.closed_by_peer(0.5)
    for m in (c1, c2, c3):
        m.close()


def test_policy_wait_timeout(bench):
    c1, c2 = connect_all(bench, "waitto", ["127.0.0.1", "127.0.0.1"])
    before = bench.gw.count("can not find time out client !")
    c3 = Raw(bench.ports["waitto"])
    assert c3.closed_by_peer()
    bench.gw.wait_log("can not find time out client !", count=before + 1)
    c3.close()
    # c2 keeps talking, c1 falls idle and is closed; a newcomer then takes its place.
    deadline = time.monotonic() + 5
    tid = 10
    while not c1.closed_by_peer(0.15):
        assert time.monotonic() < deadline, "c1 never closed for idleness"
        tid += 1
        assert answered(c2, tid)
    c4 = Raw(bench.ports["waitto"])
    assert answered(c4, 99)
    assert answered(c2, 100)
    for m in (c1, c2, c4):
        m.close()


def test_policy_drop_same_ip(bench):
    c1, c2 = connect_all(bench, "sameip", ["127.0.0.1", "127.0.0.2"])
    c3 = Raw(bench.ports["sameip"], "127.0.0.1")
    assert c1.closed_by_peer()
    assert answered(c2, 1) and answered(c3, 2)
    before = bench.gw.count("can not find same ip client !")
    c4 = Raw(bench.ports["sameip"], "127.0.0.3")
    assert c4.closed_by_peer()
    bench.gw.wait_log("can not find same ip client !", count=before + 1)
    assert answered(c2, 3) and answered(c3, 4)
    for m in (c1, c2, c3, c4):
        m.close()


def test_unknown_policy_admits_beyond_the_limit(bench):
    before = bench.gw.count("Max connect method error, please check the configuration file")
    masters = connect_all(bench, "unknown", ["127.0.0.1"] * 3)
    bench.gw.wait_log("Max connect method error, please check the configuration file", count=before + 1)
    assert all(answered(m, i) for i, m in enumerate(masters))
    for m in masters:
        m.close()


def test_idle_clients_are_closed_and_swept_and_idle_time_0_never(bench):
    port = bench.ports["idle"]
    exits = bench.gw.count(f"[north tcp : {port}] :exit a client")
    quiet = Raw(port)
    never = Raw(bench.ports["e2e"])  # idle_time="0"
    talked = {"ok": 0, "fail": 0}
    stop = threading.Event()

    def talk():  # at least once per idle_time: stays
        m = Raw(port)
        tid = 0
        while not stop.is_set():
            tid += 1
            talked["ok" if answered(m, tid) else "fail"] += 1
            time.sleep(0.1)
        m.close()

    t = threading.Thread(target=talk)
    start = time.monotonic()
    t.start()
    try:
        assert quiet.closed_by_peer(5)
        assert time.monotonic() - start >= 0.35
        bench.gw.wait_log("CLIENT GET IDLE")
        bench.gw.wait_log(f"[north tcp : {port}] :exit a client", count=exits + 1)
        wait_for(lambda: time.monotonic() - start > 1.5, 3)
    finally:
        stop.set()
        t.join(10)
    assert talked["fail"] == 0 and talked["ok"] >= 5, talked
    assert not never.closed_by_peer(0.1)
    assert answered(never, 1)
    quiet.close()
    never.close()


# --- bad traffic -----------------------------------------------------------------

def test_bad_traffic_leaves_the_gateway_serving(bench):
    """Runs under AddressSanitizer in CI (see .ci/run)."""
    port = bench.ports["bad"]
    results = {"ok": 0, "fail": 0}
    stop = threading.Event()

    def good_master():
        m = Raw(port)
        tid = 0
        while not stop.is_set():
            tid = (tid + 1) & 0xFFFF
            a = m.read(tid, UNIT, 0, 2)
            if a is not None and a[0] == tid and registers(a[2]) == [100, 101]:
                results["ok"] += 1
            else:
                results["fail"] += 1
                results.setdefault("bad", []).append((tid, a, time.monotonic()))
                m.close()
                m = Raw(port)
            time.sleep(0.02)
        m.close()

    t = threading.Thread(target=good_master)
    t.start()
    try:
        rnd = random.Random(5)
        # Garbage.
        for _ in range(3):
            g = Raw(port)
            g.send(bytes(rnd.randrange(256) for _ in range(3000)))
            g.close()
        # An MBAP length of 65535 with a little data, then gone.
        g = Raw(port)
        g.send(struct.pack(">HHH", 1, 0, 0xFFFF) + b"\x11\x03\x00\x00")
        g.close()
        # A header split byte by byte: still answered.
        g = Raw(port)
        req = read_req(0x4242, UNIT, 6, 1)
        for byte in req:
            g.send(bytes([byte]))
            time.sleep(0.005)
        a = g.response(5)
        assert a is not None and a[0] == 0x4242 and registers(a[2]) == [106], (a, bench.gw.log()[-6000:])
        g.close()
        # A master that vanishes mid-request (its answer finds it gone).
        for i in range(5):
            g = Raw(port)
            g.send(read_req(i, UNIT, 0, 1))
            g.close()
        # 200 connect/disconnect cycles.
        for _ in range(200):
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=3)
                s.close()
            except OSError:
                pass
    finally:
        stop.set()
        t.join(10)
    assert results["fail"] == 0, (results, bench.gw.log()[-6000:])
    assert results["ok"] >= 10, results
    assert bench.gw.proc.poll() is None
    # The closed clients are all swept in the end: a newcomer is served.
    wait_for(lambda: bench.gw.count("] :exit a client") >= 200, 60, what="churned clients swept")
    m = Raw(port)
    assert answered(m, 7)
    m.close()


# --- listener ---------------------------------------------------------------------

def test_busy_port_is_bound_once_free_and_max_conn_below_1_means_1(tmp_path):
    taken = free_port()
    other = free_port()
    blocker = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    blocker.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    blocker.bind(("::", taken))
    blocker.listen(1)
    xml = f"""<?xml version="1.0"?>
<tTrellisServer enable="true">
  <SouthPort type="rtu" id="1" port="1"/>
  <TableList><Table id="1"><Item node_id_req="*" south_port="1"/></Table></TableList>
  <NorthPort type="tcp" id="1" tcp_port="{taken}"><Table ip="*" id="1"/></NorthPort>
  <NorthPort type="tcp" id="2" tcp_port="{other}" max_conn="0"><Table ip="*" id="1"/></NorthPort>
</tTrellisServer>
"""
    with Gateway(tmp_path, xml, serial_prefix=str(tmp_path / "none")) as gw:
        gw.wait_log("tcp bind fail !")
        gw.wait_log("max_conn 0 is below 1, using 1")
        # max_conn 1: the second connection is turned away.
        first = Raw(other)
        gw.wait_log("add a new client to tcp server")
        second = Raw(other)
        assert second.closed_by_peer()
        assert not first.closed_by_peer(0.3)
        first.close()
        second.close()
        # The port frees up: the server binds on a later pass.
        blocker.close()
        wait_for(lambda: gw.count("tcp ipv6 bind finish !") >= 2, 5, what="late bind")
        m = Raw(taken)
        assert not m.closed_by_peer(0.3)
        m.close()
        assert gw.count("tcp bind fail !") < 5  # retried about once a second, not every pass
        assert gw.stop() == 0
