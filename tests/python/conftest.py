import ctypes
import glob
import os
import shutil
import subprocess

import pytest

_libc = ctypes.CDLL(None)


def flush_c_stdout():
    """The module prints with the C runtime and never flushes; push it out before reading."""
    _libc.fflush(None)


@pytest.fixture
def c_output(capfd):
    """Returns a function giving the C-level standard output written since the last call."""
    capfd.readouterr()

    def read():
        flush_c_stdout()
        return capfd.readouterr().out

    return read


def find_python(version):
    """A working interpreter of the given minor version ("3.12"), or None."""
    candidates = [os.environ.get("PYTHON" + version.replace(".", "")), shutil.which("python" + version)]
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates += sorted(glob.glob(os.path.join(root, "versions", version + ".*", "bin", "python" + version)))
    for candidate in candidates:
        if not candidate:
            continue
        try:
            out = subprocess.run([candidate, "-c", "import sys; print(sys.version_info[:2])"],
                                 capture_output=True, text=True, timeout=30)
        except OSError:
            continue
        if out.returncode == 0 and out.stdout.strip() == str(tuple(map(int, version.split(".")))):
            return candidate
    return None
