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


@pytest.fixture(autouse=True)
def _flush_c_stdout_around_each_test():
    """With a buffered C stdout (any run without PYTHONUNBUFFERED, as on users' machines), lines a
    test printed would otherwise surface in whichever later test happens to flush."""
    flush_c_stdout()
    yield
    flush_c_stdout()


@pytest.fixture
def c_output(capfd):
    """Returns a function giving the C-level standard output written since the last call."""
    flush_c_stdout()
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


# -- relay tests: a private virtual camera channel, simulated cameras, the library's recording --

# The camera library reads the channel name when a camera is created; a name of our own keeps
# parallel runs (and a user's running relay) apart. Set at import so that every camera the
# suite creates, and every subprocess it starts, uses it.
SESSION_CHANNEL = f"/trelvohdcam_pytest_{os.getpid()}"
os.environ["TRELVOHDCAM_CHANNEL"] = SESSION_CHANNEL
# Never write into a real v4l2loopback device that other applications may be reading.
os.environ["TRELVOHDCAM_LOOPBACK"] = "off"


@pytest.fixture(scope="session", autouse=True)
def _remove_session_channel():
    yield
    try:
        os.unlink("/dev/shm/" + SESSION_CHANNEL[1:])
    except FileNotFoundError:
        pass


@pytest.fixture
def recording():
    """The virtual camera library's own record of the calls it received (the copy the module
    loaded), reset."""
    from trelvo_tools import vcam

    rec = vcam.Recording()
    rec.reset()
    return rec


@pytest.fixture
def sims():
    """Makes simulated cameras (as simcam.SimCamera) and removes them all afterwards; sessions
    made with `sims.session()` are stopped first, and the platform clock is restored."""
    from trelvo_tools import simcam
    import trelvo

    class Factory:
        def __init__(self):
            self.sessions = []

        def __call__(self, link, subtype=None, width=64, height=48, fps=30, **kwargs):
            subtype = simcam.MJPG if subtype is None else subtype
            return simcam.SimCamera(link, link, types=[(subtype, width, height, fps, 1)], **kwargs)

        def session(self):
            cap = trelvo.VideoCapture()
            self.sessions.append(cap)
            return cap

    factory = Factory()
    yield factory
    for cap in factory.sessions:
        cap.stop()
    factory.sessions.clear()
    simcam.set_clock_scale(1.0)
    simcam.reset()
    flush_c_stdout()
