"""The south TCP port: a raw Modbus TCP master in front, tcp_device.py (MBAP
or RTU over TCP, IPv4 or IPv6) behind. Unit 10 * n goes to unit 1 and
10 * n + 1 to unit 2 of south port n."""
import signal
import struct
import time

import pytest

from gateway import Gateway, Peer, Raw, free_port, mbap, registers, wait_for


def config(north_port, south_ports, cache="false"):
    """south_ports: (port id, host, device port, extra attributes)."""
    south = "\n".join(f'<SouthPort type="tcp" id="{i}" host="{h}" tcp_port="{p}" timeout="300" {extra}/>'
                      for i, h, p, extra in south_ports)
    items = "".join(f'<Item node_id_req="{10 * i}" node_id_phy="1" south_port="{i}"/>'
                    f'<Item node_id_req="{10 * i + 1}" node_id_phy="2" south_port="{i}"/>' for i, *_ in south_ports)
    return f"""<tTrellisServer enable="true">{south}
  <TableList><Table id="1">{items}</Table></TableList>
  <NorthPort type="tcp" id="1" tcp_port="{north_port}" idle_time="0" cache="{cache}"><Table ip="*" id="1"/></NorthPort>
</tTrellisServer>"""


class Master(Raw):
    """Numbers its reads; regs() gives the registers, or None without an answer."""
    tid = 0

    def regs(self, unit, address=0, count=10, timeout=1.0):
        self.tid += 1
        a = self.read(self.tid, unit, address, count, timeout=timeout)
        return registers(a[2]) if a else None


def thread_counts(gw):
    """How many send and cache threads the gateway runs."""
    names = gw.thread_names()
    return names.count("mbtcp_send_proc"), names.count("update_cache_pr")


@pytest.mark.parametrize("framer,host", [("socket", "127.0.0.1"), ("rtu", "127.0.0.1"), ("socket", "::1")])
def test_reads_and_writes_reach_the_device_with_mapped_unit_ids(tmp_path, framer, host):
    north, dev_port = free_port(), free_port()
    extra = 'rtu_over_tcp="true"' if framer == "rtu" else ""
    with Peer(tmp_path, "tcp_device.py", "--host", host, "--port", dev_port, "--units", "1,2",
              "--framer", framer) as dev, Gateway(tmp_path, config(north, [(3, host, dev_port, extra)])) as gw:
        gw.wait_log(f"[tcp] has ip:[{host}] port:[{dev_port}] been connected.")
        gw.wait_listening()
        m = Master(north)
        for _ in range(3):
            assert m.regs(30) == list(range(100, 110))
        m.send(mbap(99, 31, struct.pack(">BHH", 6, 4, 777)))  # write single register: echoed
        assert m.response()[2] == struct.pack(">BHH", 6, 4, 777)
        assert m.regs(31, 4, 1) == [777]
        m.close()
        assert dev.count("read 3 0 10 unit 1") == 3 and dev.count("write 3 4 1 unit 2") == 1
        if framer == "socket":  # the gateway's own transaction ids, one per request
            assert [line for line in dev.lines() if line.startswith("tid ")] == [f"tid {i}" for i in range(5)]


def test_stopped_device_times_out_and_a_restarted_one_is_served_again(tmp_path):
    north, port_a, port_b = free_port(), free_port(), free_port()
    dev_a, dev_b = Peer(tmp_path, "tcp_device.py", "--port", port_a), Peer(tmp_path, "tcp_device.py", "--port", port_b)
    try:
        xml = config(north, [(1, "127.0.0.1", port_a, ""), (2, "127.0.0.1", port_b, "")])
        with Gateway(tmp_path, xml) as gw:
            gw.wait_log("been connected.", count=2)
            gw.wait_listening()
            m = Master(north)
            assert m.regs(10) is not None
            wait_for(lambda: thread_counts(gw) == (2, 2), 5, what="both ports' send and cache threads")

            dev_a.close()
            gw.wait_log(f"ip:[127.0.0.1] port:[{port_a}] disconnected.", 5)
            assert m.regs(10) is None
            assert m.regs(20) is not None, "the other port keeps serving"
            wait_for(lambda: thread_counts(gw) == (1, 1), 5, what="port 1's threads closed")
            # The pair of messages comes with the tenth failed attempt.
            gw.wait_log(f"[tcp] ip:[127.0.0.1] port:[{port_a}] connect fail.", 20)
            gw.wait_log("[tcp] reconnecting...")
            log = gw.log()
            assert log[:log.index("connect fail.")].count(f"connect to 127.0.0.1:{port_a} failed") == 10

            dev_a = Peer(tmp_path, "tcp_device.py", "--port", port_a)
            started = time.monotonic()
            gw.wait_log("been connected.", 5, count=3)
            assert time.monotonic() - started < 2.0
            assert m.regs(10) is not None
            wait_for(lambda: thread_counts(gw) == (2, 2), 5, what="both ports' send and cache threads")
            m.close()
    finally:
        dev_a.close()
        dev_b.close()


def test_cache_answers_repeats_and_drops_entries_of_a_silent_device(tmp_path):
    north, dev_port = free_port(), free_port()
    xml = config(north, [(1, "127.0.0.1", dev_port, 'cache_polling_cycle="1000"')], cache="true")
    with Peer(tmp_path, "tcp_device.py", "--port", dev_port) as dev, Gateway(tmp_path, xml) as gw:
        gw.wait_log("been connected.")
        gw.wait_listening()
        m = Master(north)
        assert m.regs(10) == list(range(100, 110))
        assert dev.count("read 3 0 10") == 1
        for _ in range(10):
            assert m.regs(10) == list(range(100, 110))
        gw.wait_log("[tcp]: get req from cache", 2, count=10)
        # Only the refresh passes (one a second) reach the device.
        assert dev.count("read 3 0 10") <= 3
        wait_for(lambda: dev.count("read 3 0 10") >= 3, 5, what="refresh requests")

        # A device that keeps its connection but stops answering: the
        # entry goes after one refresh pass, and the next read goes to the device.
        dev.proc.send_signal(signal.SIGSTOP)
        gw.wait_log("delete a cache data", 5)
        assert gw.count("disconnected.") == 0
        misses = gw.count("can not get ack from cache")
        dev.proc.send_signal(signal.SIGCONT)
        assert wait_for(lambda: m.regs(10), 5, what="an answer after the device resumed") == list(range(100, 110))
        gw.wait_log("can not get ack from cache", 2, count=misses + 1)
        m.close()
