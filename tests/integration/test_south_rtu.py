"""The south RTU port in the real binary: its status tag on the tag socket
(read, close the line with 0, reopen it with 1), and requests reaching a
pymodbus RTU device behind a pty before and after the reopen."""
import time

from gateway import TABLE, Gateway, Raw, free_port, registers, rtu_line, server_xml, wait_for

TAG = "#TRELLIS_COM1"


def read_through(port, tid, addr, count, timeout=3.0):
    """Holding registers of unit 1 through the gateway, or None without an answer."""
    m = Raw(port)
    try:
        a = m.read(tid, 1, addr, count, timeout=timeout)
        return registers(a[2]) if a else None
    finally:
        m.close()


def test_tag_reads_closes_and_reopens_the_line(tmp_path):
    port = free_port()
    body = ('<SouthPort type="rtu" id="1" port="1" timeout="1000"/>' + TABLE +
            f'<NorthPort type="tcp" id="1" tcp_port="{port}" cache="false"><Table ip="*" id="1"/></NorthPort>')
    with rtu_line(tmp_path, 1) as (pty, _), \
            Gateway(tmp_path, server_xml(body), serial_prefix=str(tmp_path / "ttyAP")) as gw:
        gw.wait_log("south port serial has been started.")
        gw.wait_listening()
        wait_for(lambda: gw.tag_command("list") == [f"{TAG} 1 0", "OK"], 5, what="open line's tag")
        assert wait_for(lambda: read_through(port, 1, 0, 3), 10, what="an answer") == [100, 101, 102]

        answer = gw.tag_command(f"read {TAG}")
        assert answer[1] == "OK"
        name, value, quality, stamp = answer[0].split()
        assert (name, value, quality) == (TAG, "1", "0")
        seconds, micros = stamp.split(".")
        assert abs(int(seconds) - time.time()) < 5
        printed = f"tag name = {TAG}, value = 1.000000, quality = 0000H, time = {seconds}.{int(micros)}"
        wait_for(lambda: printed in gw.stdout_lines, 5, what="read line on stdout")

        # 0 closes the line through the port's change_state, 1 reopens it.
        assert gw.tag_command(f"write {TAG} 0") == ["OK"]
        gw.wait_log(f"serial_port_change_state [{pty.gateway_end}] has been closed")
        assert any(line.endswith("on_write_tag: 147") for line in gw.lines)
        wait_for(lambda: f"tag name = {TAG}, value = 0.000000" in gw.stdout_lines, 5, what="write line on stdout")
        assert gw.tag_command("list") == [f"{TAG} 0 0", "OK"]
        assert read_through(port, 2, 0, 1, timeout=1.5) is None

        assert gw.tag_command(f"write {TAG} 1.0") == ["OK"]
        gw.wait_log("south port serial has been started.", count=2)
        gw.wait_log(f"{pty.gateway_end} open:", count=2)
        wait_for(lambda: gw.tag_command("list") == [f"{TAG} 1 0", "OK"], 5, what="tag value 1 after the reopen")
        assert wait_for(lambda: read_through(port, 3, 10, 2), 10, what="an answer after the reopen") == [110, 111]
        assert gw.count("tagbus_add failed") == 0  # registered once, not again on the reopen
