"""Listing cameras and opening them by identity, through simulated cameras."""
import gc
import weakref

import pytest
import trelvo
from trelvo_tools import simcam
from trelvo_tools.simcam import I420, MJPG, NV12, P010, RGB24, SimCamera, YUY2


@pytest.fixture(autouse=True)
def no_cameras():
    simcam.reset()
    yield
    simcam.reset()


def listed(cap=None):
    cap = cap or trelvo.VideoCapture()
    return [c for c in cap.enumerate_cameras() if c.device_id.startswith("sim:") or c.device_id == ""]


def formats(info):
    return [(f.width, f.height, f.fps, f.subtype_name) for f in info.formats]


def test_native_types_are_listed_as_distinct_formats_in_device_order():
    SimCamera("Desk", "sim:desk", types=[
        (MJPG, 1280, 720, 30, 1),
        (MJPG, 1280, 720, 30, 1),
        (MJPG, 1280, 720, 60, 2),
        (YUY2, 640, 480, 30000, 1001),
        (YUY2, 640, 480, 15, 0),
    ])
    [info] = listed()
    assert (info.name, info.device_id) == ("Desk", "sim:desk")
    assert formats(info) == [(1280, 720, 30, "MJPEG"), (640, 480, 29, "YUY2"), (640, 480, 0, "YUY2")]


def test_subtype_names_and_unknown_subtypes():
    unknown_a = simcam.fourcc_guid("H264")
    unknown_b = simcam.guid("{01234567-89AB-CDEF-0123-456789ABCDEF}")
    SimCamera("All", "sim:all", types=[
        (NV12, 320, 240, 30, 1), (I420, 320, 240, 30, 1), (RGB24, 320, 240, 30, 1), (P010, 320, 240, 30, 1),
        (unknown_a, 320, 240, 30, 1), (unknown_b, 320, 240, 30, 1), (unknown_a, 320, 240, 30, 1),
    ])
    [info] = listed()
    names = [f.subtype_name for f in info.formats]
    assert names == ["NV12", "I420", "RGB24", "P10", "{34363248-0000-0010-8000-00AA00389B71}",
                     "{01234567-89AB-CDEF-0123-456789ABCDEF}"]
    assert all(len(n) == 38 for n in names[4:])


def test_missing_attributes_carry_over_the_values_read_last():
    SimCamera("First", "sim:first", types=[(NV12, 640, 480, 25, 1)])
    SimCamera("Second", "sim:second", types=[
        (None, None, None, None, None),          # everything from the first camera
        (YUY2, None, None, 10, 1),               # size carried over
        (None, 320, 200, None, None),            # subtype and rate carried over
    ])
    first, second = listed()
    assert formats(first) == [(640, 480, 25, "NV12")]
    assert formats(second) == [(640, 480, 25, "NV12"), (640, 480, 10, "YUY2"), (320, 200, 10, "YUY2")]


def test_attribute_missing_with_nothing_read_before_gives_zero_and_null_subtype():
    SimCamera("Bare", "sim:bare", types=[(None, None, None, None, None)])
    [info] = listed()
    assert formats(info) == [(0, 0, 0, "{00000000-0000-0000-0000-000000000000}")]


@pytest.mark.parametrize("fault", ["activate", "presentation_descriptor", "create_reader"])
def test_camera_that_cannot_be_opened_is_listed_without_formats(fault):
    SimCamera("Broken", "sim:broken", faults={fault: 0x80004005})
    SimCamera("Fine", "sim:fine")
    broken, fine = listed()
    assert (broken.name, broken.formats) == ("Broken", [])
    assert len(fine.formats) == 1


def test_cameras_are_never_merged_or_sorted():
    SimCamera("Same", "sim:z")
    SimCamera("Same", "sim:a")
    SimCamera("Other", None)
    cams = listed()
    assert [(c.name, c.device_id) for c in cams] == [("Same", "sim:z"), ("Same", "sim:a"), ("Other", "")]


@pytest.mark.parametrize("text", ["Kamera für Büro", "摄像头", "cam \U0001F4F7 \U00010348", "tab\tand\nnewline"])
def test_names_and_identities_round_trip(text):
    SimCamera(text, "sim:" + text)
    [info] = listed()
    assert info.name == text
    assert info.device_id == "sim:" + text
    # and the identity opens the camera again
    cap = trelvo.VideoCapture()
    assert cap.start(info.device_id, "", 640, 480, 30, "MJPEG", 2) is True
    cap.stop()


def test_text_forms():
    SimCamera("Desk", "sim:desk", types=[(MJPG, 1280, 720, 30, 1), (YUY2, 640, 480, 30, 1)])
    [info] = listed()
    assert repr(info.formats[0]) == "CameraFormat(width=1280, height=720, fps=30, subtype=MJPEG)"
    assert repr(info) == "CameraInfo(name=Desk, device_id=sim:desk, formats=2)"


def test_records_are_read_only_and_formats_outlive_their_camera_info():
    SimCamera("Desk", "sim:desk", types=[(MJPG, 1280, 720, 30, 1)])
    [info] = listed()
    with pytest.raises(AttributeError):
        info.name = "x"
    with pytest.raises(AttributeError):
        info.formats[0].width = 1
    first, second = info.formats, info.formats
    assert first is not second
    assert repr(first[0]) == repr(second[0])

    item = info.formats[0]
    info_ref = weakref.ref(info)
    del info, first, second
    gc.collect()
    assert info_ref() is not None  # kept alive by the item
    assert (item.width, item.height, item.fps, item.subtype_name) == (1280, 720, 30, "MJPEG")
    del item
    gc.collect()
    assert info_ref() is None


def test_each_call_returns_new_objects_and_any_session_may_serve():
    SimCamera("Desk", "sim:desk")
    cap = trelvo.VideoCapture()
    a, b = listed(cap), listed(cap)
    assert a[0] is not b[0]
    assert repr(a[0]) == repr(b[0])
    assert repr(listed(trelvo.VideoCapture())[0]) == repr(a[0])


def test_enumeration_releases_what_it_opens():
    cam = SimCamera("Desk", "sim:desk")
    before = simcam.live_objects()
    listed()
    gc.collect()
    assert simcam.live_objects() == before
    counts = cam.counters()
    assert counts.activations == 1 and counts.readers_created == 1


# --- opening by identity -----------------------------------------------------------------------

def test_identity_must_match_exactly(c_output):
    SimCamera("Desk", "sim:Desk")
    cap = trelvo.VideoCapture()
    for wrong in ["sim:desk", "SIM:DESK", "sim:Desk ", "", "sim:Des"]:
        assert cap.start(wrong, "", 640, 480, 30, "MJPEG", 0) is False
        assert c_output() == "source is null\n"
        assert cap.is_running() is False


def test_empty_identity_matches_a_camera_without_link():
    SimCamera("No link", None)
    cap = trelvo.VideoCapture()
    assert cap.start("", "", 640, 480, 30, "MJPEG", 2) is True
    cap.stop()


def test_last_matching_camera_wins():
    first = SimCamera("One", "sim:twin")
    second = SimCamera("Two", "sim:twin")
    cap = trelvo.VideoCapture()
    assert cap.start("sim:twin", "", 640, 480, 30, "MJPEG", 2) is True
    cap.stop()
    assert first.counters().readers_created == 0
    assert second.counters().readers_created == 1


def test_requested_format_and_second_camera_fallback(c_output):
    cam = SimCamera("Desk", "sim:desk", types=[(YUY2, 640, 480, 30000, 1001)], accept_any_format=True)
    cap = trelvo.VideoCapture()
    assert cap.start("sim:desk", "sim:absent", 640, 480, 29, "YUY2", 2) is True
    assert c_output() == "source is null\nSecond device init failed, fallback to single cam\n"
    req = cam.last_requested()
    assert (req.subtype, req.width, req.height, req.rate_numerator, req.rate_denominator) == (YUY2, 640, 480, 29, 1)
    cap.switch_camera()
    assert c_output() == ""
    shutdowns = cam.counters().shutdowns
    cap.stop()
    assert cam.counters().shutdowns == shutdowns + 1

    # A second start opens a new source and a new reader in place of the old ones.
    assert cap.start("sim:desk", "", 640, 480, 29, "YUY2", 2) is True
    assert cam.counters().readers_created == 2
    cap.stop()


@pytest.mark.parametrize("name, subtype", [
    ("MJPEG", MJPG), ("NV12", NV12), ("YUY2", YUY2), ("I420", I420), ("P10", P010),
    ("RGB24", RGB24), ("mjpeg", RGB24), ("MJPG", RGB24), ("", RGB24), ("P010", RGB24),
])
def test_subtype_names_request_their_subtype(name, subtype):
    cam = SimCamera("Any", "sim:any", accept_any_format=True)
    cap = trelvo.VideoCapture()
    assert cap.start("sim:any", "", 64, 48, 30, name, 2) is True
    cap.stop()
    assert cam.last_requested().subtype == subtype


def test_refused_format_fails_start_quietly(c_output):
    SimCamera("Desk", "sim:desk", types=[(MJPG, 640, 480, 30, 1)])
    cap = trelvo.VideoCapture()
    assert cap.start("sim:desk", "", 1920, 1080, 30, "MJPEG", 0) is False
    assert cap.is_running() is False
    assert c_output() == ""
