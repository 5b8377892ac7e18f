"""Starting and stopping the trellis binary from process tests.

Gateway(tmp_path, config_xml, ...) writes the configuration, starts the
binary at log level 7 with its own tag socket and serial prefix, and collects
stderr in a background thread so tests can wait for log lines.
"""
import os
import signal
import socket
import subprocess
import threading
import time

BIN = os.environ.get("TRELLIS_BIN", os.path.join(os.path.dirname(__file__), "../../build/trellis"))


def wait_for(predicate, timeout=10.0, interval=0.02, what="condition"):
    """Polls predicate() until it is truthy; fails the test after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Gateway:
    def __init__(self, tmp_path, config_xml=None, level=7, args=None, env=None,
                 serial_prefix=None, config_name="trellis.acr", cwd=None, binary=None):
        self.tmp_path = tmp_path
        self.config_path = None
        if config_xml is not None:
            self.config_path = os.path.join(str(tmp_path), config_name)
            with open(self.config_path, "w") as f:
                f.write(config_xml)
        self.tag_socket = os.path.join(str(tmp_path), "tags.sock")
        cmd = [binary or BIN, "-l", str(level), "--tag-socket", self.tag_socket]
        if serial_prefix:
            cmd += ["--serial-prefix", serial_prefix]
        if self.config_path:
            cmd += ["-c", self.config_path]
        cmd += list(args or [])
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.lines = []
        self.stdout_lines = []
        self._lock = threading.Lock()
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=full_env, cwd=cwd, text=True, errors="replace")
        self._threads = [threading.Thread(target=self._pump, args=(self.proc.stderr, self.lines), daemon=True),
                         threading.Thread(target=self._pump, args=(self.proc.stdout, self.stdout_lines), daemon=True)]
        for t in self._threads:
            t.start()

    def _pump(self, stream, sink):
        for line in stream:
            with self._lock:
                sink.append(line.rstrip("\n"))

    def log(self):
        with self._lock:
            return "\n".join(self.lines)

    def stdout(self):
        with self._lock:
            return "\n".join(self.stdout_lines)

    def count(self, text):
        with self._lock:
            return sum(1 for l in self.lines if text in l)

    def wait_log(self, text, timeout=10.0, count=1):
        wait_for(lambda: self.count(text) >= count, timeout, what=f"log line {text!r}\n--- log tail ---\n"
                 + "\n".join(self.lines[-40:]))

    def tag_command(self, line, timeout=5.0):
        """Sends one command to the tag socket and returns the answer lines up to OK/ERR."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(self.tag_socket)
            s.sendall((line + "\n").encode())
            data = b""
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
                last = data.decode(errors="replace").rstrip("\n").split("\n")[-1]
                if last == "OK" or last.startswith("ERR"):
                    break
            return data.decode(errors="replace").rstrip("\n").split("\n")

    def stop(self, sig=signal.SIGTERM, timeout=5.0):
        """Stops the process; returns its exit code."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise AssertionError("gateway did not stop within %.1fs\n%s" % (timeout, self.log()[-3000:]))
        for t in self._threads:
            t.join(2)
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class PtyPair:
    """A socat pseudo-terminal pair: `gateway_end` and `device_end` are link paths."""

    def __init__(self, directory, gateway_link, device_link):
        self.gateway_end = os.path.join(str(directory), gateway_link)
        self.device_end = os.path.join(str(directory), device_link)
        self.proc = subprocess.Popen(
            ["socat", "-d", "-d", f"pty,raw,echo=0,link={self.gateway_end}",
             f"pty,raw,echo=0,link={self.device_end}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(self.gateway_end) and os.path.exists(self.device_end), 5,
                 what="socat pty links")

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
