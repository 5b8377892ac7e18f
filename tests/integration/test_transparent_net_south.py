"""The south TCP and UDP transparent ports against raw_device.py, with raw
masters on north serial transparent ports (pty lines 1 and 2) or on the
north TCP and UDP transparent ports."""
import socket
import time

from gateway import TABLE, Gateway, Peer, Udp, free_port, lines, server_xml, wait_for


def south(kind, dev_port, extra="", host="127.0.0.1"):
    port_attr = "tcp_port" if kind == "tcp" else "udp_port"
    return (f'<SouthPort type="{kind}_transparent_transmission" id="1" host="{host}" {port_attr}="{dev_port}" '
            f'time_interval="20" {extra}/>')


def north(port, nid):
    return (f'<NorthPort type="serial_transparent_transmission" id="{nid}" port="{port}" time_interval="40">'
            f'<Table ip="*" id="1"/></NorthPort>')


def gateway(tmp_path, body):
    return Gateway(tmp_path, server_xml(body), serial_prefix=str(tmp_path / "ttyAP"))


def device(tmp_path, kind, port, *args):
    return Peer(tmp_path, "raw_device.py", f"--{kind}", "--port", port, *args)


def counts(gw):
    """(requests, answers, timeouts, dropped) of south port 1."""
    south = gw.stats()["south1"]
    return tuple(south[k] for k in ("requests", "answers", "timeouts", "dropped"))


def got(dev, data):
    """True once the device has received `data` as one request."""
    return dev.count(f"got {data.hex()}") >= 1


def test_tcp_answers_go_to_their_requests_in_the_order_sent(tmp_path):
    dev_port = free_port()
    body = (south("tcp", dev_port, 'transmission_mode="answer_mode" south_list_size="3" timeout="3000"') + TABLE +
            north(1, 1) + north(2, 2))
    with lines(tmp_path, 2) as (_, (a, b)), device(tmp_path, "tcp", dev_port, "--delay", 1500) as dev, \
            gateway(tmp_path, body) as gw:
        gw.wait_log(f"ip:[127.0.0.1] port:[{dev_port}] has been connected.")
        gw.wait_log("north port serial has been started.", count=2)
        # Three requests from two masters, all sent before the first answer
        # comes: each answer goes to the request it answers.
        for line, data in ((a, b"a1"), (b, b"b1"), (a, b"a2")):
            line.write(data)
            wait_for(lambda: got(dev, data), 3, what=f"device got {data}")
        assert a.quiet(0.05) and b.quiet(0.01), "an answer came before the device gave it"
        assert a.read(10, timeout=5) == b"re:a1re:a2"
        assert b.read(5) == b"re:b1"
        gw.wait_log("SOUTH TCP TRANSPARENT <- 72 65 3A 61 32")

        # An answer in two pieces far apart is two blocks: the first answers
        # the request, the second finds nothing waiting and is dropped.
        a.write(b"split it")
        assert a.read(5) == b"re:sp"
        gw.wait_log("with no request waiting for them, dropped")
        assert a.quiet(0.3) and b.quiet(0.1)
        wait_for(lambda: counts(gw) == (4, 4, 0, 0), 3, what=lambda: f"statistics {counts(gw)}")
        assert gw.stop(timeout=3) == 0


def test_tcp_device_restarted_reconnects_releases_what_waited_and_relays_again(tmp_path):
    dev_port = free_port()
    body = (south("tcp", dev_port, 'transmission_mode="answer_mode" south_list_size="2" timeout="5000"') + TABLE +
            north(1, 1))
    with lines(tmp_path, 1) as (_, (a,)), gateway(tmp_path, body) as gw:
        with device(tmp_path, "tcp", dev_port) as dev:
            gw.wait_log("has been connected.")
            a.write(b"hello")
            assert a.read(8) == b"re:hello"
            a.write(b"silent, waits")  # no answer: it waits in the wait list
            wait_for(lambda: got(dev, b"silent, waits"), 3, what="device got the silent request")
        gw.wait_log(f"ip:[127.0.0.1] port:[{dev_port}] disconnected.")
        gw.wait_log("0 queued and 1 waiting requests released")

        # Offered while the device is away: refused as busy, kept by the north
        # port, sent once the device is back.
        a.write(b"while away")
        gw.wait_log("RVOF(south_port->sock != PLAT_INVALID_HANDLE,1) failed")
        with device(tmp_path, "tcp", dev_port) as dev:
            gw.wait_log("has been connected.", timeout=5, count=2)
            assert a.read(13, timeout=5) == b"re:while away"
            assert not got(dev, b"silent, waits")
            assert a.quiet(0.3)
            wait_for(lambda: counts(gw) == (3, 2, 0, 1), 3, what=lambda: f"statistics {counts(gw)}")
            assert gw.stop(timeout=3) == 0


def test_tcp_listen_mode_over_ipv6_broadcasts_and_refuses_offers(tmp_path):
    dev_port = free_port()
    body = south("tcp", dev_port, 'transmission_mode="listen_mode"', host="::1") + TABLE + north(1, 1) + north(2, 2)
    with lines(tmp_path, 2) as (_, (a, b)), gateway(tmp_path, body) as gw:
        # The device greets as soon as it is connected: it comes once the
        # north lines are open to hear it.
        gw.wait_log("north port serial has been started.", count=2)
        with device(tmp_path, "tcp", dev_port, "--host", "::1", "--greet", "reading 42") as dev:
            gw.wait_log(f"ip:[::1] port:[{dev_port}] has been connected.")
            assert a.read(10) == b"reading 42"
            assert b.read(10) == b"reading 42"
            a.write(b"ignored")
            gw.wait_log("south port is in listen mode, do not push request")
            time.sleep(0.2)
            assert dev.count("got") == 0
            assert gw.stop(timeout=3) == 0


def test_tcp_transparent_mode_by_default_sends_and_broadcasts_the_reply(tmp_path):
    dev_port = free_port()
    body = south("tcp", dev_port) + TABLE + north(1, 1) + north(2, 2)
    with lines(tmp_path, 2) as (_, (a, b)), device(tmp_path, "tcp", dev_port) as dev, gateway(tmp_path, body) as gw:
        gw.wait_log("has been connected.")
        gw.wait_log("north port serial has been started.", count=2)
        b.write(b"abc")
        wait_for(lambda: got(dev, b"abc"), 3, what="device got abc")
        assert a.read(6) == b"re:abc"
        assert b.read(6) == b"re:abc"
        # Released once sent: nothing waits, so nothing times out.
        wait_for(lambda: counts(gw) == (1, 0, 0, 0), 3, what=lambda: f"statistics {counts(gw)}")
        assert gw.stop(timeout=3) == 0


def test_udp_answers_by_default_only_from_the_devices_address_and_port(tmp_path):
    dev_port = free_port()
    body = south("udp", dev_port, 'south_list_size="2" timeout="600"') + TABLE + north(1, 1) + north(2, 2)
    with lines(tmp_path, 2) as (_, (a, b)), device(tmp_path, "udp", dev_port, "--delay", 300) as dev, \
            gateway(tmp_path, body) as gw:
        gw.wait_log("south port udp transparent has been started.")
        gw.wait_log("north port serial has been started.", count=2)
        # Two in flight, answered in order, each to its own master.
        a.write(b"ping")
        wait_for(lambda: got(dev, b"ping"), 3, what="device got ping")
        b.write(b"pong")
        assert a.read(7) == b"re:ping"
        assert b.read(7) == b"re:pong"
        gw.wait_log(f"SOUTH UDP TRANSPARENT -> IP:127.0.0.1  port:{dev_port}")

        # The same address from another port: dropped with its line; the
        # request gets nothing and times out.
        a.write(b"stranger")
        gw.wait_log("device IP or port is not registered in the configuration file")
        assert a.quiet(1.0) and b.quiet(0.1)
        wait_for(lambda: counts(gw) == (3, 2, 1, 0), 3, what=lambda: f"statistics {counts(gw)}")
        assert gw.stop(timeout=3) == 0


def test_network_masters_reach_network_devices_through_both_relays(tmp_path):
    tcp_dev, udp_dev, tcp_north, udp_north = (free_port() for _ in range(4))
    tables = "".join(f'<Table id="{t}"><Item node_id_req="*" south_port="{t}"/></Table>' for t in (1, 2))
    body = (south("tcp", tcp_dev, 'transmission_mode="answer_mode"') +
            south("udp", udp_dev).replace('id="1"', 'id="2"') + f"<TableList>{tables}</TableList>" +
            f'<NorthPort type="tcp_transparent_transmission" id="1" tcp_port="{tcp_north}" time_interval="20">'
            '<Table ip="*" id="1"/></NorthPort>'
            f'<NorthPort type="udp_transparent_transmission" id="2" udp_port="{udp_north}">'
            '<Table ip="127.0.0.1" id="2"/></NorthPort>')
    with device(tmp_path, "tcp", tcp_dev), device(tmp_path, "udp", udp_dev), \
            Gateway(tmp_path, server_xml(body)) as gw:
        gw.wait_listening()
        gw.wait_log("has been connected.")
        gw.wait_log("north port udp has been started.")
        with socket.create_connection(("127.0.0.1", tcp_north), timeout=3) as peer:
            peer.sendall(b"over tcp")
            got_back = b""
            while len(got_back) < 11 and (chunk := peer.recv(64)):
                got_back += chunk
            assert got_back == b"re:over tcp"
        with Udp() as sender:
            sender.send(b"over udp", udp_north)
            assert sender.receive() == (b"re:over udp", ("127.0.0.1", udp_north))
        assert gw.stop(timeout=3) == 0
