"""The south TCP port in the real binary: a pymodbus Modbus TCP master in
front of trellis, pymodbus Modbus TCP and RTU-over-TCP devices behind it."""
import logging
import os
import signal
import subprocess
import threading
import time

import pytest

from gateway import Gateway, free_port, wait_for

logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
from pymodbus.client import ModbusTcpClient  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DEVICE = os.path.join(HERE, "..", "peers", "tcp_device.py")


class Device:
    """tests/peers/tcp_device.py as a child process; its event lines in `lines`."""

    def __init__(self, port, units="1", framer="socket", host="127.0.0.1"):
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", DEVICE, "--host", host, "--port", str(port), "--units", units,
             "--framer", framer], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.lines = []
        self._thread = threading.Thread(target=self._pump, daemon=True)
        self._thread.start()
        wait_for(lambda: "ready" in self.lines or self.proc.poll() is not None, 15, what="device ready")
        assert self.proc.poll() is None, "the device did not start"

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.append(line.strip())

    def count(self, prefix):
        return sum(1 for l in list(self.lines) if l.startswith(prefix))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def config(north_port, south_ports, cache="false"):
    """south_ports: (port id, device port, extra attributes); req id 10 * id
    goes to phy id 1 and 10 * id + 1 to phy id 2 of south port id."""
    south = "\n".join(f'  <SouthPort type="tcp" id="{i}" host="127.0.0.1" tcp_port="{p}" timeout="300" {extra}/>'
                      for i, p, extra in south_ports)
    items = "\n".join(f'<Item node_id_req="{10 * i}" node_id_phy="1" south_port="{i}"/>'
                      f'<Item node_id_req="{10 * i + 1}" node_id_phy="2" south_port="{i}"/>'
                      for i, _, _ in south_ports)
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<tTrellisServer enable="true">
{south}
  <TableList><Table id="1">{items}</Table></TableList>
  <NorthPort type="tcp" id="1" tcp_port="{north_port}" idle_time="0" cache="{cache}"><Table ip="*" id="1"/></NorthPort>
</tTrellisServer>
"""


def master(port, timeout=1.0):
    client = ModbusTcpClient("127.0.0.1", port=port)
    client.params.timeout = timeout  # the constructor truncates it to an int
    assert client.connect()
    return client


def read(client, unit, address=0, count=10):
    """Holding registers through the gateway, or None without an answer."""
    r = client.read_holding_registers(address, count, slave=unit)
    return None if r.isError() else r.registers


def task_names(gw):
    names = []
    task_dir = f"/proc/{gw.proc.pid}/task"
    for task in os.listdir(task_dir):
        try:
            with open(f"{task_dir}/{task}/comm") as f:
                names.append(f.read().strip())
        except OSError:
            pass  # the thread ended meanwhile
    return names


@pytest.mark.parametrize("framer", ["socket", "rtu"])
def test_reads_and_writes_reach_the_device_with_mapped_unit_ids(tmp_path, framer):
    north, dev_port = free_port(), free_port()
    dev = Device(dev_port, units="1,2", framer=framer)
    extra = 'rtu_over_tcp="true"' if framer == "rtu" else ""
    try:
        with Gateway(tmp_path, config(north, [(3, dev_port, extra)])) as gw:
            gw.wait_log("been connected.")
            client = master(north)
            for _ in range(3):
                assert read(client, 30) == list(range(100, 110))
            assert not client.write_register(4, 777, slave=31).isError()
            assert read(client, 31, 4, 1) == [777]
            client.close()
            assert "read 3 0 10 unit 1" in dev.lines
            assert "write 3 4 1 unit 2" in dev.lines
            if framer == "socket":
                tids = [l for l in dev.lines if l.startswith("tid ")]
                assert tids == ["tid 0", "tid 1", "tid 2", "tid 3", "tid 4"]
            assert gw.stop() == 0
    finally:
        dev.stop()


def test_stopped_device_times_out_and_a_restarted_one_is_served_again(tmp_path):
    north, port_a, port_b = free_port(), free_port(), free_port()
    dev_a, dev_b = Device(port_a), Device(port_b)
    try:
        with Gateway(tmp_path, config(north, [(1, port_a, ""), (2, port_b, "")])) as gw:
            gw.wait_log("been connected.", count=2)
            client = master(north)
            assert read(client, 10) is not None
            names = task_names(gw)
            assert names.count("mbtcp_send_proc") == 2 and names.count("update_cache_pr") == 2, names

            dev_a.stop()
            gw.wait_log(f"ip:[127.0.0.1] port:[{port_a}] disconnected.", 5)
            assert read(client, 10) is None
            assert read(client, 20) is not None, "the other port keeps serving"
            wait_for(lambda: task_names(gw).count("mbtcp_send_proc") == 1, 5, what="port 1's threads closed")
            # The pair of messages comes with the tenth failed attempt.
            gw.wait_log(f"[tcp] ip:[127.0.0.1] port:[{port_a}] connect fail.", 20)
            gw.wait_log("[tcp] reconnecting...")
            log = gw.log()
            before = log[:log.index("connect fail.")]
            assert before.count(f"connect to 127.0.0.1:{port_a} failed") == 10

            dev_a = Device(port_a)
            started = time.monotonic()
            gw.wait_log("been connected.", 5, count=3)
            assert time.monotonic() - started < 2.0
            assert read(client, 10) is not None
            names = task_names(gw)
            assert names.count("mbtcp_send_proc") == 2 and names.count("update_cache_pr") == 2, names
            client.close()
            assert gw.stop() == 0
    finally:
        dev_a.stop()
        dev_b.stop()


def test_cache_answers_repeats_and_drops_entries_of_a_silent_device(tmp_path):
    north, dev_port = free_port(), free_port()
    dev = Device(dev_port)
    try:
        config_xml = config(north, [(1, dev_port, 'cache_polling_cycle="1000"')], cache="true")
        with Gateway(tmp_path, config_xml) as gw:
            gw.wait_log("been connected.")
            client = master(north)
            assert read(client, 10) == list(range(100, 110))
            wait_for(lambda: dev.count("read 3 0 10") == 1, 2, what="the first read at the device")
            reads = 1
            for _ in range(10):
                assert read(client, 10) == list(range(100, 110))
            gw.wait_log("[tcp]: get req from cache", 2, count=10)
            # Only the refresh passes (one a second) reach the device.
            assert dev.count("read 3 0 10") <= reads + 2
            wait_for(lambda: dev.count("read 3 0 10") >= reads + 2, 5, what="refresh requests")

            # A device that keeps its connection but stops answering: the
            # entry goes after one refresh pass.
            dev.proc.send_signal(signal.SIGSTOP)
            gw.wait_log("delete a cache data", 5)
            assert gw.count("disconnected.") == 0
            dev.proc.send_signal(signal.SIGCONT)
            settled = [dev.count("read 3 0 10")]

            def quiet():
                now = dev.count("read 3 0 10")
                same = now == settled[0]
                settled[0] = now
                return same
            wait_for(quiet, 5, interval=0.5, what="the late refresh requests served")
            misses = 1  # the first read
            assert read(client, 10) == list(range(100, 110))
            # Output lines arrive through pipes: wait for them rather than
            # look once.
            wait_for(lambda: dev.count("read 3 0 10") > settled[0], 2, what="the next read at the device")
            gw.wait_log("can not get ack from cache", 2, count=misses + 1)
            client.close()
            assert gw.stop() == 0
    finally:
        dev.stop()


def test_ipv6_device(tmp_path):
    north, dev_port = free_port(), free_port()
    dev = Device(dev_port, host="::1")
    try:
        xml = config(north, [(1, dev_port, "")]).replace('host="127.0.0.1"', 'host="::1"')
        with Gateway(tmp_path, xml) as gw:
            gw.wait_log(f"[tcp] has ip:[::1] port:[{dev_port}] been connected.")
            client = master(north)
            assert read(client, 10, 5, 2) == [105, 106]
            client.close()
            assert gw.stop() == 0
    finally:
        dev.stop()
