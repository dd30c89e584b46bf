"""The Relay layer over the module, against simulated cameras."""
import os
import subprocess
import sys
import time

import pytest
import trelvo

from trelvo_tools import (CameraNotFound, Format, FormatNotSupported, NotSwitched, Relay, StartFailed,
                          simcam, vcam)
from trelvo_tools.relay import choose_format


def test_a_relay_reports_what_reached_the_virtual_camera(sims, c_output):
    sims("sim://a", width=320, height=240)
    with Relay() as relay:  # the first listed camera, in its only format
        assert relay.format == Format(320, 240, 30, "MJPEG")
        assert relay.active_camera == "sim://a" and relay.cameras == ("sim://a",)
        assert relay.output_type == 0 and relay.loopback_device is None  # loopback is off here
        assert relay.is_running() and relay.taken_over_by is None
        time.sleep(1.0)
        sent, fps = relay.pictures_sent, relay.fps
        assert 20 <= sent <= 40 and 20 <= fps <= 40  # a paced 30 fps camera
        with pytest.raises(NotSwitched):
            relay.switch()
    assert not relay.is_running()
    assert vcam.VirtualCameraReader().state == vcam.STATE_CLOSED
    assert c_output() == ""  # no C-level lines reach the user


def test_two_cameras_switch_and_say_which_is_active(sims):
    sims("sim://a", pattern="solid", color=(255, 0, 0))
    sims("sim://b", pattern="solid", color=(0, 0, 255))
    reader = vcam.VirtualCameraReader()
    with Relay("sim://a", "sim://b") as relay:
        assert relay.cameras == ("sim://a", "sim://b")
        for expected, blue in (("sim://b", False), ("sim://a", True), ("sim://b", False)):
            assert relay.switch() == expected == relay.active_camera
            time.sleep(0.2)
            picture = reader.read(timeout=2)
            assert (picture.data[0] > 200) is blue  # BGR: byte 0 is blue


@pytest.mark.parametrize("cameras, kwargs, error, details", [
    ([], dict(device="sim://none"), CameraNotFound, dict(known_ids=[])),
    (["sim://a"], dict(device="sim://none"), CameraNotFound, dict(known_ids=["sim://a"])),
    (["sim://a"], dict(device="sim://a", width=100), FormatNotSupported,
     dict(formats={"sim://a": [Format(64, 48, 30, "MJPEG")]})),
    (["sim://a", "sim://nv12"], dict(device="sim://a", second="sim://nv12"), FormatNotSupported,
     dict(formats={"sim://a": [Format(64, 48, 30, "MJPEG")], "sim://nv12": [Format(64, 48, 30, "NV12")]})),
    # Fully given and not listed: tried, then refused with the camera's formats.
    (["sim://a"], dict(device="sim://a", width=100, height=50, fps=30, subtype="MJPEG"),
     FormatNotSupported, dict(formats={"sim://a": [Format(64, 48, 30, "MJPEG")]})),
    (["sim://broken"], dict(device="sim://broken"), StartFailed, {}),
    (["sim://a", "sim://broken"], dict(device="sim://a", second="sim://broken"), StartFailed, {}),
])
def test_failures_raise_clear_exceptions(sims, c_output, cameras, kwargs, error, details):
    for link in cameras:
        if link == "sim://nv12":
            sims(link, simcam.NV12)
        else:
            sims(link, faults={"set_media_type": 0x80004005} if "broken" in link else None)
    with pytest.raises(error) as raised:
        Relay(**kwargs).start()
    for name, value in details.items():
        assert getattr(raised.value, name) == value
    # The module's lines reach standard output, as always, and the exception holds them.
    assert c_output().splitlines() == getattr(raised.value, "diagnostics", [])
    assert vcam.VirtualCameraReader().state != vcam.STATE_LIVE


def test_a_missing_second_camera_can_be_optional(sims):
    sims("sim://a")
    sims("sim://broken", faults={"set_media_type": 0x80004005})
    with Relay("sim://a", "sim://broken", second_optional=True) as relay:
        assert relay.cameras == ("sim://a",) and relay.is_running()
        assert any("Second device" in line for line in relay.diagnostics)


def test_a_relay_notices_when_another_session_takes_over(sims):
    sims("sim://a")
    with Relay("sim://a") as relay:
        other = sims.session()
        assert other.start(device_1="sim://a", device_2="", width=64, height=48, fps=30,
                           subtype_name="MJPEG", type=0)
        assert relay.taken_over_by == os.getpid()
        assert not relay.is_running()


@pytest.mark.parametrize("kwargs", [dict(width=0), dict(fps=-1), dict(output_type=2),
                                    dict(subtype="H264")])
def test_bad_arguments_are_value_errors(kwargs):
    with pytest.raises(ValueError):
        Relay(**kwargs)


@pytest.mark.parametrize("lists, asked, expected", [
    # Open fields prefer 640x480 MJPEG at 30 fps.
    ([[Format(1280, 720, 30, "MJPEG"), Format(640, 480, 30, "YUY2"), Format(640, 480, 15, "MJPEG")]],
     {}, Format(640, 480, 15, "MJPEG")),
    ([[Format(1280, 720, 30, "MJPEG"), Format(640, 480, 30, "YUY2")]], dict(subtype="YUY2"),
     Format(640, 480, 30, "YUY2")),
    # Two cameras: only what both list.
    ([[Format(640, 480, 30, "MJPEG"), Format(320, 240, 30, "NV12")],
      [Format(320, 240, 30, "NV12"), Format(640, 480, 30, "YUY2")]], {}, Format(320, 240, 30, "NV12")),
    ([[Format(640, 480, 30, "MJPEG")], [Format(640, 480, 30, "YUY2")]], {}, None),
    # Subtypes the module does not know are never chosen.
    ([[Format(640, 480, 30, "{00000000-0000-0000-0000-000000000000}")]], {}, None),
])
def test_choose_format(lists, asked, expected):
    assert choose_format(lists, **asked) == expected


def test_the_readme_example_runs_privately_through_the_pytest_plugin(tmp_path, sims, monkeypatch):
    # A user's relay runs on their channel while their tests (no environment lines) run.
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    with open(os.path.join(root, "README.md")) as f:
        text = f.read()
    section = text[text.index("## Simulated cameras in your own tests"):]
    start = section.index("```python\n") + len("```python\n")
    example = section[start:section.index("```", start)]
    assert "environ" not in example
    (tmp_path / "test_example.py").write_text(example)
    live = f"/trelvo-live-{os.getpid()}"
    monkeypatch.setenv("TRELVOHDCAM_CHANNEL", live)
    sims("sim://mine")
    channels = set(os.listdir("/dev/shm"))
    try:
        with Relay("sim://mine") as mine:
            env = {k: v for k, v in os.environ.items() if not k.startswith("TRELVO")}
            env.update(PYTHONPATH=root, TRELVOHDCAM_CHANNEL=live)  # as exported for the relay
            done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                   "test_example.py"], cwd=tmp_path, env=env, capture_output=True,
                                  text=True, timeout=120)
            assert done.returncode == 0 and "2 passed" in done.stdout, done.stdout + done.stderr
            assert mine.is_running() and mine.taken_over_by is None
    finally:
        vcam.remove_channel(live)
    # The tests' channels are gone with them.
    assert not [n for n in set(os.listdir("/dev/shm")) - channels if n.startswith("trelvo-pytest-")]


@pytest.mark.parametrize("kwargs, error, says", [
    (dict(width=True), TypeError, "width must be an int, not bool True"),
    (dict(fps=30.0), TypeError, "fps must be an int, not float 30.0"),
    (dict(subtype=5), TypeError, "subtype is a name such as 'MJPEG', not 5"),
    (dict(output_type=True), TypeError, "output_type is the int 0"),
    (dict(device=3), TypeError, "device is a str or None, not int 3"),
    (dict(device="sim://desk", second="sim://desk"), ValueError, "the same camera 'sim://desk'"),
])
def test_arguments_of_the_wrong_kind_are_refused_clearly(kwargs, error, says):
    with pytest.raises(error) as raised:
        Relay(**kwargs)
    assert says in str(raised.value)


def test_formats_the_module_cannot_relay_are_named_and_the_closest_offered(sims):
    sims("sim://h264", "H264")
    with pytest.raises(FormatNotSupported, match=r"^sim://h264 lists only H264, which trelvo cannot relay"):
        Relay("sim://h264").start()
    simcam.SimCamera("Desk", "sim://desk", types=[("MJPG", 320, 240, 30, 1), ("YUY2", 640, 480, 15, 1),
                                                  ("MJPG", 1280, 720, 30, 1), ("H264", 640, 480, 30, 1)])
    with pytest.raises(FormatNotSupported) as raised:
        Relay("sim://desk", width=640, fps=30).start()
    assert str(raised.value) == ("Desk lists no format matching 640x* 30 fps; the closest it lists: "
                                 "640x480 @ 15 fps YUY2, 320x240 @ 30 fps MJPEG, 1280x720 @ 30 fps MJPEG.")
    assert Format(640, 480, 30, "P10").__str__() == "640x480 @ 30 fps P10 (P010)"


def test_a_simulated_id_that_does_not_exist_says_how_to_create_it(sims):
    with pytest.raises(CameraNotFound, match=r"simcam.test_pattern\(\) creates 'sim://trelvo-test-pattern'"):
        Relay("sim://trelvo-test-pattern").start()
    with simcam.test_pattern():
        with Relay(simcam.TEST_PATTERN_LINK) as relay:
            assert relay.format == Format(640, 480, 30, "MJPEG")


def test_after_stop_the_relay_has_no_active_camera_and_says_why_it_cannot_switch(sims):
    sims("sim://a")
    sims("sim://b")
    relay = Relay("sim://a", "sim://b").start()
    relay.stop()
    assert relay.active_camera is None and relay.fps == 0.0
    with pytest.raises(NotSwitched, match="not running: start it"):
        relay.switch()


def test_reading_fps_does_not_change_it(sims, monkeypatch):
    import types

    sims("sim://a")
    clock, sent = [1000.0], [0]
    monkeypatch.setattr("trelvo_tools.relay.time", types.SimpleNamespace(monotonic=lambda: clock[0]))
    monkeypatch.setattr(Relay, "pictures_sent", property(lambda self: sent[0]))
    with Relay("sim://a") as relay:
        readings = []
        for seconds, pictures in ((0.5, 15), (0.5001, 15), (0.5002, 15), (1.5, 45), (2.5, 75), (2.5001, 75)):
            clock[0], sent[0] = 1000.0 + seconds, pictures
            readings.append(round(relay.fps, 1))
        assert readings == [30.0] * 6


def test_a_lost_camera_is_logged_to_the_trelvo_logger(sims, caplog):
    simcam.set_clock_scale(0.01)
    sims("sim://a", script=["normal"] * 3 + ["unplug"])
    caplog.set_level("INFO", logger="trelvo")
    with Relay("sim://a") as relay:
        for _ in range(500):  # the session ends after its reconnection fails
            if not relay.is_running():
                break
            time.sleep(0.02)
        assert not relay.is_running()
    logged = [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "trelvo"]
    assert ("INFO", "Try reconnect device 0...") in logged
    assert ("WARNING", "Reconnect device 0 failed") in logged
    assert all(level == "WARNING" for level, text in logged if "failed" in text or text == "source is null")


def test_relays_started_from_two_threads_leave_one_running_and_stdout_alone(sims):
    import threading

    sims("sim://a")
    sims("sim://b")
    before = os.fstat(1)
    for _ in range(10):
        relays = [Relay("sim://a"), Relay("sim://b")]
        barrier = threading.Barrier(2)
        errors = []

        def start(relay):
            barrier.wait()
            try:
                relay.start()
            except Exception as error:  # reported below, with the run
                errors.append(error)

        threads = [threading.Thread(target=start, args=(r,)) for r in relays]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        try:
            assert errors == []
            assert [r.is_running() for r in relays].count(True) == 1
            loser = next(r for r in relays if not r.is_running())
            assert loser.taken_over_by != os.getpid()
            after = os.fstat(1)
            assert (after.st_dev, after.st_ino) == (before.st_dev, before.st_ino)
        finally:
            for r in relays:
                r.stop()
