"""The north TCP and UDP transparent ports: raw TCP peers and UDP senders in
front, south serial transparent ports on pty lines behind (1 answer mode, 2
and 3 listen mode, 4 transparent mode, 5 listen mode for the admission
policies alone; table N leads to south port N). One
gateway serves the module, each test on its own north port(s) or peers."""
import contextlib
import socket
import time

import pytest

from gateway import ADMITTED, Gateway, Raw, Udp, free_port, lines, server_xml

ADMITTED = "[tcp transparent] " + ADMITTED
WARNING = "NORTH PORT TCP TRANSPARENT MODE CALLBACK WARNING, MAX CONNECTION IS 16"

# The third peer at max_conn 2, per policy: the two peers' source addresses,
# the newcomer's, who is closed (an index, or "new") and the line logged for
# it. The list runs oldest first: among equally quiet peers the older goes.
POLICIES = {
    "reject": ("reject", "12", "1", "new", "reject socket"),
    "oldest": ("drop_oldest_connect", "11", "1", 0, "remove oldest socket"),
    "lazy_first_talked": ("drop_most_lazy", "11", "1", 1, "remove most lazy socket"),
    "lazy_silent": ("drop_most_lazy", "11", "1", 0, "remove most lazy socket"),
    "same_ip": ("drop_same_ip", "12", "2", 1, "remove same ip socket"),
    "no_same_ip": ("drop_same_ip", "12", "3", "new", "can not find same ip client !"),
}
TCP_PORTS = ["relay", "sixteen", "one", *POLICIES]


def config(p):
    def south(sid, mode):
        return (f'<SouthPort type="serial_transparent_transmission" id="{sid}" port="{sid}" timeout="1500" '
                f'baudrate="115200" time_interval="30" transmission_mode="{mode}"/>')

    def tcp(name, nid, rules, extra=""):
        return (f'<NorthPort type="tcp_transparent_transmission" id="{nid}" tcp_port="{p[name]}" idle_time="0" '
                f'{extra}>{rules}</NorthPort>')

    tables = "".join(f'<Table id="{t}"><Item node_id_req="*" south_port="{t}"/></Table>' for t in range(1, 6))
    policies = "".join(
        tcp(name, 20 + i, '<Table ip="*" id="5"/>', f'max_conn="2" max_conn_method="{method}"')
        for i, (name, (method, *_)) in enumerate(POLICIES.items()))
    return server_xml(
        south(1, "answer_mode") + south(2, "listen_mode") + south(3, "listen_mode") + south(4, "transparent_mode") +
        south(5, "listen_mode") +
        f"<TableList>{tables}</TableList>" +
        tcp("relay", 1, '<Table ip="127.0.0.2" id="2"/><Table ip="127.0.0.3" id="3"/><Table ip="*" id="1"/>',
            'time_interval="20"') +
        tcp("sixteen", 2, '<Table ip="*" id="4"/>', 'time_interval="150" north_list_size="4"') +
        tcp("one", 3, '<Table ip="*" id="4"/>', 'max_conn="1"') +
        policies +
        f'<NorthPort type="udp_transparent_transmission" id="9" udp_port="{p["udp"]}" time_interval="20">'
        '<Table ip="127.0.0.1" id="1"/><Table ip="127.0.0.6" id="2"/><Table ip="127.0.0.7" id="2"/>'
        '<Table ip="127.0.0.20-127.0.0.29" id="2"/></NorthPort>'
        f'<NorthPort type="udp_transparent_transmission" id="10" udp_port="{p["udp2"]}">'
        '<Table ip="127.0.0.8" id="3"/></NorthPort>')


class Peer(Raw):
    """A raw TCP peer: bytes as they come."""

    def read(self, n, timeout=3.0):
        deadline = time.monotonic() + timeout
        with contextlib.suppress(EOFError):
            while len(self.buf) < n and self._fill(deadline):
                pass
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def read_until(self, expected, timeout=3.0):
        """True once `expected` has arrived (what came before it is dropped)."""
        deadline = time.monotonic() + timeout
        with contextlib.suppress(EOFError):
            while expected not in self.buf and self._fill(deadline):
                pass
        found = expected in self.buf
        self.buf = self.buf[self.buf.find(expected) + len(expected):] if found else b""
        return found

    def quiet(self, seconds):
        """True when nothing arrives within `seconds` (the connection still open)."""
        deadline = time.monotonic() + seconds
        with contextlib.suppress(EOFError):
            while self._fill(deadline):
                pass
        return self.buf == b""


class Bench:
    def __init__(self, gw, ports, devices):
        self.gw, self.ports, self.devices = gw, ports, devices

    def connect(self, name, source="127.0.0.1"):
        """A peer from `source`, once the port has admitted it."""
        before = self.gw.count(ADMITTED)
        peer = Peer(self.ports[name], source)
        self.gw.wait_log(ADMITTED, count=before + 1, timeout=5)
        return peer


@pytest.fixture(scope="module")
def bench(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("tnorth")
    ports = {name: free_port() for name in [*TCP_PORTS, "udp", "udp2"]}
    with lines(tmp, 5) as (_, devices), \
            Gateway(tmp, config(ports), serial_prefix=str(tmp / "ttyAP")) as gw:
        gw.wait_log("south port serial transparent has been started.", count=5)
        gw.wait_listening(len(TCP_PORTS))
        gw.wait_log("north port udp has been started.", count=2)
        yield Bench(gw, ports, devices)
        started = time.monotonic()
        assert gw.stop(timeout=3) == 0, gw.log()[-3000:]
        assert time.monotonic() - started < 3


# --- TCP ----------------------------------------------------------------------------

def test_tcp_peer_and_answer_mode_device_exchange_bytes_both_ways(bench):
    device = bench.devices[0]
    with bench.connect("relay") as peer, bench.connect("relay") as other:
        peer.send(b"hello device")
        assert device.read(12) == b"hello device"
        device.write(b"\x00hello peer\xff")
        assert peer.read(12) == b"\x00hello peer\xff"
        assert other.quiet(0.3)
        # A block as long as a bridge datagram can be goes through whole.
        block = bytes(range(256)) * 40
        other.send(block)
        assert device.read(len(block)) == block
        device.write(b"got it")
        assert other.read(6) == b"got it"
        assert peer.quiet(0.2)


def test_tcp_peers_get_only_their_own_south_ports_broadcasts(bench):
    two, three = bench.devices[1], bench.devices[2]
    with bench.connect("relay", "127.0.0.2") as p2, bench.connect("relay", "127.0.0.3") as p3, \
            bench.connect("relay", "127.0.0.4") as p_any:
        two.write(b"from two")
        assert p2.read(8) == b"from two"
        three.write(b"from three")
        assert p3.read(10) == b"from three"
        assert p2.quiet(0.3) and p3.quiet(0.05) and p_any.quiet(0.05)
        # A listen-mode south port takes no requests.
        p2.send(b"refused")
        bench.gw.wait_log("south port is in listen mode, do not push request")
        assert two.quiet(0.3)


def test_tcp_silence_framing_joins_close_pieces_and_splits_at_the_interval(bench):
    device = bench.devices[3]
    with bench.connect("sixteen") as peer:
        # Pieces 30 ms apart (time_interval 150), then 400 ms of silence.
        for piece in (b"\x01\x02", b"\x03", b"\x04\x05"):
            peer.send(piece)
            time.sleep(0.03)
        time.sleep(0.4)
        peer.send(b"\x06")
        assert device.read(6) == b"\x01\x02\x03\x04\x05\x06"
        bench.gw.wait_log("NORTH TCP TRANSPARENT <- 06")
        assert bench.gw.count("NORTH TCP TRANSPARENT <- 01 02 03 04 05") == 1


def test_transparent_mode_broadcasts_reach_a_port_of_one_connection_only(bench):
    device = bench.devices[3]
    warnings = bench.gw.count(WARNING)
    with bench.connect("sixteen") as many, bench.connect("one") as single:
        single.send(b"req")
        assert device.read(3) == b"req"
        device.write(b"to all")
        assert single.read(6) == b"to all"
        bench.gw.wait_log(WARNING, count=warnings + 1)
        assert many.quiet(0.3)
        # The one-connection port turns a second peer away.
        with Peer(bench.ports["one"]) as second:
            assert second.closed_by_peer()
        device.write(b"again")
        assert single.read(5) == b"again"


@pytest.mark.parametrize("case", list(POLICIES))
def test_third_peer_at_max_conn_2(bench, case):
    method, sources, newcomer, victim, log = POLICIES[case]
    before = bench.gw.count(log)
    peers = [bench.connect(case, f"127.0.0.{src}") for src in sources]
    if method == "drop_most_lazy":
        # Each quiet receive pass (about 100 ms) counts one blank, up to 4.
        time.sleep(1.0)
        if case == "lazy_first_talked":  # the first peer's bytes reset its count
            refused = bench.gw.count("south port is in listen mode, do not push request")
            peers[0].send(b"awake")
            bench.gw.wait_log("south port is in listen mode, do not push request", count=refused + 1)
    admitted = bench.gw.count(ADMITTED)
    peers.append(Peer(bench.ports[case], f"127.0.0.{newcomer}"))
    gone = peers[-1] if victim == "new" else peers[victim]
    assert gone.closed_by_peer()
    bench.gw.wait_log(log, count=before + 1)
    if victim != "new":
        bench.gw.wait_log(ADMITTED, count=admitted + 1)
    # The others stay and hear their south port. The bytes of the case
    # before go to every port bound to it, this one's last: on a busy
    # machine they can still be on their way when these peers are admitted.
    bench.devices[4].write(case.encode())
    for peer in peers:
        if peer is not gone:
            assert peer.read_until(case.encode()), f"peer {peers.index(peer)} not served"
        peer.close()


# --- UDP ----------------------------------------------------------------------------

def test_udp_answers_go_to_the_exact_sender_and_unknown_senders_are_dropped(bench):
    device, port = bench.devices[0], bench.ports["udp"]
    a, b = Udp("127.0.0.1"), Udp("127.0.0.1")
    stranger = Udp("127.0.0.9")
    try:
        a.send(b"ping a", port)
        assert device.read(6) == b"ping a"
        device.write(b"pong a")
        assert a.receive() == (b"pong a", ("127.0.0.1", port))
        assert b.receive(0.3) is None

        b.send(b"ping b", port)
        assert device.read(6) == b"ping b"
        device.write(b"pong b")
        assert b.receive() == (b"pong b", ("127.0.0.1", port))
        assert a.receive(0.3) is None

        refused = bench.gw.count("IP IS NOT EXIST")
        stranger.send(b"who am i", port)
        bench.gw.wait_log("IP IS NOT EXIST", count=refused + 1)
        assert device.quiet(0.3)
    finally:
        for s in (a, b, stranger):
            s.close()


def test_udp_broadcasts_go_to_single_address_rules_at_the_last_peer_port(bench):
    two, port = bench.devices[1], bench.ports["udp"]
    first, second = free_port(), free_port()
    s6, s7 = Udp("127.0.0.6", first), Udp("127.0.0.7", first)
    t6, t7 = Udp("127.0.0.6", second), Udp("127.0.0.7", second)
    ranged = Udp("127.0.0.25")
    try:
        s6.send(b"here", port)  # listen mode: refused, but the port is known now
        bench.gw.wait_log("NORTH UDP TRANSPARENT <- 68 65 72 65")
        two.write(b"first")
        assert s6.receive() == (b"first", ("127.0.0.1", port))
        assert s7.receive() == (b"first", ("127.0.0.1", port))

        ranged.send(b"in range", port)  # a range rule's sender moves nothing
        bench.gw.wait_log("NORTH UDP TRANSPARENT <- 69 6E 20 72 61 6E 67 65")
        two.write(b"still first")
        assert s7.receive() == (b"still first", ("127.0.0.1", port))
        assert s6.receive() == (b"still first", ("127.0.0.1", port))
        assert ranged.receive(0.2) is None

        t7.send(b"moved", port)
        bench.gw.wait_log("NORTH UDP TRANSPARENT <- 6D 6F 76 65 64")
        two.write(b"second")
        assert t6.receive() == (b"second", ("127.0.0.1", port))
        assert t7.receive() == (b"second", ("127.0.0.1", port))
        assert s6.receive(0.2) is None and s7.receive(0.05) is None
    finally:
        for s in (s6, s7, t6, t7, ranged):
            s.close()


def test_udp_broadcast_before_any_single_address_sender_is_not_sent(bench):
    three, port = bench.devices[2], bench.ports["udp2"]
    listener = Udp("127.0.0.8", free_port())
    try:
        skipped = bench.gw.count("nothing sent to 127.0.0.8")
        three.write(b"early")
        bench.gw.wait_log("nothing sent to 127.0.0.8", count=skipped + 1)
        assert listener.receive(0.3) is None
        listener.send(b"hi", port)
        bench.gw.wait_log("NORTH UDP TRANSPARENT <- 68 69")
        three.write(b"late")
        assert listener.receive() == (b"late", ("127.0.0.1", port))
    finally:
        listener.close()
