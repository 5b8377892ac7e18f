"""Hostile traffic: no master ever gets another request's answer, nothing
gets past a routing table, no port wedges. hostile_device.py's register
values name the request they answer; the masters check every answer against
the request its transaction id names."""
import select
import socket
import struct
import threading
import time

import pytest

from gateway import (ADMITTED, TABLE, Gateway, Peer, Raw, crc16, free_port, read_req, registers, rtu_line,
                     server_xml, wait_for, with_crc)


def idle_thread_count(gw):
    """Threads once the south TCP port's send and cache threads run."""
    wait_for(lambda: {"mbtcp_send_proc", "update_cache_pr"} <= set(gw.thread_names()), 5,
             what="the south port's threads")
    return len(gw.thread_names())


class Hostile(Peer):
    """hostile_device.py on two free ports: Modbus and its control channel."""

    def __init__(self, directory, framer="socket", delay=0):
        self.port, self.control_port = free_port(), free_port()
        super().__init__(directory, "hostile_device.py", "--port", self.port, "--control", self.control_port,
                         "--framer", framer, "--delay", delay)

    def misbehave(self, behaviour, count=1, arg=None):
        """The next `count` requests get `behaviour`."""
        with socket.create_connection(("127.0.0.1", self.control_port), timeout=3) as s:
            s.sendall(f"{behaviour} {count} {'' if arg is None else arg}\n".encode())
            assert s.recv(16).startswith(b"ok")

    def units_seen(self):
        return {int(line.split(" unit ")[1].split()[0]) for line in self.lines() if line.startswith("request ")}


def south_tcp(device, timeout=500, extra=""):
    return (f'<SouthPort type="tcp" id="1" host="127.0.0.1" tcp_port="{device.port}" timeout="{timeout}" '
            f'cache_polling_cycle="600000" {extra}/>')


def expected_pdu(unit, fc, addr, count):
    return bytes([fc, 2 * count]) + b"".join(
        struct.pack(">H", ((unit << 8) | fc) ^ ((addr + i) & 0xFFFF)) for i in range(count))


class Checker(Raw):
    """A master whose reads vary unit (1, 2), function (3, 4), address and
    count, so that every answer fits exactly one request. Each answer is
    checked against the request its transaction id names; the misfits are
    kept in `wrong`."""

    def __init__(self, port, base=0):
        super().__init__(port)
        self.base, self.tid, self.sent, self.wrong = base, 0, {}, []

    def _check(self, answer):
        tid, unit, pdu = answer
        req = self.sent.get(tid)
        if req is None or unit != req[0] or pdu != expected_pdu(*req):
            self.wrong.append((tid, req, unit, pdu[:16].hex(), len(pdu)))
            return False
        return True

    def exchange(self, timeout=1.2):
        """One read: "right", "absent" or "wrong" for its own answer."""
        i, self.tid = self.tid, self.tid + 1
        # Units alternate, so each key (function, address, count) is read
        # from unit 1 and then from unit 2.
        req = (1 + i % 2, 3 if (i // 2) % 2 == 0 else 4, self.base + (i // 2) * 7, 1 + (i // 2) % 3)
        self.sent[self.tid] = req
        self.send(read_req(self.tid, req[0], req[2], req[3], req[1]))
        deadline = time.monotonic() + timeout
        try:
            while a := self.response(deadline - time.monotonic()):
                ok = self._check(a)
                if a[0] == self.tid:
                    return "right" if ok else "wrong"
        except struct.error:  # a header too short to carry a unit id
            self.wrong.append((self.tid, req, None, self.buf[:16].hex(), 0))
            self.buf = b""
            return "wrong"
        return "absent"


# --- a device that answers twice, late, with wrong ids or oversized -----------------------

# Behaviour and how many requests get it, per framing. MBAP answers are
# matched by transaction id; an MBAP answer with the right id but another
# unit id (wrong_unit) carries the request's own data and must not be cached
# as the other unit's. RTU answers are matched by unit id and function code.
MBAP_CASES = [("twice", 2), ("late", 1), ("wrong_tid", 2), ("wrong_unit", 2), ("len65535", 1)]
RTU_CASES = [("twice", 2), ("late", 1), ("wrong_unit", 2), ("wrong_fc", 2), ("oversized", 1)]


@pytest.fixture(scope="module")
def hostile_gw(request, tmp_path_factory):
    """A gateway with a cached north port in front of hostile_device.py. An
    RTU device takes 150 ms to answer: a stray answer and the next right one
    are then apart by more than the gateway's 50 ms frame gap."""
    framer = request.param
    north, tmp = free_port(), tmp_path_factory.mktemp(framer)
    with Hostile(tmp, framer, 150 if framer == "rtu" else 0) as dev:
        extra = 'rtu_over_tcp="true"' if framer == "rtu" else ""
        xml = server_xml(south_tcp(dev, 500, extra) + TABLE +
                         f'<NorthPort type="tcp" id="1" tcp_port="{north}" idle_time="0" cache="true">'
                         '<Table ip="*" id="1"/></NorthPort>')
        with Gateway(tmp, xml) as gw:
            gw.wait_log("been connected.")
            gw.wait_listening()
            yield dev, gw, north


@pytest.mark.parametrize("hostile_gw,behaviour,count,base", [
    (framer, behaviour, count, 1000 * i) for framer, cases in (("socket", MBAP_CASES), ("rtu", RTU_CASES))
    for i, (behaviour, count) in enumerate(cases, 1)], indirect=["hostile_gw"])
def test_answers_reach_only_the_request_they_answer(hostile_gw, behaviour, count, base):
    dev, gw, north = hostile_gw
    m = Checker(north, base=base)  # addresses of its own: nothing of the case is in the cache yet
    assert [m.exchange() for _ in range(4)] == ["right"] * 4, (m.wrong, gw.log()[-3000:])

    # The oversized RTU answer carries a forged MBAP answer for the master's next request.
    dev.misbehave(behaviour, count, m.tid + 2 if behaviour == "oversized" else None)
    during = [m.exchange() for _ in range(count + 2)]
    assert dev.count(f"hostile {behaviour}") == count
    assert m.wrong == [], ("someone else's answer", during, m.wrong)

    # The device is well again: within a few seconds (a reconnect after
    # len65535) every answer is right.
    wait_for(lambda: m.exchange() == "right" or m.wrong, 6, what="an answer after the hostile one")
    after = [m.exchange() for _ in range(6)]
    assert m.wrong == [] and after == ["right"] * 6, (after, m.wrong, gw.log()[-3000:])
    m.close()


@pytest.mark.parametrize("framer", ["socket", "rtu"])
def test_many_masters_at_once_each_get_their_own_answers(tmp_path, framer):
    """Eight masters read at once through one south port: every answer is
    the master's own (tid, unit, values), none is missing, and the device
    never has two requests outstanding."""
    north = free_port()
    with Hostile(tmp_path, framer, 2) as dev:
        extra = 'rtu_over_tcp="true" time_interval="5"' if framer == "rtu" else ""
        xml = server_xml(south_tcp(dev, 2000, extra) + TABLE +
                         f'<NorthPort type="tcp" id="1" tcp_port="{north}" idle_time="0" cache="false" '
                         'time_interval="0" max_conn="16"><Table ip="*" id="1"/></NorthPort>')
        with Gateway(tmp_path, xml) as gw:
            gw.wait_log("been connected.")
            gw.wait_listening()
            masters = [Checker(north, base=1000 * i) for i in range(8)]
            results = [[] for _ in masters]

            def run(i):
                results[i] = [masters[i].exchange(timeout=3.0) for _ in range(30)]

            threads = [threading.Thread(target=run, args=(i,)) for i in range(len(masters))]
            for t in threads:
                t.start()
            for t in threads:
                t.join(120)
            assert all(r == ["right"] * 30 for r in results), ([m.wrong for m in masters], results)
            assert dev.count("overlap") == 0
            assert len([line for line in dev.lines() if line.startswith("request ")]) == 8 * 30
            for m in masters:
                m.close()


# --- oversized requests from masters --------------------------------------------------------

def rtu_exchange(sock, unit, addr, count, timeout=1.5):
    """An RTU-over-TCP read of holding registers; the answer's bytes (CRC
    checked, CRC removed) or None."""
    sock.sendall(with_crc(struct.pack(">BBHH", unit, 3, addr, count)))
    want, data = 5 + 2 * count, b""
    deadline = time.monotonic() + timeout
    while len(data) < want and select.select([sock], [], [], max(0.0, deadline - time.monotonic()))[0]:
        if not (chunk := sock.recv(1 << 17)):
            break
        data += chunk
    return data[:-2] if len(data) == want and crc16(data[:-2]) == data[-2] | data[-1] << 8 else None


def test_oversized_rtu_over_tcp_request_smuggles_nothing_past_the_table(tmp_path):
    """One RTU message whose frame (CRC excluded) is 65542 bytes: a length
    cut to 16 bits for the MBAP header keeps its first 6 bytes (a routed
    read of unit 1); the device would then take the bytes after them as a
    write to unit 9, which this master's table does not route. Its CRC is
    the one a checksum over the cut length gives."""
    north = free_port()
    with Hostile(tmp_path) as dev:
        xml = server_xml(south_tcp(dev) +
                         '<TableList><Table id="1"><Item node_id_req="1" node_id_phy="1" south_port="1"/></Table>'
                         f'</TableList><NorthPort type="tcp" id="1" tcp_port="{north}" idle_time="0" cache="false">'
                         '<Table ip="*" id="1" rtu_over_tcp="true"/></NorthPort>')
        with Gateway(tmp_path, xml) as gw:
            gw.wait_log("been connected.")
            gw.wait_listening()
            s = socket.create_connection(("127.0.0.1", north), timeout=3)
            assert rtu_exchange(s, 1, 0, 2) == bytes([1]) + expected_pdu(1, 3, 0, 2)

            body = struct.pack(">BBHH", 1, 3, 40, 1)
            body += struct.pack(">HHHBBHH", 0x0909, 0, 6, 9, 6, 7, 0x1234)  # write 0x1234 to unit 9
            body += struct.pack(">HHH", 0x0A0A, 0, 0x10006 - len(body) - 6)
            body += bytes(0x10006 - len(body))
            assert len(body) == 65542
            s.sendall(with_crc(body, len(body) & 0xFFFF))
            # The same connection goes on being served (each try follows a
            # silence that ends any RTU message before it).
            answered, deadline = False, time.monotonic() + 6
            while not answered and time.monotonic() < deadline:
                time.sleep(0.2)
                answered = rtu_exchange(s, 1, 3, 1) == bytes([1]) + expected_pdu(1, 3, 3, 1)
            assert 9 not in dev.units_seen(), dev.lines()
            assert answered
            s.close()


class Reader(threading.Thread):
    """A master reading unit 1's holding register 5 over and over;
    `results` holds (time, answered right) and `wrong` anything else."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.results, self.wrong, self.stop = port, [], [], threading.Event()

    def run(self):
        m, tid = Raw(self.port), 0
        while not self.stop.is_set():
            tid = tid % 0xFFFF + 1
            a = m.read(tid, 1, 5, 1, timeout=1.0)
            if a is not None and registers(a[2]) != [105]:
                self.wrong.append(a)
            self.results.append((time.monotonic(), a is not None))
            self.stop.wait(0.05)
        m.close()

    def served_since(self, t):
        return sum(1 for when, ok in self.results if ok and when > t)


@pytest.mark.parametrize("announced", [300, 65535])
def test_oversized_mbap_request_never_reaches_the_serial_line(tmp_path, announced):
    """The request starts with a complete RTU read of register 77 (CRC
    included), so the device would log it if any of it reached the line."""
    north = free_port()
    body = ('<SouthPort type="rtu" id="1" port="1" timeout="500"/>' + TABLE +
            f'<NorthPort type="tcp" id="1" tcp_port="{north}" idle_time="0" cache="false">'
            '<Table ip="*" id="1"/></NorthPort>')
    with rtu_line(tmp_path, 1) as (_, device), \
            Gateway(tmp_path, server_xml(body), serial_prefix=str(tmp_path / "ttyAP")) as gw:
        gw.wait_log("south port serial has been started.")
        gw.wait_listening()
        other = Reader(north)
        other.start()
        try:
            wait_for(lambda: other.served_since(0), 10, what="the other master served")
            m = Raw(north)
            payload = with_crc(struct.pack(">BBHH", 1, 3, 77, 1))
            payload += b"\x01" * (announced - len(payload))  # 8-byte frames of unit 1 with bad CRCs
            sent = time.monotonic()
            m.send(struct.pack(">HHH", 0x0301, 0, announced) + payload + read_req(0x0302, 1, 6, 1))
            answers, deadline = [], time.monotonic() + 5
            while 0x0302 not in [a[0] for a in answers] and (a := m.response(deadline - time.monotonic())):
                answers.append(a)
            assert [a[0] for a in answers] == [0x0302] and registers(answers[0][2]) == [106], answers
            wait_for(lambda: other.served_since(sent) >= 3, 5, what="the other master served meanwhile")
        finally:
            other.stop.set()
            other.join(5)
        assert other.wrong == []
        assert device.count("read 3 77 1") == 0
        m.close()


# --- admission ----------------------------------------------------------------------------------

def north_xml(device, north, attrs):
    return server_xml(south_tcp(device) + TABLE +
                      f'<NorthPort type="tcp" id="1" tcp_port="{north}" cache="false" {attrs}>'
                      '<Table ip="*" id="1"/></NorthPort>')


def read_once(port, tid, timeout=0.4, want=expected_pdu(1, 3, 0, 1)):
    """Connects, reads unit 1's register 0, closes: True when the answer is `want`."""
    try:
        m = Raw(port)
    except OSError:
        return False
    try:
        a = m.read(tid, 1, 0, 1, timeout=timeout)
        return a is not None and a[2] == want
    finally:
        m.close()


@pytest.mark.parametrize("leaving", ["close", "idle"])
def test_reject_serves_a_retrying_master_soon_after_a_slot_frees(tmp_path, leaving):
    """max_conn 2 with reject: two masters leave (close, or fall silent past
    idle_time 1000), while a third connects and reads every 0.5 s."""
    north = free_port()
    with Hostile(tmp_path) as dev, \
            Gateway(tmp_path, north_xml(dev, north, 'max_conn="2" max_conn_method="reject" idle_time="1000"')) as gw:
        gw.wait_log("been connected.")
        gw.wait_listening()
        masters = []
        for i in range(2):
            masters.append(Raw(north))
            gw.wait_log(ADMITTED, count=i + 1)
        assert all(m.read(i + 1, 1, 0, 1) for i, m in enumerate(masters))
        freed = time.monotonic() + (1.0 if leaving == "idle" else 0.0)
        if leaving == "close":
            for m in masters:
                m.close()
        served, tid = None, 100
        while served is None and time.monotonic() < freed + 3.0:
            attempt = time.monotonic()
            tid += 1
            if read_once(north, tid):
                served = time.monotonic()
            else:
                time.sleep(max(0.0, attempt + 0.5 - time.monotonic()))  # the master's retry period
        for m in masters:
            m.close()
        assert served is not None, gw.log()[-3000:]
        assert served - freed < 2.5


def test_clients_closed_by_their_masters_are_removed_at_once(tmp_path):
    north = free_port()
    with Hostile(tmp_path) as dev, Gateway(tmp_path, north_xml(dev, north, 'max_conn="16" idle_time="0"')) as gw:
        gw.wait_log("been connected.")
        gw.wait_listening()
        idle_threads = idle_thread_count(gw)
        masters = []
        for i in range(8):
            masters.append(Raw(north))
            gw.wait_log(ADMITTED, count=i + 1)
        assert len(gw.thread_names()) == idle_threads + 16  # two per client
        exits = f"[north tcp : {north}] :exit a client"
        for m in masters:
            m.close()
        gw.wait_log(exits, 1.5, count=8)
        wait_for(lambda: len(gw.thread_names()) == idle_threads, 1.0, what="the clients' threads gone")


# --- requests without a route -------------------------------------------------------------

def test_request_without_route_is_dropped_at_once_with_one_line(tmp_path):
    """Unit 5 has no item (and the table no "*"), unit 6 names a south port
    that does not exist; the routed read queued behind them is answered."""
    north = free_port()
    with Hostile(tmp_path) as dev:
        xml = server_xml(south_tcp(dev) +
                         '<TableList><Table id="1"><Item node_id_req="1" node_id_phy="1" south_port="1"/>'
                         '<Item node_id_req="6" node_id_phy="6" south_port="7"/></Table></TableList>'
                         f'<NorthPort type="tcp" id="1" tcp_port="{north}" idle_time="0" cache="false" '
                         'north_list_size="4"><Table ip="*" id="1"/></NorthPort>')
        with Gateway(tmp_path, xml) as gw:
            gw.wait_log("been connected.")
            gw.wait_listening()
            m = Raw(north)
            assert m.read(1, 1, 0, 1) is not None
            since = len(gw.lines)
            for tid, unit in ((2, 5), (3, 6), (4, 5)):
                # One receive per request: the gateway takes one request from each.
                received = gw.count("NORTH TCP <-")
                m.send(read_req(tid, unit, tid, 1))
                gw.wait_log("NORTH TCP <-", count=received + 1)
            a = m.read(5, 1, 2, 1, timeout=1.0)
            time.sleep(0.5)  # a window in which a re-offered request would log again
            assert len(gw.levels(3, since)) == 3, gw.levels(3, since)[:10]
            assert a is not None and a[2] == expected_pdu(1, 3, 2, 1), a
            assert dev.units_seen() == {1}
            m.close()


# --- serial settings no line can have ------------------------------------------------------

@pytest.mark.parametrize("attr,value", [("byte_size", "2147483647"), ("byte_size", "2"), ("stop_bits", "7"),
                                        ("baudrate", "-5"), ("timeout", "-1")])
def test_impossible_serial_settings_get_defaults(tmp_path, attr, value):
    """Also meant for the AddressSanitizer/UBSan build (TRELLIS_BIN=build-asan/trellis)."""
    north = free_port()
    settings = {"timeout": "500", attr: value}
    south = '<SouthPort type="rtu" id="1" port="1" ' + " ".join(f'{k}="{v}"' for k, v in settings.items()) + "/>"
    body = south + TABLE + f'<NorthPort type="tcp" id="1" tcp_port="{north}" idle_time="0" cache="false">' \
                           '<Table ip="*" id="1"/></NorthPort>'
    with rtu_line(tmp_path, 1), Gateway(tmp_path, server_xml(body), serial_prefix=str(tmp_path / "ttyAP")) as gw:
        wait_for(lambda: any(attr in line for line in gw.levels(4)), 5,
                 what=lambda: f"a level-4 line naming {attr}\n" + gw.log()[-3000:])
        gw.wait_listening()
        wait_for(lambda: read_once(north, 1, 1.5, bytes([3, 2, 0, 100])), 10,
                 what=lambda: "an answer\n" + gw.log()[-3000:])
