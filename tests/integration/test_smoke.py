import os
import subprocess


def test_binary_runs():
    out = subprocess.run([os.environ["TRELLIS_BIN"], "-h"], capture_output=True, text=True, timeout=10)
    assert out.returncode == 0
