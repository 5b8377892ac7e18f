"""Operating the binary: --check, readiness and journal lines, the installed
files, the statistics."""
import os
import shutil
import socket
import subprocess

import pytest

from gateway import BIN, TABLE, Gateway, Raw, free_port, registers, rtu_line, server_xml, stats_of, wait_for

# What a gateway logs (at level 7) when it opens something; --check must not.
OPENING = ["has been started", "tcp ipv6 bind finish", "tag service listening", "open:", "failed to open seriial",
           "start south tcp", "connect fail"]


def check(*args, env=None):
    return subprocess.run([BIN, "--check", *args], capture_output=True, text=True, timeout=20,
                          env={**os.environ, **(env or {})})


def config(tcp_port):
    return server_xml(
        '<SouthPort type="rtu" id="1" port="1" timeout="1000"/>'
        '<SouthPort type="tcp" id="2" host="127.0.0.1" tcp_port="1"/>'
        '<TableList><Table id="1"><Item node_id_req="*" south_port="1"/>'
        '<Item node_id_req="9" south_port="2"/></Table></TableList>'
        f'<NorthPort type="tcp" id="1" tcp_port="{tcp_port}" cache="false"><Table ip="*" id="1"/></NorthPort>')


def test_check_opens_nothing_while_a_gateway_holds_the_same_ports(tmp_path):
    port = free_port()
    (tmp_path / "same.acr").write_text(config(port))
    with rtu_line(tmp_path, 1), Gateway(tmp_path, config(port), serial_prefix=str(tmp_path / "ttyAP")) as gw:
        gw.wait_listening()
        gw.wait_log("south port serial has been started.")
        # The same file, the same serial prefix and tag socket, traces on.
        r = check("-c", str(tmp_path / "same.acr"), "-l", "7", "--serial-prefix", str(tmp_path / "ttyAP"),
                  "--tag-socket", gw.tag_socket)
        assert (r.returncode, r.stdout) == (0, ""), r.stderr
        assert "config file has been paresed." in r.stderr  # the load did run
        assert not [line for line in r.stderr.splitlines() if any(o in line for o in OPENING)], r.stderr
        # The running gateway lost nothing: line, listener and tag socket.
        m = Raw(port)
        try:
            a = m.read(1, 1, 0, 2, timeout=5)
            assert a and registers(a[2]) == [100, 101]
        finally:
            m.close()
        assert gw.tag_command("list") == ["#TRELLIS_COM1 1 0", "OK"]
        # Without -l the check prints nothing at all on a clean file.
        r = check("-c", str(tmp_path / "same.acr"))
        assert (r.returncode, r.stdout, r.stderr) == (0, "", "")


def test_check_exit_codes_and_the_file_it_looks_for(tmp_path):
    bad = tmp_path / "bad.acr"
    bad.write_text('<tTrellisServer enable="true">\n'
                   '  <SouthPort type="tcp" id="1" host="127.0.0.1" timeout="x"/>\n'
                   '  <SouthPort type="modbus" id="2"/>\n'
                   '</tTrellisServer>\n')
    r = check("-c", str(bad))
    assert r.returncode == 1
    assert r.stdout.splitlines() == [
        f'{bad}:1: no TableList element: no request can be routed',
        f'{bad}:2: attribute timeout="x" of <SouthPort> is not a decimal integer; using 1000',
        f'{bad}:3: SouthPort type "modbus" is not a port type (tcp, udp, rtu, ascii, serial_transparent_transmission, '
        'tcp_transparent_transmission, udp_transparent_transmission): no port is created']

    # Without -c: <program>.acr in the project directory, as start-up looks.
    project = tmp_path / "project"
    project.mkdir()
    (project / "trellis.acr").write_text(bad.read_text())
    r = check(env={"TARNWICK_PROJECT_DIR": str(project)})
    assert r.returncode == 1 and r.stdout.startswith(f"{project}/trellis.acr:1: "), r.stdout

    r = check("-c", str(tmp_path / "missing.acr"))
    assert (r.returncode, r.stdout) == (2, f"{tmp_path}/missing.acr:0: cannot be read: No such file or directory\n")
    (tmp_path / "broken.acr").write_text('<tTrellisServer enable="true">\n<SouthPort type="tcp" id="1"\n')
    r = check("-c", str(tmp_path / "broken.acr"))
    assert r.returncode == 2 and r.stdout.startswith(f"{tmp_path}/broken.acr:2: not well-formed XML: "), r.stdout


def test_readiness_is_notified_once_the_ports_are_started_and_journal_lines_carry_the_priority(tmp_path):
    notify_path = str(tmp_path / "notify.sock")
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as notify:
        notify.bind(notify_path)
        notify.settimeout(10)
        port = free_port()
        body = ('<SouthPort type="tcp" id="1" host="127.0.0.1" tcp_port="1"/>'
                '<TableList><Table id="1"><Item node_id_req="*" south_port="1"/></Table></TableList>'
                f'<NorthPort type="tcp" id="1" tcp_port="{port}"><Table ip="*" id="1"/></NorthPort>')
        # JOURNAL_STREAM names the gateway's stderr only when it is that very
        # file: a file we give it, whose device and inode we know.
        log_path = tmp_path / "journal.log"
        with open(log_path, "w") as log:
            st = os.fstat(log.fileno())
            (tmp_path / "j.acr").write_text(server_xml(body))
            proc = subprocess.Popen([BIN, "-c", str(tmp_path / "j.acr"), "--tag-socket", str(tmp_path / "t.sock")],
                                    stdout=subprocess.DEVNULL, stderr=log,
                                    env={**os.environ, "NOTIFY_SOCKET": notify_path,
                                         "JOURNAL_STREAM": f"{st.st_dev}:{st.st_ino}"})
        try:
            assert notify.recv(64) == b"READY=1"
            text = log_path.read_text()
            # Every port's start line came before readiness.
            assert "start south tcp single mode" in text and "north port tcp has been started." in text, text
            wait_for(lambda: "readiness sent" in log_path.read_text(), 5, what="readiness line")
        finally:
            proc.terminate()
            assert proc.wait(5) == 0
    lines = log_path.read_text().splitlines()
    assert lines and all(line.startswith("<") for line in lines), lines[:3]
    assert any(line.startswith("<5>plat_process:") and "readiness sent" in line for line in lines), lines


def test_install_lays_out_the_files_the_unit_verifies_and_the_binary_declares_its_capabilities(tmp_path):
    build = os.path.dirname(BIN)
    if not os.path.exists(os.path.join(build, "cmake_install.cmake")):
        pytest.skip("the binary under test is not in a build directory")
    dest = tmp_path / "dest"
    r = subprocess.run(["cmake", "--install", build], capture_output=True, text=True, timeout=60,
                       env={**os.environ, "DESTDIR": str(dest)})
    assert r.returncode == 0, r.stdout + r.stderr
    installed = {str(p.relative_to(dest)) for p in dest.rglob("*") if p.is_file()}
    prefix = next(p[:-len("/bin/trellis")] for p in installed if p.endswith("/bin/trellis"))
    etc = "etc" if prefix == "usr" else f"{prefix}/etc"
    assert {f"{prefix}/bin/trellis", f"{prefix}/lib/systemd/system/trellis.service", f"{etc}/trellis/trellis.acr",
            f"{prefix}/share/doc/trellis/README.md", f"{prefix}/share/doc/trellis/configuration.md",
            f"{prefix}/share/doc/trellis/examples/tcp_to_tcp.acr"} <= installed, installed

    binary = dest / prefix / "bin" / "trellis"
    section = tmp_path / "capabilities"
    dump = subprocess.run(["objcopy", "--dump-section", f".capabilities={section}", str(binary), str(tmp_path / "o")],
                          capture_output=True, text=True)
    assert dump.returncode == 0, dump.stderr
    assert section.read_bytes() == b"CAP_NET_RAW=+eip CAP_NET_ADMIN=+eip\n"

    # The installed configuration is clean, and the unit names it.
    config = dest / etc / "trellis" / "trellis.acr"
    assert subprocess.run([str(binary), "--check", "-c", str(config)], capture_output=True).returncode == 0
    unit = (dest / prefix / "lib/systemd/system/trellis.service").read_text()
    assert f"ExecStart=/{prefix}/bin/trellis -c /{etc}/trellis/trellis.acr " in unit
    for setting in ["Type=notify", "Restart=on-failure", "RuntimeDirectory=trellis", "NoNewPrivileges=yes",
                    "ProtectSystem=strict", "PrivateTmp=yes", "SupplementaryGroups=dialout"]:
        assert f"\n{setting}\n" in unit, setting
    if not shutil.which("systemd-analyze"):
        pytest.skip("systemd-analyze is not installed")
    # verify wants the executable where the unit says: point it at the copy.
    local = tmp_path / "trellis.service"
    local.write_text(unit.replace(f"/{prefix}/bin/trellis", str(binary)))
    r = subprocess.run(["systemd-analyze", "verify", str(local)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0 and r.stderr == "", r.stderr


def test_stats_count_exactly_what_the_peers_did(tmp_path):
    """5 distinct reads, 3 repeats (cache hits), 2 reads nobody answers and
    one RTU-over-TCP request with a bad CRC (no answer): the stats command
    and trellis --stats show exactly that."""
    port = free_port()
    body = ('<SouthPort type="rtu" id="1" port="1" timeout="300" cache_polling_cycle="600000"/>' + TABLE +
            f'<NorthPort type="tcp" id="4" tcp_port="{port}" idle_time="0" cache="true">'
            '<Table ip="127.0.0.2" id="1" rtu_over_tcp="true"/><Table ip="*" id="1"/></NorthPort>')
    with rtu_line(tmp_path, 1), Gateway(tmp_path, server_xml(body), serial_prefix=str(tmp_path / "ttyAP")) as gw:
        gw.wait_log("south port serial has been started.")
        gw.wait_listening()
        m = Raw(port)
        for tid, addr in enumerate((0, 10, 20, 30, 40), 1):
            assert m.read(tid, 1, addr, 2) is not None
        for tid in (6, 7, 8):
            assert m.read(tid, 1, 10, 2) is not None
        for tid in (9, 10):
            assert m.read(tid, 5, 0, 1, timeout=1.0) is None
        with socket.create_connection(("127.0.0.1", port), source_address=("127.0.0.2", 0), timeout=3) as r:
            r.sendall(bytes([1, 3, 0, 0, 0, 1, 0x12, 0x34]))
            gw.wait_log("CRC checksum fail")
        wait_for(lambda: gw.stats()["south1"]["timeouts"] == 2, 5, what="time-outs")
        # The RTU master has gone: swept by the server's next pass.
        wait_for(lambda: gw.stats()["north4"]["clients"] == 1, 5, what="one client")
        answer = gw.tag_command("stats")
        assert answer[-1] == "OK"
        north, south = stats_of(answer)["north4"], stats_of(answer)["south1"]
        assert answer[0].startswith("PORT south rtu 1 ") and answer[1].startswith("PORT north tcp 4 ")
        assert {k: north[k] for k in ("requests", "answers", "framing_drops", "dropped", "clients")} == \
            {"requests": 10, "answers": 8, "framing_drops": 1, "dropped": 0, "clients": 1}
        assert {k: south[k] for k in ("requests", "answers", "timeouts", "cache_hits", "cache_misses")} == \
            {"requests": 10, "answers": 8, "timeouts": 2, "cache_hits": 3, "cache_misses": 7}
        # MBAP requests of 12 bytes and the 8 bad ones; answers of two registers are 13 bytes;
        # 7 RTU requests of 8 bytes reached the line.
        assert (north["bytes_in"], north["bytes_out"], south["bytes_out"]) == (10 * 12 + 8, 8 * 13, 7 * 8)
        # The command line shows the same from outside.
        out = subprocess.run([BIN, "--stats", "--tag-socket", gw.tag_socket], capture_output=True, text=True,
                             timeout=10)
        assert out.returncode == 0, out.stderr
        assert stats_of(out.stdout.splitlines())["south1"]["cache_hits"] == 3
        m.close()
