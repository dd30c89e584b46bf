"""Read failures and reconnection as Python sees them: scripted simulated cameras, the diagnostic
lines on the C-level standard output, and what reaches the virtual camera."""
import ctypes
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from trelvo_tools import simcam, vcam

W, H = 64, 48
ARGS = dict(device_2="", width=W, height=H, fps=30, subtype_name="YUY2", type=0)


def _failed(line):
    """The HRESULT of a "ReadSample failed" line, which must be a failure code."""
    match = re.fullmatch(r"ReadSample failed: 0x([0-9A-F]{8})\n", line)
    assert match, line
    code = int(match.group(1), 16)
    assert code & 0x80000000
    return code


def test_camera_unplugged_at_its_first_read_ends_the_start(sims, recording, c_output):
    scale = 0.1  # the 5000 ms reconnection wait takes 500 ms
    simcam.set_clock_scale(scale)
    cam = sims("sim://dead", simcam.YUY2, W, H, script=["unplug"])
    cap = sims.session()
    c_output()
    began = time.monotonic()
    assert cap.start(device_1="sim://dead", **ARGS) is False
    took = time.monotonic() - began
    lines = c_output().splitlines(keepends=True)
    # The unplugged camera cannot be found when reopened, hence "source is null" each time; the
    # second read is on the shut-down reader, whose failure code the platform chooses.
    assert lines[:4] == ["ReadSample failed: 0xC00D3EA2\n", "Try reconnect device 0...\n",
                         "source is null\n", "Reconnect device 0 failed\n"]
    _failed(lines[4])
    assert lines[5:] == ["Try reconnect device 0...\n", "source is null\n", "Reconnect device 0 failed\n"]
    assert took >= 2 * 5.0 * scale
    assert cap.is_running() is False
    assert recording.counts().cameras_created == 0  # the start never got that far
    counters = cam.counters()
    assert counters.activations == 1 and counters.shutdowns >= 1
    cam.replug()
    assert cap.start(device_1="sim://dead", **ARGS) is True


def test_scripted_reopenings_only_a_good_read_resets_the_failure_count(sims, c_output):
    # Opening is accepted, refused, accepted, refused: failed, successful and failed reconnections
    # with no good read between them end the session, all scripted before start.
    simcam.set_clock_scale(0.01)
    cam = sims("sim://flaky", simcam.YUY2, W, H, script=["normal"] + [0x80004005] * 8,
               media_type_script=["accept", "refuse", "accept", "refuse"])
    cap = sims.session()
    assert cap.start(device_1="sim://flaky", **ARGS) is True
    deadline = time.monotonic() + 5
    while cap.is_running():
        assert time.monotonic() < deadline
        time.sleep(0.01)
    results = [line for line in c_output().splitlines() if line.startswith("Reconnect")]
    assert results == ["Reconnect device 0 failed", "Reconnect device 0 success", "Reconnect device 0 failed"]
    assert cam.counters().set_type_calls == 4


def test_fault_beginning_after_n_calls(sims, c_output):
    # The first reopening works, every later one is refused at reader creation.
    simcam.set_clock_scale(0.01)
    cam = sims("sim://late", simcam.YUY2, W, H, script=["normal", 0x80004005, "normal", 0x80004005],
               faults={"create_reader": (0x8007000E, 2)})
    cap = sims.session()
    assert cap.start(device_1="sim://late", **ARGS) is True
    deadline = time.monotonic() + 5
    while cap.is_running():
        assert time.monotonic() < deadline
        time.sleep(0.01)
    results = [line for line in c_output().splitlines() if line.startswith("Reconnect")]
    assert results == ["Reconnect device 0 success", "Reconnect device 0 failed", "Reconnect device 0 failed"]
    assert cam.counters().readers_created == 4
    with pytest.raises(ValueError):
        cam.set_fault("create_reader", 0x8007000E, after=-1)
    with pytest.raises(ValueError):
        cam.set_media_type_script(["maybe"])


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


def test_start_gives_up_on_a_camera_whose_reads_block(sims, c_output):
    # Each read times out after 5 s and is followed by a 5 s reconnection wait; start gives up 20 s
    # after it began waiting, whatever the camera does. Measured on the platform's clock, which
    # runs twenty times faster here.
    ticks = simcam.library().GetTickCount64
    ticks.restype = ctypes.c_uint64
    simcam.set_clock_scale(0.05)
    sims("sim://silent", simcam.YUY2, W, H, script=["block"], repeat_script=True)
    cap = sims.session()
    began, began_real = ticks(), time.monotonic()
    assert cap.start(device_1="sim://silent", **ARGS) is False
    took, took_real = ticks() - began, time.monotonic() - began_real
    assert 20000 <= took < 25000
    assert took_real >= 20.0 * 0.05
    assert cap.is_running() is False
    assert c_output().startswith("ReadSample failed: 0x800705B4\nTry reconnect device 0...\n"
                                 "Reconnect device 0 success\nReadSample failed: 0x800705B4\n")


CTRL_C = textwrap.dedent("""
    import sys, time, trelvo
    from trelvo_tools import simcam

    simcam.SimCamera("silent", "sim://silent", types=[(simcam.YUY2, 64, 48, 30, 1)], script=["block"],
                     repeat_script=True)
    cap = trelvo.VideoCapture()
    print("starting", flush=True)
    try:
        cap.start(device_1="sim://silent", device_2="", width=64, height=48, fps=30, subtype_name="YUY2",
                  type=0)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), cap.is_running(), flush=True)
""")


def test_ctrl_c_stops_a_waiting_start():
    child = subprocess.Popen([sys.executable, "-c", CTRL_C], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline() == "starting\n"
        time.sleep(0.5)  # inside start's wait, the interpreter lock held
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
    finally:
        child.kill()
    assert child.returncode == 0, err
    word, when, running = out.split()
    assert (word, running) == ("interrupted", "False")
    assert float(when) - sent < 1.0


@pytest.mark.parametrize("handler", ["stop", "start", "raise"])
def test_signal_handlers_run_while_start_waits(sims, handler):
    """Handlers run inside start's wait; one may stop the session, but not start it again."""
    sims("sim://silent", simcam.YUY2, W, H, script=["block"], repeat_script=True)
    cap = sims.session()

    def on_alarm(signum, frame):
        if handler == "stop":
            cap.stop()
        elif handler == "start":
            cap.start(device_1="sim://silent", **ARGS)
        else:
            raise ZeroDivisionError

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        began = time.monotonic()
        if handler == "stop":
            assert cap.start(device_1="sim://silent", **ARGS) is False
        else:
            expected = RuntimeError if handler == "start" else ZeroDivisionError
            with pytest.raises(expected):
                cap.start(device_1="sim://silent", **ARGS)
        assert time.monotonic() - began < 5.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert cap.is_running() is False
