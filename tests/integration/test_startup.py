"""Start-up, configuration lookup, exit codes, signals and the tag socket,
driven through the real binary."""
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

from gateway import BIN, Gateway, PtyPair, free_port, wait_for

ENABLED_EMPTY = '<?xml version="1.0"?>\n<tTrellisServer enable="true"/>\n'
DISABLED = '<?xml version="1.0"?>\n<tTrellisServer enable="false"><SouthPort type="ascii" id="1"/></tTrellisServer>\n'


def server_xml(body, root="tTrellisServer"):
    if root == "tTrellis":
        return f'<?xml version="1.0"?>\n<tTrellis><Server enable="true">{body}</Server></tTrellis>\n'
    return f'<?xml version="1.0"?>\n<tTrellisServer enable="true">{body}</tTrellisServer>\n'


def copy_binary(directory, name):
    """The binary under another base name: it then looks for <name>.acr."""
    path = os.path.join(str(directory), name)
    shutil.copy2(BIN, path)
    return path


def wait_ready(gw):
    gw.wait_log("serial num = ")
    wait_for(lambda: os.path.exists(gw.tag_socket) or gw.proc.poll() is not None, 5, what="tag socket")
    assert gw.proc.poll() is None, gw.log()


def wait_exit(gw, timeout=10):
    wait_for(lambda: gw.proc.poll() is not None, timeout, what="process exit")
    return gw.stop()


def serial_num(gw):
    gw.wait_log("serial num = ")
    line = next(l for l in gw.log().split("\n") if "serial num = " in l)
    return int(line.split("serial num = ")[1].split()[0])


# --- finding the configuration -------------------------------------------

def test_command_line_path_is_used_and_the_program_names_itself(tmp_path):
    with Gateway(tmp_path, server_xml('<SouthPort type="ascii" id="1"/>')) as gw:
        wait_ready(gw)
        assert gw.count(f"config_file = {gw.config_path}") == 1
        wait_for(lambda: gw.stdout_lines, 5, what="first stdout line")
        assert gw.stdout_lines[0] == f"{BIN} {os.path.basename(BIN)}"
        assert gw.stop() == 0
    assert gw.count("exit_handler()") == 1


def test_project_directory_wins_over_the_executable_directory(tmp_path):
    bin_dir = tmp_path / "bin"
    project = tmp_path / "project"
    bin_dir.mkdir()
    project.mkdir()
    binary = copy_binary(bin_dir, "gwproj")
    (bin_dir / "gwproj.acr").write_text(server_xml('<SouthPort type="udp" id="1"/>'))
    (project / "gwproj.acr").write_text(server_xml('<SouthPort type="ascii" id="1"/>'))
    with Gateway(tmp_path, binary=binary, env={"TARNWICK_PROJECT_DIR": str(project)}) as gw:
        wait_ready(gw)
        assert gw.count(f"config_file = {project}/gwproj.acr") == 1
        assert serial_num(gw) == 1
        assert gw.stop() == 0


def test_file_beside_the_executable_is_found_after_the_default_project_directory(tmp_path):
    binary = copy_binary(tmp_path, "gwbeside")
    (tmp_path / "gwbeside.acr").write_text(ENABLED_EMPTY)
    # An empty variable counts as unset: the default directory is searched.
    with Gateway(tmp_path, binary=binary, env={"TARNWICK_PROJECT_DIR": ""}) as gw:
        wait_ready(gw)
        assert gw.count("Config file = /opt/tarnwick/project/gwbeside.acr") == 1
        assert gw.count(f"config_file = {tmp_path}/gwbeside.acr") == 1
        assert gw.stop() == 0


def test_no_file_anywhere_exits_253(tmp_path):
    binary = copy_binary(tmp_path, "gwnowhere")
    empty = tmp_path / "empty"
    empty.mkdir()
    with Gateway(tmp_path, binary=binary, env={"TARNWICK_PROJECT_DIR": str(empty)}) as gw:
        assert wait_exit(gw) == 253
        assert gw.count(f"failed to open file: {tmp_path}/gwnowhere.acr! error = 2") == 1


def test_a_path_too_long_to_build_means_no_config_file_and_exit_0(tmp_path):
    with Gateway(tmp_path, env={"TARNWICK_PROJECT_DIR": "/" + "d" * 4100}) as gw:
        assert wait_exit(gw) == 0
        assert gw.count("BOF(rc != 0) failed") == 1
        assert gw.count("no config file!") == 1


# --- what the file holds ----------------------------------------------------

@pytest.mark.parametrize("xml,marker", [
    (DISABLED, "NOT ENABLE SERVER"),
    ("this is not xml <", "fail to parse"),
])
def test_no_server_keeps_running_with_no_ports_until_sigterm(tmp_path, xml, marker):
    with Gateway(tmp_path, xml) as gw:
        wait_ready(gw)
        assert gw.count(marker) >= 1
        assert serial_num(gw) == 0
        assert gw.tag_command("list") == ["OK"]
        assert gw.proc.poll() is None
        assert gw.stop() == 0


def test_older_root_layout_is_accepted(tmp_path):
    with Gateway(tmp_path, server_xml('<SouthPort type="ascii" id="1"/>', root="tTrellis")) as gw:
        wait_ready(gw)
        assert gw.count("match old version") == 1
        assert serial_num(gw) == 1
        assert gw.stop() == 0


def test_north_ports_without_south_port_are_not_read(tmp_path):
    body = ('<TableList><Table id="1"><Item node_id_req="*" south_port="1"/></Table></TableList>'
            '<NorthPort type="rtu" id="1" port="1"/>')
    with Gateway(tmp_path, server_xml(body)) as gw:
        wait_ready(gw)
        assert gw.count('no "SouthPort"') == 1
        assert gw.count("start to creat north port") == 0
        assert serial_num(gw) == 0
        assert gw.stop() == 0


def test_ascii_counts_as_a_serial_port_and_udp_does_not(tmp_path):
    body = ('<SouthPort type="ascii" id="1" port="1"/><SouthPort type="udp" id="2"/>'
            '<SouthPort type="tcp" id="3"/>')
    with Gateway(tmp_path, server_xml(body), serial_prefix=str(tmp_path / "nodev")) as gw:
        wait_ready(gw)
        assert serial_num(gw) == 1
        assert gw.stop() == 0


def test_bad_ports_and_ids_are_logged_and_the_gateway_runs_on(tmp_path):
    body = ('<SouthPort id="1"/><SouthPort type="modbus" id="2"/><SouthPort type="udp" id="256"/>'
            '<TableList><Table id="257"/><Table id="1"/></TableList>'
            '<NorthPort type="tcp" id="-1"/>')
    with Gateway(tmp_path, server_xml(body)) as gw:
        wait_ready(gw)
        for text in ("Not Found Type.", "Not Found Right Type.", "SouthPort id 256", "Table id 257",
                     "NorthPort id -1", "config file has been paresed."):
            assert gw.count(text) == 1, text
        assert gw.stop() == 0


# --- command line, signals and exit codes -----------------------------------

@pytest.mark.parametrize("args,code", [(["-V"], 0), (["-h"], 0), (["--bogus"], 2), (["-l", "9"], 2), (["-c"], 2)])
def test_command_line_exit_codes(args, code):
    out = subprocess.run([BIN] + args, capture_output=True, text=True, timeout=10)
    assert out.returncode == code, out.stderr
    if args == ["-V"]:
        assert os.path.basename(BIN) in out.stdout


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_signal_stops_the_gateway_promptly_and_removes_the_tag_socket(tmp_path, sig):
    port = free_port()
    body = ('<SouthPort type="udp" id="1" host="127.0.0.1" udp_port="9"/>'
            '<TableList><Table id="1"><Item node_id_req="*" south_port="1"/></Table></TableList>'
            f'<NorthPort type="tcp" id="1" tcp_port="{port}"><Table ip="*" id="1"/></NorthPort>')
    with Gateway(tmp_path, server_xml(body)) as gw:
        wait_ready(gw)
        # Connected clients (a Modbus master, a tag client) must not hold the exit up.
        master = wait_for(lambda: connect_tcp(port), 5, what="north TCP port")
        lingering = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        lingering.connect(gw.tag_socket)
        started = time.monotonic()
        assert gw.stop(sig, timeout=5) == 0
        assert time.monotonic() - started < 2.0
        lingering.close()
        master.close()
    assert not os.path.exists(gw.tag_socket)
    assert gw.count("exit_handler()") == 1


def connect_tcp(port):
    try:
        return socket.create_connection(("127.0.0.1", port), timeout=1)
    except OSError:
        return None


# --- the tag socket ------------------------------------------------------------

def test_tag_socket_is_owner_only_and_lists_nothing_without_serial_ports(tmp_path):
    with Gateway(tmp_path, server_xml('<SouthPort type="udp" id="1"/>')) as gw:
        wait_ready(gw)
        assert stat.S_IMODE(os.stat(gw.tag_socket).st_mode) == 0o600
        assert gw.tag_command("list") == ["OK"]
        assert gw.stop() == 0


@pytest.mark.parametrize("line,answer", [
    ("bogus", "ERR unknown command"),
    ("", "ERR empty command"),
    ("list extra", "ERR usage: list"),
    ("read", "ERR usage: read NAME"),
    ("read #TRELLIS_COM9", "ERR unknown tag"),
    ("write #TRELLIS_COM9 1", "ERR unknown tag"),
    ("write #TRELLIS_COM9 abc", "ERR bad value"),
    ("write #TRELLIS_COM9 1x", "ERR bad value"),
    ("write #TRELLIS_COM9 nan", "ERR bad value"),
    ("write #TRELLIS_COM9", "ERR usage: write NAME VALUE"),
])
def test_tag_socket_answers_errors(gateway_for_tags, line, answer):
    assert gateway_for_tags.tag_command(line) == [answer]


@pytest.fixture(scope="module")
def gateway_for_tags(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("tags")
    gw = Gateway(tmp, ENABLED_EMPTY)
    wait_ready(gw)
    yield gw
    assert gw.stop() == 0


def read_answer(sock, timeout=5.0):
    """Reads up to a final OK/ERR line or EOF; returns the decoded lines."""
    sock.settimeout(timeout)
    data = b""
    while True:
        try:
            chunk = sock.recv(4096)
        except ConnectionResetError:
            break
        if not chunk:
            break
        data += chunk
        last = data.decode(errors="replace").rstrip("\n").split("\n")[-1]
        if data.endswith(b"\n") and (last == "OK" or last.startswith("ERR")):
            break
    return data.decode(errors="replace").rstrip("\n").split("\n") if data else []


def is_closed(sock, timeout=5.0):
    sock.settimeout(timeout)
    try:
        return sock.recv(4096) == b""
    except ConnectionResetError:
        return True


def test_several_commands_on_one_connection(tmp_path):
    with Gateway(tmp_path, ENABLED_EMPTY) as gw:
        wait_ready(gw)
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(gw.tag_socket)
            # Split across sends, with a CR, two commands in one send.
            s.sendall(b"li")
            s.sendall(b"st\r\nbogus\nlist\n")
            answers = []
            while len(answers) < 3:
                answers += read_answer(s)
            assert answers == ["OK", "ERR unknown command", "OK"]
        assert gw.stop() == 0


def test_overlong_line_is_refused_and_the_client_dropped(tmp_path):
    with Gateway(tmp_path, ENABLED_EMPTY) as gw:
        wait_ready(gw)
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(gw.tag_socket)
            # A line of exactly 1024 bytes is still a (bad) command.
            s.sendall(b"x" * 1024 + b"\n")
            assert read_answer(s) == ["ERR unknown command"]
            s.sendall(b"y" * 3000 + b"\n")
            assert read_answer(s) == ["ERR line too long"]
            assert is_closed(s)
        assert gw.tag_command("list") == ["OK"]
        assert gw.stop() == 0


def test_silent_client_is_dropped_without_blocking_others(tmp_path):
    with Gateway(tmp_path, ENABLED_EMPTY) as gw:
        wait_ready(gw)
        silent = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        silent.connect(gw.tag_socket)
        half = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        half.connect(gw.tag_socket)
        half.sendall(b"lis")  # a line never finished
        started = time.monotonic()
        assert gw.tag_command("list", timeout=2) == ["OK"]
        assert time.monotonic() - started < 1.0
        for s in (silent, half):
            assert read_answer(s, timeout=10) == ["ERR idle"]
            assert is_closed(s)
            s.close()
        assert time.monotonic() - started >= 4.0  # not before the idle limit
        assert gw.tag_command("list") == ["OK"]
        assert gw.stop() == 0


def test_many_clients_at_once_are_capped_and_the_gateway_goes_on(tmp_path):
    with Gateway(tmp_path, ENABLED_EMPTY) as gw:
        wait_ready(gw)
        clients = []
        try:
            for _ in range(40):
                s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                s.connect(gw.tag_socket)
                clients.append(s)
            served = refused = 0
            for s in clients:
                try:
                    s.sendall(b"list\n")
                except (BrokenPipeError, ConnectionResetError):
                    pass
                answer = read_answer(s)
                if answer == ["OK"]:
                    served += 1
                elif answer == ["ERR too many clients"]:
                    refused += 1
            assert (served, refused) == (32, 8)
        finally:
            for s in clients:
                s.close()
        wait_for(lambda: gw.tag_command("list") == ["OK"], 5, what="tag service after the crowd")
        assert gw.stop() == 0


def test_stale_socket_file_is_replaced(tmp_path):
    path = tmp_path / "tags.sock"
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(str(path))
    stale.close()  # the file stays, nobody listens
    with Gateway(tmp_path, ENABLED_EMPTY) as gw:
        wait_ready(gw)
        assert gw.tag_command("list") == ["OK"]
        assert gw.stop() == 0


def test_socket_held_by_a_live_process_stops_start_up_with_255(tmp_path):
    path = tmp_path / "tags.sock"
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as other:
        other.bind(str(path))
        other.listen(1)
        with Gateway(tmp_path, ENABLED_EMPTY) as gw:
            assert wait_exit(gw) == 255
            assert gw.count("tagbus_init failed! error =") == 1
        assert os.path.exists(path)  # the other process keeps its socket


def test_serial_port_tag_is_read_and_written_through_the_socket(tmp_path):
    with PtyPair(tmp_path, "ttyAP0", "dev0"):
        body = '<SouthPort type="rtu" id="1" port="1" baudrate="9600"/>'
        with Gateway(tmp_path, server_xml(body), serial_prefix=str(tmp_path / "ttyAP")) as gw:
            wait_ready(gw)
            wait_for(lambda: gw.tag_command("list") == ["#TRELLIS_COM1 1 0", "OK"], 5, what="open line's tag")

            before = time.time()
            answer = gw.tag_command("read #TRELLIS_COM1")
            assert answer[1] == "OK"
            name, value, quality, stamp = answer[0].split()
            assert (name, value, quality) == ("#TRELLIS_COM1", "1", "0")
            seconds, micros = stamp.split(".")
            assert len(micros) == 6 and abs(int(seconds) - before) < 5
            printed = f"tag name = #TRELLIS_COM1, value = 1.000000, quality = 0000H, time = {seconds}.{int(micros)}"
            wait_for(lambda: printed in gw.stdout_lines, 5, what="read line on stdout")

            # 0 closes the line through the port's change_state, 1 reopens it.
            assert gw.tag_command("write #TRELLIS_COM1 0") == ["OK"]
            gw.wait_log("serial_port_change_state [" + str(tmp_path / "ttyAP0") + "] has been closed")
            assert "tag name = #TRELLIS_COM1, value = 0.000000" in gw.stdout_lines
            assert any(l.endswith("on_write_tag: 147") for l in gw.lines)
            assert gw.tag_command("list") == ["#TRELLIS_COM1 0 0", "OK"]
            assert gw.tag_command("write #TRELLIS_COM1 1.0") == ["OK"]
            gw.wait_log(str(tmp_path / "ttyAP0") + " open:", count=2)
            assert gw.tag_command("list") == ["#TRELLIS_COM1 1 0", "OK"]
            assert gw.stop() == 0


# --- the example configurations -----------------------------------------------

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../examples")


def level_of(line):
    """The level field of a log line, or None for other output."""
    parts = line.split(" ", 3)
    return int(parts[2]) if len(parts) > 3 and parts[2].isdigit() else None


def north_tcp_ports(xml):
    root = ET.fromstring(xml)
    return [int(e.get("tcp_port", "502")) for e in root.iter("NorthPort") if e.get("type") == "tcp"]


def accepts(port):
    s = connect_tcp(port)
    if s:
        s.close()
    return s is not None


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
            missing = [l for l in gw.lines if "is not available in this build" in l]
            if missing:
                gw.stop()
                pytest.skip("port type not built yet: " + missing[0].split(": ", 1)[-1])
            # Running: every north TCP port listens and every serial line has its tag.
            for port in north_tcp_ports(xml):
                wait_for(lambda: accepts(port), 5, what=f"north TCP port {port}")
            serial = serial_num(gw)
            wait_for(lambda: len(gw.tag_command("list")) == serial + 1, 12, what="serial port tags")
            warnings = [l for l in gw.log().split("\n") if (level_of(l) or 9) <= 4]
            assert warnings == []
            assert gw.stop() == 0
    finally:
        for p in ptys:
            p.close()
