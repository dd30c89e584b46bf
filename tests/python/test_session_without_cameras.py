"""The session as Python sees it on a machine without usable cameras."""
import ctypes
import gc
import os

import pytest
import trelvo

from trelvo_tools.native import library_path

_platform = ctypes.CDLL(library_path("libmfcompat.so"))
_platform.mfcompat_startup_count.restype = ctypes.c_uint64
_platform.mfcompat_shutdown_count.restype = ctypes.c_uint64

ARGS = dict(device_1="no such camera", device_2="", width=640, height=480, fps=30, subtype_name="YUY2", type=0)


def startups():
    return _platform.mfcompat_startup_count(), _platform.mfcompat_shutdown_count()


def test_new_session_is_idle_and_silent(c_output):
    cap = trelvo.VideoCapture()
    assert cap.is_running() is False
    assert cap.stop() is None
    assert cap.stop() is None
    assert cap.switch_camera() is None
    assert c_output() == ""


def test_start_without_camera_fails_and_says_why(c_output):
    cap = trelvo.VideoCapture()
    assert cap.start(**ARGS) is False
    assert cap.is_running() is False
    assert c_output() == "source is null\n"
    cap.switch_camera()
    cap.stop()
    assert c_output() == ""


def test_platform_startup_and_shutdown_pair_per_object():
    gc.collect()
    before_start, before_stop = startups()
    sessions = [trelvo.VideoCapture() for _ in range(3)]
    assert startups() == (before_start + 3, before_stop)
    sessions[1].start(**ARGS)
    del sessions[1]
    gc.collect()
    assert startups() == (before_start + 3, before_stop + 1)
    del sessions
    gc.collect()
    assert startups() == (before_start + 3, before_stop + 3)


@pytest.mark.parametrize("bad", [
    dict(width=-1), dict(width=1280.0), dict(width=2**32), dict(height=-5), dict(fps=2**40),
    dict(type=2**31), dict(type=1.5), dict(device_1=None), dict(device_1=b"bytes"),
    dict(subtype_name="\ud800"),
])
def test_unconvertible_arguments_raise_type_error(bad, c_output):
    cap = trelvo.VideoCapture()
    with pytest.raises(TypeError):
        cap.start(**{**ARGS, **bad})
    assert c_output() == ""  # start itself never ran


def test_missing_and_unknown_arguments_raise_type_error(c_output):
    cap = trelvo.VideoCapture()
    args = dict(ARGS)
    del args["fps"]
    with pytest.raises(TypeError):
        cap.start(**args)
    with pytest.raises(TypeError):
        cap.start(**ARGS, colour="red")
    with pytest.raises(TypeError):
        cap.start("a", "b", 1, 2, 3, "MJPEG")
    assert c_output() == ""


def test_extreme_values_convert(c_output):
    cap = trelvo.VideoCapture()
    assert cap.start(**{**ARGS, "width": 4294967295, "height": 0, "type": -1}) is False
    assert cap.start(**{**ARGS, "type": -2147483648, "fps": 4294967295}) is False
    # Keywords in any order, and objects implementing __index__.
    class Index:
        def __index__(self):
            return 320
    assert cap.start(type=1, subtype_name="MJPEG", fps=Index(), height=240, width=Index(), device_2="",
                     device_1="nothing") is False
    # A zero height is refused before any camera is looked up: no line for the first start.
    assert c_output() == "source is null\n" * 2
