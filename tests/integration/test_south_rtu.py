"""The south RTU port in the real binary: its status tag closes and reopens
the line, and requests reach a pymodbus RTU device behind a pty before and
after a reopen."""
import os
import socket
import struct
import subprocess

from gateway import Gateway, PtyPair, free_port, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
DEVICE = os.path.join(HERE, "..", "peers", "rtu_device.py")
TAG = "#TRELLIS_COM1"


def config(tcp_port):
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<tTrellisServer enable="true">
  <SouthPort type="rtu" id="1" port="1" timeout="1000"/>
  <TableList><Table id="1"><Item node_id_req="*" south_port="1"/></Table></TableList>
  <NorthPort type="tcp" id="1" tcp_port="{tcp_port}" cache="false"><Table ip="*" id="1"/></NorthPort>
</tTrellisServer>
"""


def read_registers(tcp_port, tid, addr, count, timeout=3.0):
    """One Modbus TCP read of holding registers of unit 1; the values or None."""
    with socket.create_connection(("127.0.0.1", tcp_port), timeout=timeout) as s:
        s.sendall(struct.pack(">HHHBBHH", tid, 0, 6, 1, 3, addr, count))
        data = b""
        try:
            while len(data) < 9 + 2 * count:
                chunk = s.recv(512)
                if not chunk:
                    return None
                data += chunk
        except socket.timeout:
            return None
    assert struct.unpack(">H", data[:2])[0] == tid
    return list(struct.unpack(f">{count}H", data[9:9 + 2 * count]))


def tag_value(gw):
    for line in gw.tag_command("list"):
        parts = line.split()
        if parts and parts[0] == TAG:
            return float(parts[1])
    return None


def test_tag_closes_and_reopens_the_line(tmp_path):
    tcp_port = free_port()
    with PtyPair(tmp_path, "ttyAP0", "dev0") as pty:
        device = subprocess.Popen(["/usr/bin/python3", DEVICE, "--port", pty.device_end, "--unit", "1"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            assert device.stdout.readline().strip() == "ready"
            with Gateway(tmp_path, config(tcp_port), serial_prefix=str(tmp_path / "ttyAP")) as gw:
                gw.wait_log("south port serial has been started.")
                wait_for(lambda: tag_value(gw) == 1.0, 5, what="tag value 1 while open")
                assert wait_for(lambda: read_registers(tcp_port, 1, 0, 3), 10,
                                what="an answer through the line") == [100, 101, 102]

                assert gw.tag_command(f"write {TAG} 0")[-1] == "OK"
                gw.wait_log(f"serial_port_change_state [{pty.gateway_end}] has been closed")
                assert tag_value(gw) == 0.0
                assert read_registers(tcp_port, 2, 0, 1, timeout=1.5) is None

                assert gw.tag_command(f"write {TAG} 1")[-1] == "OK"
                gw.wait_log("south port serial has been started.", count=2)
                wait_for(lambda: tag_value(gw) == 1.0, 5, what="tag value 1 after the reopen")
                assert wait_for(lambda: read_registers(tcp_port, 3, 10, 2), 10,
                                what="an answer after the reopen") == [110, 111]
                assert gw.count("tagbus_add failed") == 0
                assert gw.stop() == 0
        finally:
            device.terminate()
            device.wait(5)
