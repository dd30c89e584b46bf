"""Read failures and reconnection as Python sees them: scripted simulated cameras, the diagnostic
lines on the C-level standard output, and what reaches the virtual camera."""
import ctypes
import re
import sys
import time

import pytest

from trelvo_tools import simcam, vcam

W, H = 64, 48
ARGS = dict(device_2="", width=W, height=H, fps=30, subtype_name="YUY2", type=0)


class _SigEvent(ctypes.Structure):  # struct sigevent for SIGEV_THREAD on 64-bit Linux
    _fields_ = [("value", ctypes.c_void_p), ("signo", ctypes.c_int), ("notify", ctypes.c_int),
                ("function", ctypes.c_void_p), ("attributes", ctypes.c_void_p),
                ("padding", ctypes.c_byte * 32)]


class _TimeSpec(ctypes.Structure):
    _fields_ = [("sec", ctypes.c_long), ("nsec", ctypes.c_long)]


class _ITimerSpec(ctypes.Structure):
    _fields_ = [("interval", _TimeSpec), ("value", _TimeSpec)]


def unplug_later(camera, seconds):
    """Unplugs `camera` from a C timer thread: `start` holds the interpreter lock while it waits
    for the first good read, so no Python thread can act then. The timer calls the platform's
    unplug function directly with the camera id as its (integer) argument."""
    if sys.platform != "linux" or ctypes.sizeof(ctypes.c_void_p) != 8:
        pytest.skip("needs 64-bit Linux timers")
    libc = ctypes.CDLL(None, use_errno=True)
    event = _SigEvent(value=camera.id, notify=2)  # SIGEV_THREAD
    event.function = ctypes.cast(simcam.library().mfcompat_sim_unplug, ctypes.c_void_p).value
    timer = ctypes.c_void_p()
    assert libc.timer_create(1, ctypes.byref(event), ctypes.byref(timer)) == 0  # CLOCK_MONOTONIC
    when = _ITimerSpec(value=_TimeSpec(int(seconds), int(seconds % 1 * 1e9)))
    assert libc.timer_settime(timer, 0, ctypes.byref(when), None) == 0
    return lambda: libc.timer_delete(timer)


def _failed(line):
    """The HRESULT of a "ReadSample failed" line, which must be a failure code."""
    match = re.fullmatch(r"ReadSample failed: 0x([0-9A-F]{8})\n", line)
    assert match, line
    code = int(match.group(1), 16)
    assert code & 0x80000000
    return code


def test_every_read_failing_ends_the_start(sims, recording, c_output):
    scale = 0.1  # the 5000 ms reconnection wait takes 500 ms
    simcam.set_clock_scale(scale)
    cam = sims("sim://dead", simcam.YUY2, W, H, script=[0x8007001F], repeat_script=True)
    cap = sims.session()
    c_output()
    cancel = unplug_later(cam, 0.15)  # after the first open, before the first reopening
    try:
        began = time.monotonic()
        assert cap.start(device_1="sim://dead", **ARGS) is False
        took = time.monotonic() - began
    finally:
        cancel()
    lines = c_output().splitlines(keepends=True)
    # The unplugged camera cannot be found when reopened, hence "source is null" each time; the
    # second read is on the shut-down reader, whose failure code the platform chooses.
    assert lines[:4] == ["ReadSample failed: 0x8007001F\n", "Try reconnect device 0...\n",
                         "source is null\n", "Reconnect device 0 failed\n"]
    _failed(lines[4])
    assert lines[5:] == ["Try reconnect device 0...\n", "source is null\n", "Reconnect device 0 failed\n"]
    assert took >= 2 * 5.0 * scale
    assert cap.is_running() is False
    assert recording.counts().cameras_created == 0  # the start never got that far
    counters = cam.counters()
    assert counters.activations == 1 and counters.shutdowns >= 1


def test_good_read_without_sample_ends_the_wait(sims, recording, c_output):
    # After the empty read the camera blocks until it is flushed or shut down: only the empty
    # read can have ended the wait.
    cam = sims("sim://empty", simcam.YUY2, W, H, script=["no_sample", "block"])
    cap = sims.session()
    assert cap.start(device_1="sim://empty", **ARGS) is True
    assert cap.is_running() is True
    time.sleep(0.1)
    counters = cam.counters()
    assert counters.reads == 2 and counters.samples_delivered == 0
    assert recording.counts().frames_sent == 0
    cap.stop()
    assert cap.is_running() is False
    assert c_output() == ""


def test_failures_with_successful_reconnections_keep_the_session(sims, c_output):
    simcam.set_clock_scale(0.01)
    failures = 3
    cam = sims("sim://flaky", simcam.YUY2, W, H, script=["normal"] + [0x80070015] * failures)
    cap = sims.session()
    assert cap.start(device_1="sim://flaky", **ARGS) is True
    seen = ""
    deadline = time.monotonic() + 5
    while seen.count("Reconnect device 0 success\n") < failures:
        assert time.monotonic() < deadline, seen
        time.sleep(0.005)
        seen += c_output()
    # No good read comes between the failures, yet successful reconnections never count.
    assert seen == ("ReadSample failed: 0x80070015\nTry reconnect device 0...\n"
                    "Reconnect device 0 success\n") * failures
    reader = vcam.VirtualCameraReader()
    before = reader.read(timeout=2.0)
    assert before is not None
    assert reader.read(timeout=2.0) is not None  # pictures keep coming
    assert cap.is_running() is True
    assert cam.counters().activations == 1 + failures
    assert c_output() == ""
