"""The north TCP port: Modbus TCP and RTU over TCP masters in front, a
pymodbus RTU device (unit 17) on a pty behind. One gateway serves the
module, each test on its own north port(s); the line's time-out (1500 ms)
stays far above the device's answer time on a loaded machine."""
import logging
import random
import socket
import struct
import threading
import time

import pytest

from gateway import ADMITTED, TABLE, Gateway, Raw, answered, free_port, read_req, registers, rtu_line, server_xml, wait_for

logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
from pymodbus.client import ModbusTcpClient  # noqa: E402
from pymodbus.framer.rtu_framer import ModbusRtuFramer  # noqa: E402

UNIT = 17

# The third connection at max_conn 2, per policy: the two clients' source
# addresses, the newcomer's, who is closed (an index, "new", or nobody) and
# the line the gateway logs for it.
POLICIES = {
    "reject": ("reject", "12", "1", "new", "reject socket"),
    "oldest": ("drop_oldest_connect", "11", "1", 0, None),
    "lazy_talked": ("drop_most_lazy", "11", "1", 0, None),  # the second one talks just before
    "lazy_silent": ("drop_most_lazy", "11", "1", 1, None),  # equally silent: the newer goes
    "same_ip": ("drop_same_ip", "12", "1", 0, None),
    "no_same_ip": ("drop_same_ip", "12", "3", "new", "can not find same ip client !"),
    "unknown": ("drop_whoever", "11", "1", "new", "reject socket"),  # an unknown policy rejects
}
PORTS = ["e2e", "cache", "rtu", "waitto", "bad", *POLICIES]


def config(p):
    star = '<Table ip="*" id="1"/>'
    policies = "\n".join(
        f'<NorthPort type="tcp" id="{20 + i}" tcp_port="{p[name]}" max_conn="2" max_conn_method="{method}" '
        f'idle_time="0" cache="false">{star}</NorthPort>' for i, (name, (method, *_)) in enumerate(POLICIES.items()))
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<tTrellisServer enable="true">
  <SouthPort type="rtu" id="1" port="1" baudrate="9600" timeout="1500" cache_polling_cycle="600000"/>
  <TableList>
    <Table id="1"><Item node_id_req="*" south_port="1"/><Item node_id_req="100" node_id_phy="{UNIT}" south_port="1"/></Table>
    <Table id="2"><Item node_id_req="*" node_id_phy="{UNIT}" south_port="1"/></Table>
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
  <NorthPort type="tcp" id="4" tcp_port="{p['waitto']}" max_conn="2" max_conn_method="wait_timeout"
             idle_time="1000" cache="false">{star}</NorthPort>
  <NorthPort type="tcp" id="6" tcp_port="{p['bad']}" idle_time="0" cache="false"><Table ip="*" id="2"/></NorthPort>
  {policies}
</tTrellisServer>
"""


class Bench:
    def __init__(self, gw, ports, device):
        self.gw, self.ports, self.device = gw, ports, device

    def client(self, name, framer=None):
        c = ModbusTcpClient("127.0.0.1", port=self.ports[name], **({"framer": framer} if framer else {}))
        c.params.timeout = 3
        assert c.connect()
        return c

    def connect_all(self, name, sources):
        """Masters from 127.0.0.<source>, each admitted before the next connects."""
        before = self.gw.count(ADMITTED)
        masters = []
        for src in sources:
            masters.append(Raw(self.ports[name], f"127.0.0.{src}"))
            wait_for(lambda: self.gw.count(ADMITTED) >= before + len(masters), 5, what="client admitted")
        return masters


@pytest.fixture(scope="module")
def bench(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("north_tcp")
    ports = {name: free_port() for name in PORTS}
    with rtu_line(tmp, UNIT) as (_, device), Gateway(tmp, config(ports), serial_prefix=str(tmp / "ttyAP")) as gw:
        gw.wait_listening(len(PORTS))
        # The line is up once the first request is answered.
        probe = Raw(ports["e2e"])
        tids = iter(range(1, 100))
        wait_for(lambda: answered(probe, next(tids)), 15, what="first answer through the gateway")
        probe.close()
        yield Bench(gw, ports, device)
        assert gw.stop() == 0, gw.log()[-3000:]


# --- end to end -------------------------------------------------------------------

@pytest.mark.parametrize("name,framer,base", [("e2e", None, 40), ("rtu", ModbusRtuFramer, 70)])
def test_pymodbus_master_reads_and_writes_through_the_gateway(bench, name, framer, base):
    c = bench.client(name, framer)
    try:
        assert c.read_holding_registers(0, 10, slave=UNIT).registers == [100 + i for i in range(10)]
        assert c.read_input_registers(20, 3, slave=100).registers == [120, 121, 122]  # 100 is 17 on the line
        assert c.read_coils(0, 8, slave=UNIT).bits[:8] == [False, True] * 4
        assert not c.write_register(base, 4242, slave=UNIT).isError()
        assert not c.write_registers(base + 10, [1, 2, 3], slave=UNIT).isError()
        assert c.read_holding_registers(base, 1, slave=UNIT).registers == [4242]
        assert c.read_holding_registers(base + 10, 3, slave=UNIT).registers == [1, 2, 3]
    finally:
        c.close()
    assert bench.device.count(f"write 3 {base} 1") == bench.device.count(f"write 3 {base + 10} 3") == 1


def test_unit_ids_and_address_rules_choose_the_routing_table(bench):
    def reads(source, *cases):
        """(tid, unit, register, value or None for no answer) read from 127.0.0.<source>."""
        m = Raw(bench.ports["e2e"], f"127.0.0.{source}")
        for tid, unit, reg, want in cases:
            a = m.read(tid, unit, reg, 1, timeout=1.0 if want is None else 5.0)
            if want is None:
                assert a is None, (source, tid, a)
            else:  # the master sees the unit id it asked for
                assert a is not None and a[:2] == (tid, unit) and registers(a[2]) == [want], (source, tid, a)
        m.close()

    # .1 -> table 1: "*" keeps the unit id (5 reaches the line as 5: nobody
    # answers), 100 becomes 17. .2 -> table 2: every unit becomes 17.
    reads(1, (1, UNIT, 0, 100), (2, 100, 2, 102), (3, 5, 0, None))
    reads(2, (4, 5, 3, 103))
    reads(4, (5, 5, 0, None), (6, UNIT, 4, 104))  # in the range rule -> table 1
    # No rule for .9 and no "*" rule: closed at once, the port goes on.
    before = bench.gw.count("The north port TCP device IP is not registered")
    m = Raw(bench.ports["e2e"], "127.0.0.9")
    assert m.closed_by_peer(3)
    m.close()
    bench.gw.wait_log("The north port TCP device IP is not registered", count=before + 1)
    reads(1, (7, UNIT, 0, 100))


def test_cache_true_answers_repeated_reads_without_the_device(bench):
    for name, address, reaching in (("cache", 150, 1), ("e2e", 160, 3)):  # cache="true", "false"
        c = bench.client(name)
        try:
            for _ in range(3):
                assert c.read_holding_registers(address, 2, slave=UNIT).registers == [100 + address, 101 + address]
        finally:
            c.close()
        assert bench.device.count(f"read 3 {address} 2") == reaching


def test_full_send_list_drops_the_waiting_request(bench):
    m = Raw(bench.ports["e2e"])
    flushes = bench.gw.count("NORTH SEND LIST IS FULL, CLEAN UP DONE ")
    # Both the receive pass (queued) and the send pass (taken by the mux)
    # log this line for a request.
    pushed_99, pushed_17 = "push request done, req is is 63", "push request done, req is is 11"
    n99, n17 = bench.gw.count(pushed_99), bench.gw.count(pushed_17)
    m.send(read_req(1, 99, 0, 1))  # nobody answers unit 99: the line stays busy until its time-out
    bench.gw.wait_log(pushed_99, count=n99 + 2)
    m.send(read_req(2, UNIT, 0, 1))  # the south port is busy: waits in the list of size 1
    bench.gw.wait_log(pushed_17, count=n17 + 1)
    m.send(read_req(3, UNIT, 1, 1))  # finds the list full: request 2 is dropped
    answer = m.response(5)
    assert answer is not None and answer[0] == 3 and registers(answer[2]) == [101]
    assert m.response(0.8) is None
    m.close()
    bench.gw.wait_log("NORTH SEND LIST IS FULL, CLEAN UP DONE ", count=flushes + 1)
    assert bench.gw.count("NORTH SEND LIST IS FULL, CLEAN UP DONE ") == flushes + 1


# --- connection policies and idle clients ----------------------------------------------

@pytest.mark.parametrize("case", list(POLICIES))
def test_third_connection_at_max_conn_2(bench, case):
    method, sources, newcomer, victim, log = POLICIES[case]
    before = bench.gw.count(log) if log else 0
    masters = bench.connect_all(case, sources)
    if method == "drop_most_lazy":
        # Each quiet receive pass (about 110 ms) counts one blank, up to 4.
        time.sleep(1.0)
        if case == "lazy_talked":  # the second client's request resets its count
            received = bench.gw.count("NORTH TCP <-")
            masters[1].send(read_req(1, UNIT, 0, 1))
            bench.gw.wait_log("NORTH TCP <-", count=received + 1)
    masters.append(Raw(bench.ports[case], f"127.0.0.{newcomer}"))
    gone = masters[-1] if victim == "new" else None if victim is None else masters[victim]
    if gone:
        assert gone.closed_by_peer()
    if log:
        bench.gw.wait_log(log, count=before + 1)
    for tid, m in enumerate(masters, 10):
        if m is not gone:
            assert answered(m, tid), f"master {masters.index(m)} not served"
        m.close()


def test_idle_clients_are_closed_and_swept_and_wait_timeout_admits_in_their_place(bench):
    """idle_time 1000, max_conn 2, wait_timeout: a quiet client is closed after
    idle_time and swept, one that talks more often stays, and a third client
    gets in only once an idle one is gone. idle_time 0 never closes."""
    port = bench.ports["waitto"]
    exits = bench.gw.count(f"[north tcp : {port}] :exit a client")
    refused = bench.gw.count("can not find time out client !")
    start = time.monotonic()
    quiet, talker = bench.connect_all("waitto", "11")
    never = Raw(bench.ports["e2e"])
    talked = []
    stop = threading.Event()

    def talk():
        while not stop.is_set():
            talked.append(answered(talker, len(talked) + 1))
            stop.wait(0.1)

    t = threading.Thread(target=talk)
    t.start()
    try:
        late = Raw(port)  # no idle client yet: turned away
        assert late.closed_by_peer()
        bench.gw.wait_log("can not find time out client !", count=refused + 1)
        assert quiet.closed_by_peer(5)
        assert time.monotonic() - start >= 0.98  # not before idle_time
        bench.gw.wait_log("CLIENT GET IDLE")
        bench.gw.wait_log(f"[north tcp : {port}] :exit a client", count=exits + 1)
        newcomer = Raw(port)
        assert answered(newcomer, 99)
        wait_for(lambda: time.monotonic() - start > 2.5, 3)
    finally:
        stop.set()
        t.join(10)
    assert all(talked) and len(talked) >= 5, talked
    assert not never.closed_by_peer(0.1) and answered(never, 1)
    for m in (quiet, talker, late, newcomer, never):
        m.close()


# --- bad traffic -----------------------------------------------------------------

def test_bad_traffic_leaves_the_gateway_serving(bench):
    """Runs under AddressSanitizer in CI (see .ci/run)."""
    port = bench.ports["bad"]
    results = {"ok": 0, "fail": []}
    stop = threading.Event()

    def good_master():
        m = Raw(port)
        tid = 0
        while not stop.is_set():
            tid = (tid + 1) & 0xFFFF
            a = m.read(tid, UNIT, 0, 2)
            if a is not None and registers(a[2]) == [100, 101]:
                results["ok"] += 1
            else:
                results["fail"].append((tid, a, time.monotonic()))
                m.close()
                m = Raw(port)
            stop.wait(0.02)
        m.close()

    t = threading.Thread(target=good_master)
    t.start()
    try:
        rnd = random.Random(5)
        for _ in range(3):  # garbage
            g = Raw(port)
            g.send(bytes(rnd.randrange(256) for _ in range(3000)))
            g.close()
        # An MBAP length of 65535 with a little data, then gone.
        g = Raw(port)
        g.send(struct.pack(">HHH", 1, 0, 0xFFFF) + b"\x11\x03\x00\x00")
        g.close()
        # A header split byte by byte: still answered.
        g = Raw(port)
        for byte in read_req(0x4242, UNIT, 6, 1):
            g.send(bytes([byte]))
            time.sleep(0.005)
        a = g.response(5)
        assert a is not None and a[0] == 0x4242 and registers(a[2]) == [106], (a, bench.gw.log()[-6000:])
        g.close()
        for i in range(5):  # masters that vanish mid-request (their answers find them gone)
            g = Raw(port)
            g.send(read_req(i, UNIT, 0, 1))
            g.close()
        for _ in range(100):  # connect/disconnect cycles
            try:
                socket.create_connection(("127.0.0.1", port), timeout=3).close()
            except OSError:
                pass
    finally:
        stop.set()
        t.join(10)
    assert results["fail"] == [] and results["ok"] >= 10, (results, bench.gw.log()[-6000:])
    assert bench.gw.proc.poll() is None
    # Every one of the 111 clients is swept in the end (at most one a pass); a newcomer is served.
    bench.gw.wait_log(f"[north tcp : {port}] :exit a client", 60, count=111)
    m = Raw(port)
    assert answered(m, 7)
    m.close()


# --- listener ---------------------------------------------------------------------

def test_busy_port_is_bound_once_free_and_max_conn_below_1_means_1(tmp_path):
    taken, other = free_port(), free_port()
    blocker = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    blocker.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    blocker.bind(("::", taken))
    blocker.listen(1)
    xml = server_xml('<SouthPort type="rtu" id="1" port="1"/>' + TABLE +
                     f'<NorthPort type="tcp" id="1" tcp_port="{taken}"><Table ip="*" id="1"/></NorthPort>'
                     f'<NorthPort type="tcp" id="2" tcp_port="{other}" max_conn="0"><Table ip="*" id="1"/></NorthPort>')
    with Gateway(tmp_path, xml, serial_prefix=str(tmp_path / "none")) as gw:
        gw.wait_log("tcp bind fail !")
        gw.wait_log("max_conn 0 is below 1, using 1")
        gw.wait_listening(1)
        # max_conn 1: the second connection is turned away.
        first = Raw(other)
        gw.wait_log(ADMITTED)
        second = Raw(other)
        assert second.closed_by_peer()
        assert not first.closed_by_peer(0.3)
        first.close()
        second.close()
        # The port frees up: the server binds on a later pass.
        blocker.close()
        gw.wait_listening(2)
        m = Raw(taken)
        assert not m.closed_by_peer(0.3)
        m.close()
        assert gw.count("tcp bind fail !") < 5  # retried about once a second, not every pass
