"""Start-up, configuration lookup, exit codes, signals and the tag socket."""
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import time
import xml.etree.ElementTree as ET

import pytest

from gateway import BIN, TABLE, Gateway, PtyPair, free_port, read_answer, server_xml, wait_for

EMPTY = '<tTrellisServer enable="true"/>'


def wait_ready(gw):
    gw.wait_log("serial num = ")
    wait_for(lambda: os.path.exists(gw.tag_socket) or gw.proc.poll() is not None, 5, what="tag socket")
    assert gw.proc.poll() is None, gw.log()


def wait_exit(gw):
    wait_for(lambda: gw.proc.poll() is not None, 10, what="process exit")
    return gw.stop()


def serial_num(gw):
    gw.wait_log("serial num = ")
    return int(re.search(r"serial num = (\d+)", gw.log()).group(1))


def test_configuration_lookup_order_and_exit_codes(tmp_path):
    # The binary under another base name looks for <name>.acr: first in the
    # project directory, then in its own directory.
    binary = str(tmp_path / "gwlook")
    shutil.copy2(BIN, binary)
    project = tmp_path / "project"
    project.mkdir()
    (tmp_path / "gwlook.acr").write_text(server_xml('<SouthPort type="udp" id="1"/>'))
    (project / "gwlook.acr").write_text(server_xml('<SouthPort type="ascii" id="1"/>'))
    with Gateway(tmp_path, binary=binary, env={"TARNWICK_PROJECT_DIR": str(project)}) as gw:
        wait_ready(gw)
        assert gw.count(f"config_file = {project}/gwlook.acr") == 1
        assert serial_num(gw) == 1  # the project's file
    # An empty variable counts as unset: the default directory is searched.
    with Gateway(tmp_path, binary=binary, env={"TARNWICK_PROJECT_DIR": ""}) as gw:
        wait_ready(gw)
        assert gw.count("Config file = /opt/tarnwick/project/gwlook.acr") == 1
        assert gw.count(f"config_file = {tmp_path}/gwlook.acr") == 1
        assert serial_num(gw) == 0
        wait_for(lambda: gw.stdout_lines[:1] == [f"{binary} gwlook"], 5, what="path and base name on stdout")
    assert gw.count("exit_handler()") == 1
    os.remove(tmp_path / "gwlook.acr")
    with Gateway(tmp_path, binary=binary, env={"TARNWICK_PROJECT_DIR": str(tmp_path / "none")}) as gw:
        assert wait_exit(gw) == 253
        assert gw.count(f"failed to open file: {tmp_path}/gwlook.acr! error = 2") == 1
    with Gateway(tmp_path, env={"TARNWICK_PROJECT_DIR": "/" + "d" * 4100}) as gw:
        assert wait_exit(gw) == 0
        assert gw.count("BOF(rc != 0) failed") == 1 and gw.count("no config file!") == 1


@pytest.mark.parametrize("xml,serial,marker", [
    ('<tTrellisServer enable="false"><SouthPort type="ascii" id="1"/></tTrellisServer>', 0, "NOT ENABLE SERVER"),
    ("this is not xml <", 0, "fail to parse"),
    ('<tTrellis><Server enable="true"><SouthPort type="ascii" id="1"/></Server></tTrellis>', 1, "match old version"),
    (server_xml(TABLE + '<NorthPort type="rtu" id="1"/>'), 0, 'no "SouthPort"'),
    (server_xml('<SouthPort type="ascii" id="1"/><SouthPort type="udp" id="2"/>' + TABLE), 1, 'no "NorthPort"'),
])
def test_layouts_and_files_without_a_server_keep_running(tmp_path, xml, serial, marker):
    """The gateway runs on (no north port created) until SIGTERM; "ascii" counts a serial port, "udp" not."""
    with Gateway(tmp_path, xml, serial_prefix=str(tmp_path / "nodev")) as gw:
        wait_ready(gw)
        assert gw.count(marker) == 1
        assert serial_num(gw) == serial
        assert gw.count("start to creat north port") == 0
        if serial == 0:
            assert gw.tag_command("list") == ["OK"]
        assert gw.proc.poll() is None


# --- command line, signals and exit codes -----------------------------------

@pytest.mark.parametrize("args,code", [(["-V"], 0), (["-h"], 0), (["--bogus"], 2), (["-l", "9"], 2), (["-c"], 2)])
def test_command_line_exit_codes(args, code):
    out = subprocess.run([BIN] + args, capture_output=True, text=True, timeout=10)
    assert out.returncode == code, out.stderr


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_signal_stops_the_gateway_promptly_and_removes_the_tag_socket(tmp_path, sig):
    port = free_port()
    body = ('<SouthPort type="udp" id="1" host="127.0.0.1" udp_port="9"/>' + TABLE +
            f'<NorthPort type="tcp" id="1" tcp_port="{port}"><Table ip="*" id="1"/></NorthPort>')
    with Gateway(tmp_path, server_xml(body)) as gw:
        wait_ready(gw)
        # Connected clients (a Modbus master, a tag client) must not hold the exit up.
        gw.wait_listening()
        master = socket.create_connection(("127.0.0.1", port), timeout=1)
        lingering = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        lingering.connect(gw.tag_socket)
        started = time.monotonic()
        assert gw.stop(sig, timeout=5) == 0
        assert time.monotonic() - started < 2.0
        lingering.close()
        master.close()
    assert not os.path.exists(gw.tag_socket)


# --- the tag socket ------------------------------------------------------------

@pytest.fixture(scope="module")
def idle_gateway(tmp_path_factory):
    gw = Gateway(tmp_path_factory.mktemp("tags"), EMPTY)
    wait_ready(gw)
    yield gw
    assert gw.stop() == 0


@pytest.mark.parametrize("line,answer", [
    ("list", "OK"),
    ("bogus", "ERR unknown command"),
    ("", "ERR empty command"),
    ("read", "ERR usage: read NAME"),
    ("read #TRELLIS_COM9", "ERR unknown tag"),
    ("write #TRELLIS_COM9 1", "ERR unknown tag"),
    ("write #TRELLIS_COM9 nan", "ERR bad value"),
])
def test_tag_socket_answers(idle_gateway, line, answer):
    assert stat.S_IMODE(os.stat(idle_gateway.tag_socket).st_mode) == 0o600
    assert idle_gateway.tag_command(line) == [answer]


def test_split_and_overlong_lines(idle_gateway):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(idle_gateway.tag_socket)
        s.sendall(b"li")
        s.sendall(b"st\r\nbogus\n" + b"x" * 1024 + b"\n")  # 1024 bytes is still a line
        answers = []
        while len(answers) < 3:
            answers += read_answer(s)
        assert answers == ["OK", "ERR unknown command", "ERR unknown command"]
        s.sendall(b"y" * 3000 + b"\n")
        assert read_answer(s) == ["ERR line too long"]
        assert read_answer(s) == []  # closed
    assert idle_gateway.tag_command("list") == ["OK"]


def test_silent_clients_are_dropped_without_blocking_others(idle_gateway):
    silent = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    silent.connect(idle_gateway.tag_socket)
    half = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    half.connect(idle_gateway.tag_socket)
    half.sendall(b"lis")  # a line never finished
    started = time.monotonic()
    assert idle_gateway.tag_command("list", timeout=2) == ["OK"]
    for s in (silent, half):
        assert read_answer(s, timeout=10) == ["ERR idle"]
        assert read_answer(s) == []  # closed
        s.close()
    assert time.monotonic() - started >= 4.0  # not before the idle limit


def test_many_clients_at_once_are_capped_and_the_service_goes_on(idle_gateway):
    clients = [socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) for _ in range(40)]
    try:
        answers = []
        for s in clients:
            s.connect(idle_gateway.tag_socket)
        for s in clients:
            try:
                s.sendall(b"list\n")
            except (BrokenPipeError, ConnectionResetError):
                pass
            answers.append(read_answer(s))
        assert (answers.count(["OK"]), answers.count(["ERR too many clients"])) == (32, 8)
    finally:
        for s in clients:
            s.close()
    wait_for(lambda: idle_gateway.tag_command("list") == ["OK"], 5, what="tag service after the crowd")


def test_stale_socket_file_is_replaced_and_a_live_one_stops_start_up(tmp_path):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as stale:
        stale.bind(str(tmp_path / "tags.sock"))  # the file stays, nobody listens
    with Gateway(tmp_path, EMPTY) as gw:
        wait_ready(gw)
        assert gw.tag_command("list") == ["OK"]
        # While it listens, a second gateway on the same socket gives up with 255.
        with Gateway(tmp_path, EMPTY) as second:
            assert wait_exit(second) == 255
            assert second.count("tagbus_init failed! error =") == 1
        assert gw.tag_command("list") == ["OK"]


# --- the example configurations -----------------------------------------------

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../examples")


@pytest.mark.parametrize("name", sorted(f for f in os.listdir(EXAMPLES) if f.endswith(".acr")))
def test_example_configuration_loads_without_warnings(tmp_path, name):
    with open(os.path.join(EXAMPLES, name)) as f:
        xml = f.read()
    # Free listening ports instead of the example's, so the test never collides.
    xml = re.sub(r'\b(tcp_port|udp_port)="\d+"', lambda m: f'{m.group(1)}="{free_port()}"', xml)
    ptys = [PtyPair(tmp_path, f"ttyAP{n}", f"dev{n}") for n in range(4)]
    try:
        with Gateway(tmp_path, xml, serial_prefix=str(tmp_path / "ttyAP")) as gw:
            wait_ready(gw)
            gw.wait_log("config file has been paresed.")
            # Running: every north TCP port listens and every serial line has its tag.
            gw.wait_listening(sum(e.get("type") == "tcp" for e in ET.fromstring(xml).iter("NorthPort")))
            serial = serial_num(gw)
            wait_for(lambda: len(gw.tag_command("list")) == serial + 1, 12, what="serial port tags")
            # Log lines read "<date> <time> <level> ...": nothing at level 4 or below.
            assert [l for l in gw.lines if re.match(r"\S+ \S+ [0-4] ", l)] == []
    finally:
        for p in ptys:
            p.close()
