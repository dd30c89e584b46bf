"""An interpreter that exits with a session still relaying: no crash, no hang, and the virtual
camera is deleted on the way out."""
import os
import subprocess
import sys
import textwrap
import time

import pytest

from trelvo_tools import vcam

SCRIPT = textwrap.dedent("""
    import trelvo
    from trelvo_tools import simcam, vcam

    cam = simcam.SimCamera("exit", "sim://exit", types=[(simcam.MJPG, 64, 48, 30, 1)])
    cap = trelvo.VideoCapture()
    assert cap.start(device_1="sim://exit", device_2="", width=64, height=48, fps=30,
                     subtype_name="MJPEG", type={out_type})
    if {out_type} == 0:
        assert vcam.VirtualCameraReader().read(timeout=2.0) is not None
    if {cycle}:
        class Holder:
            pass
        holder = Holder()
        holder.me = holder
        holder.cap = cap
        del cap, holder
    print("relaying", flush=True)
""")


@pytest.mark.parametrize("out_type", [0, 1])
@pytest.mark.parametrize("cycle", [False, True], ids=["module-level", "reference-cycle"])
def test_exit_with_running_session(cycle, out_type):
    channel = f"/trelvohdcam_pytest_exit_{os.getpid()}_{time.monotonic_ns()}"
    env = dict(os.environ, TRELVOHDCAM_CHANNEL=channel)
    try:
        done = subprocess.run([sys.executable, "-c", SCRIPT.format(cycle=cycle, out_type=out_type)],
                              env=env, capture_output=True, text=True, timeout=30)
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("relaying\n")
        reader = vcam.VirtualCameraReader(channel)
        assert reader.state == vcam.STATE_CLOSED
        reader.close()
    finally:
        try:
            os.unlink("/dev/shm/" + channel[1:])
        except FileNotFoundError:
            pass


RECONNECTING = textwrap.dedent("""
    import time, trelvo
    from trelvo_tools import simcam

    cam = simcam.SimCamera("exit", "sim://exit", types=[(simcam.MJPG, 64, 48, 30, 1)])
    cap = trelvo.VideoCapture()
    assert cap.start(device_1="sim://exit", device_2="", width=64, height=48, fps=30,
                     subtype_name="MJPEG", type=0)
    cam.set_script([0x80004005])
    time.sleep(0.5)  # the worker now waits 5000 ms before it reopens the camera
    print("exiting", time.monotonic(), flush=True)
""")


def test_exit_does_not_wait_out_a_reconnection():
    channel = f"/trelvohdcam_pytest_exit_{os.getpid()}_{time.monotonic_ns()}"
    try:
        done = subprocess.run([sys.executable, "-c", RECONNECTING], env=dict(os.environ, TRELVOHDCAM_CHANNEL=channel),
                              capture_output=True, text=True, timeout=30)
        ended = time.monotonic()
        assert done.returncode == 0, done.stderr
        exiting = [line.split() for line in done.stdout.splitlines() if line.startswith("exiting ")]
        assert len(exiting) == 1, done.stdout
        assert ended - float(exiting[0][1]) < 2.0  # the wait alone would take 5 s
        assert "Try reconnect device 0...\n" in done.stdout
        assert "Reconnect device 0" not in done.stdout  # abandoned, not reopened
    finally:
        try:
            os.unlink("/dev/shm/" + channel[1:])
        except FileNotFoundError:
            pass
