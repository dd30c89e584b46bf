"""Real cameras, recorded as V4L2 descriptions under tests/data/cameras, replayed through the V4L2
backend: what the module lists for each of them, that a relay at a listed format delivers
pictures, and how the relay copes with the ways real cameras misbehave."""
import ctypes
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import trelvo
from trelvo_tools import simcam, vcam
from trelvo_tools.native import library_path

from conftest import flush_c_stdout

VARIABLE = "TRELVO_V4L2_REPLAY"
CAMERAS = Path(__file__).resolve().parent.parent / "data" / "cameras"
# Two solid pictures, in these colours (b, g, r); a camera delivers them in turn.
SOLID = CAMERAS / "frames" / "solid-64x48.mjpg"
FIRST, SECOND = (190, 90, 60), (40, 200, 120)


def fourcc_name(code):
    """The registry text the module gives a subtype outside its table: the FourCC-based GUID."""
    value = int.from_bytes(code.encode("ascii"), "little")
    return "{%08X-0000-0010-8000-00AA00389B71}" % value


def listing(subtype, *sizes):
    """Formats as the module lists them: `sizes` are "WxH: fps fps ..." with whole fps."""
    out = []
    for entry in sizes:
        size, rates = entry.split(":")
        w, h = map(int, size.split("x"))
        out += [(w, h, int(fps), subtype) for fps in rates.split()]
    return out


# Whole fps of the C920 class: 30, 24, 20, 15, 10, 7.5 and 5 fps.
C920_RATES = "30 24 20 15 10 7 5"
C920_MIDDLE = ["320x180", "320x240", "352x288", "432x240", "640x360", "800x448", "800x600", "864x480", "960x720",
               "1024x576", "1280x720", "1600x896"]
C920_COMPRESSED = ["640x480", "160x90", "160x120", "176x144"] + C920_MIDDLE + ["1920x1080"]
# 27.5, 22.5, 17.5, 12.5 and 7.5 fps truncate.
FRACTIONAL_RATES = "30 27 25 22 20 17 15 12 10 7 5"
# A stepwise range of 32x32 - 2592x1944 in steps of 2 becomes its ends and the common sizes in it,
# smallest first; the driver lists no intervals, so each size has the rate the node is set to.
STEPWISE_SIZES = ["32x32", "160x120", "176x144", "320x240", "352x288", "640x360", "640x480", "800x600",
                  "960x540", "1024x768", "1280x720", "1280x960", "1600x1200", "1920x1080", "2560x1440",
                  "2592x1944"]


def stepwise(subtype):
    return listing(subtype, *(s + ": 30" for s in STEPWISE_SIZES))


# file: (name, device_id, formats, relay format (width, height, fps, subtype) or None when the
# camera offers nothing the relay can decode)
RECORDED = {
    "logitech-c920.json": (
        # Sizes whose intervals the posts do not show stream at the node's current 30 fps.
        "HD Pro Webcam C920", "/dev/v4l/by-id/usb-046d_HD_Pro_Webcam_C920-video-index0",
        listing("YUY2", "640x480: " + C920_RATES, "160x90: " + C920_RATES, "160x120: " + C920_RATES,
                "176x144: 30 24 20 15 10", *(s + ": 30" for s in C920_MIDDLE), "1920x1080: 5", "2304x1296: 2",
                "2304x1536: 2")
        + listing(fourcc_name("H264"), "640x480: 30 24 20", *(s + ": 30" for s in C920_COMPRESSED[1:]))
        + listing("MJPEG", *(s + ": 30" for s in C920_COMPRESSED)),
        (320, 240, 30, "MJPEG")),
    "logitech-c930e.json": (
        # 640x480 lists its six intervals twice, and appears once per rate.
        "Logitech Webcam C930e", "/dev/v4l/by-id/usb-046d_Logitech_Webcam_C930e-video-index0",
        listing("YUY2", "640x480: 30 25 20 15 10 5", "1920x1080: 5", "1600x896: 5", "1280x720: 10",
                "1024x576: 10", "960x720: 10", "864x480: 10", "800x600: 20 15 10 5", "800x448: 10",
                "640x360: 30"),
        (640, 360, 30, "YUY2")),
    "kodak-pixpro-4k.json": (
        "PIXPRO 4K", "/dev/v4l/by-id/usb-KODAK_PIXPRO_4K-video-index0",
        listing("MJPEG", "3840x2160: 5", "2880x2880: 5", "2048x2048: 5", "1440x1440: 15 5", "1920x1080: 15 5",
                "1280x720: 30 15 5", "640x360: 30 15 5"),
        (640, 360, 30, "MJPEG")),
    "webcam-27-5fps.json": (
        "USB Webcam", "/dev/v4l/by-id/usb-Generic_USB_Webcam-video-index0",
        listing("YUY2", "160x120: " + FRACTIONAL_RATES, "176x144: " + FRACTIONAL_RATES,
                "320x240: 30 27 25 22 20"),
        (176, 144, 27, "YUY2")),  # asks 27/1; the camera runs at its nearest, 27.5
    "raspberry-pi-camera-stepwise.json": (
        # No udev link: the node itself is the id. JPEG and MJPG are both Motion-JPEG: the second
        # adds nothing.
        "mmal service 16.1", "/dev/video0",
        stepwise("I420") + stepwise("YUY2") + stepwise(fourcc_name("RGB3")) + stepwise("MJPEG")
        + stepwise(fourcc_name("H264")) + stepwise(fourcc_name("YVYU")),
        (320, 240, 30, "I420")),
    "elgato-cam-link-4k-1080p25.json": (
        "Cam Link 4K: Cam Link 4K", "/dev/v4l/by-id/usb-Elgato_Cam_Link_4K-video-index0",
        listing("YUY2", "1920x1080: 25") + listing("NV12", "1920x1080: 25") + listing("I420", "1920x1080: 25"),
        (1920, 1080, 25, "NV12")),
    "elgato-cam-link-4k-2160p30.json": (
        # NV12 is listed twice by the device, once by the module.
        "Cam Link 4K: Cam Link 4K", "/dev/v4l/by-id/usb-Elgato_Cam_Link_4K-video-index0",
        listing("NV12", "3840x2160: 30") + listing("I420", "3840x2160: 30"),
        (3840, 2160, 30, "NV12")),
    "via-h264-camera.json": (
        "USB Camera", "/dev/v4l/by-id/usb-VIA_Technologies_USB_Camera-video-index0",
        listing(fourcc_name("H264"), "640x480: 30 15 10", "1280x720: 30 15 10", "1920x1080: 30 15 10",
                "2048x1024: 30 15 10"),
        None),
}


@pytest.fixture
def replay():
    """Points the V4L2 backend at a description, freshly loaded; sessions made with
    `replay.session()` are stopped afterwards and the variable is removed."""
    lib = ctypes.CDLL(library_path("libmfcompat.so"))
    lib.mfcompat_v4l2_replay_reset.restype = None
    sessions = []

    def use(path):
        os.environ[VARIABLE] = str(path)
        lib.mfcompat_v4l2_replay_reset()

    def session():
        cap = trelvo.VideoCapture()
        sessions.append(cap)
        return cap

    use.session = session
    yield use
    for cap in sessions:
        cap.stop()
    os.environ.pop(VARIABLE, None)
    lib.mfcompat_v4l2_replay_reset()
    simcam.set_clock_scale(1.0)
    flush_c_stdout()


def described(fmt):
    return (fmt.width, fmt.height, fmt.fps, fmt.subtype_name)


@pytest.mark.parametrize("camera", list(RECORDED))
def test_recorded_camera_is_listed_as_it_answers(replay, camera):
    name, device_id, formats, _ = RECORDED[camera]
    replay(CAMERAS / camera)
    cams = trelvo.VideoCapture().enumerate_cameras()
    # One camera per video node; the C920's metadata node is no camera.
    assert [(c.name, c.device_id) for c in cams] == [(name, device_id)]
    assert [described(f) for f in cams[0].formats] == formats


def test_every_recorded_camera_at_once(replay):
    replay(CAMERAS)
    cams = trelvo.VideoCapture().enumerate_cameras()
    assert sorted(c.name for c in cams) == sorted(v[0] for v in RECORDED.values())
    assert len({c.device_id for c in cams}) == len(cams)


def test_simulated_cameras_come_first_in_their_order_then_v4l2_nodes_by_number(replay, tmp_path):
    # The file order (a, b) is the reverse of the node order (video3, video5).
    for copy, recorded in (("a.json", "elgato-cam-link-4k-1080p25.json"), ("b.json", "webcam-27-5fps.json")):
        (tmp_path / copy).write_text((CAMERAS / recorded).read_text())
    replay(tmp_path)
    with simcam.SimCamera("Sim Z", "sim://z"), simcam.SimCamera("Sim A", "sim://a"):
        cams = trelvo.VideoCapture().enumerate_cameras()
    assert [(c.name, c.device_id) for c in cams] == [
        ("Sim Z", "sim://z"), ("Sim A", "sim://a"),
        RECORDED["webcam-27-5fps.json"][:2], RECORDED["elgato-cam-link-4k-1080p25.json"][:2]]


def test_virtual_cameras_and_nodes_that_capture_no_video_are_not_listed(replay, tmp_path):
    """The machine of a relay into v4l2loopback (exclusive_caps=1) from vivid, whose video output
    and metadata nodes stand beside its capture node: only vivid's capture node is a camera."""
    def node(path, driver, caps, links=()):
        return {"path": path, "links": list(links), "driver": driver, "card": driver,
                "capabilities": hex(caps | 0x80000000), "device_caps": hex(caps),
                "formats": [{"fourcc": "YUYV", "sizes": ["640x480: 1/30"]}]}
    by_path = "/dev/v4l/by-path/platform-vivid.0-video-index0"
    description = {"nodes": [
        node("/dev/video0", "vivid", 0x05200001, [by_path]),  # video capture
        node("/dev/video1", "vivid", 0x05200002),  # video output
        node("/dev/video2", "vivid", 0x04a00000),  # metadata capture
        node("/dev/video10", "v4l2 loopback", 0x05200001),  # being written
        node("/dev/video11", "v4l2 loopback", 0x05200003)]}  # exclusive_caps=0
    (tmp_path / "machine.json").write_text(json.dumps(description))
    replay(tmp_path / "machine.json")
    cams = trelvo.VideoCapture().enumerate_cameras()
    assert [(c.name, c.device_id) for c in cams] == [("vivid", by_path)]


@pytest.mark.parametrize("camera", list(RECORDED))
def test_relay_at_a_listed_format_delivers_pictures(replay, recording, c_output, camera):
    name, device_id, formats, relay = RECORDED[camera]
    replay(CAMERAS / camera)
    cap = replay.session()
    if relay is None:
        # Nothing listed is a subtype the relay decodes; asked for the listed H.264 format by its
        # name, the session asks the camera for RGB24, which it does not have.
        w, h, fps, subtype = formats[0]
        assert cap.start(device_id, "", w, h, fps, subtype, 0) is False
        assert recording.counts().cameras_created == 0
        return
    w, h, fps, subtype = relay
    assert (w, h, fps, subtype) in formats
    assert cap.start(device_id, "", w, h, fps, subtype, 0) is True
    reader = vcam.VirtualCameraReader()
    for _ in range(3):
        p = reader.read(timeout=5.0)
        assert p is not None, "no picture from the camera"
        assert (p.width, p.height, p.type, p.state) == (w, h, 0, vcam.STATE_LIVE)
        pixels = np.frombuffer(p.data, dtype=np.uint8)
        assert pixels.size == w * h * 3 and pixels.std() > 10, "a blank picture"
    assert cap.is_running()
    assert c_output() == ""


def small_camera(tmp_path, quirks):
    """A one-format Motion-JPEG camera of solid pictures, with the given misbehaviour."""
    description = {"nodes": [{
        "path": "/dev/video0", "links": ["/dev/v4l/by-id/usb-Quirky_Cam-video-index0"], "card": "Quirky Cam",
        "capabilities": "0x84a00001", "device_caps": "0x04200001",
        "formats": [{"fourcc": "MJPG", "sizes": ["64x48: 1/30"]}],
        "frames": [{"fourcc": "MJPG", "size": "64x48", "file": str(SOLID)}],
        "quirks": quirks}]}
    path = tmp_path / "quirky.json"
    path.write_text(json.dumps(description))
    return path


def solid_pictures(reader, count, colours=(FIRST, SECOND)):
    """Reads `count` pictures, each one solid picture of one of `colours`; returns the colours seen."""
    seen = set()
    for _ in range(count):
        p = reader.read(timeout=2.0)
        assert p is not None and p.state == vcam.STATE_LIVE
        pixels = np.frombuffer(p.data, dtype=np.uint8).reshape(-1, 3).astype(float)
        matches = [c for c in colours if np.abs(pixels - c).max() <= 8]
        # A damaged sample that got through would show as a picture of another colour, or in part.
        assert matches, f"not a whole picture of {colours}: {pixels.min(0)}..{pixels.max(0)}"
        seen.add(matches[0])
    return seen


# Every second frame broken (flagged, or empty): only the first picture may reach the virtual camera.
@pytest.mark.parametrize("quirks, colours", [
    ({"error_every": 2}, (FIRST,)),
    ({"empty_every": 2}, (FIRST,)),
    ({"zero_padding": 4096}, (FIRST, SECOND)),
    ({"zero_first_frame": True}, (FIRST, SECOND)),
], ids=["error-flagged", "bytesused-0", "padded-after-EOI", "all-zero-first"])
def test_relay_drops_what_it_cannot_use_and_goes_on(replay, tmp_path, c_output, quirks, colours):
    replay(small_camera(tmp_path, quirks))
    cap = replay.session()
    assert cap.start("/dev/v4l/by-id/usb-Quirky_Cam-video-index0", "", 64, 48, 30, "MJPEG", 0) is True
    assert solid_pictures(vcam.VirtualCameraReader(), 10, colours) == set(colours)
    assert cap.is_running()
    assert c_output() == ""  # dropped without a word, not even libavcodec's


def test_camera_of_only_broken_frames_starts_and_stops(replay, tmp_path, recording, c_output):
    # Every buffer flagged: nothing reaches the virtual camera, but nothing waits forever either.
    replay(small_camera(tmp_path, {"error_every": 1}))
    cap = replay.session()
    assert cap.start("/dev/v4l/by-id/usb-Quirky_Cam-video-index0", "", 64, 48, 30, "MJPEG", 0) is True
    time.sleep(0.3)
    assert cap.is_running()
    cap.stop()
    assert recording.counts().frames_sent == 0
    assert c_output() == ""


def _wait_for(c_output, line, seen, timeout=10.0):
    deadline = time.monotonic() + timeout
    while line not in seen[0]:
        assert time.monotonic() < deadline, f"no {line!r} in {seen[0]!r}"
        time.sleep(0.005)
        seen[0] += c_output()


@pytest.mark.parametrize("quirks, comes_back", [
    ({"lost_after": 15, "lost_errno": "ENODEV", "replug_after_ms": 30}, True),
    ({"lost_after": 15, "lost_errno": "EIO"}, True),
    ({"lost_after": 15, "lost_errno": "ENODEV"}, False),
], ids=["unplugged-and-replugged", "queue-error", "unplugged-for-good"])
def test_lost_camera_reconnects_or_ends_honestly(replay, tmp_path, c_output, quirks, comes_back):
    simcam.set_clock_scale(0.02)  # the 5000 ms reconnection wait takes 100 ms
    replay(small_camera(tmp_path, quirks))
    cap = replay.session()
    assert cap.start("/dev/v4l/by-id/usb-Quirky_Cam-video-index0", "", 64, 48, 30, "MJPEG", 0) is True
    reader = vcam.VirtualCameraReader()
    solid_pictures(reader, 3)
    seen = [""]
    _wait_for(c_output, "Try reconnect device 0...\n", seen)
    assert seen[0].startswith("ReadSample failed: 0x")
    if comes_back:
        _wait_for(c_output, "Reconnect device 0 success\n", seen)
        solid_pictures(reader, 5)
        assert cap.is_running()
    else:
        _wait_for(c_output, "Reconnect device 0 failed\n", seen)
        # The session ends: it says it no longer runs, and the virtual camera goes away.
        deadline = time.monotonic() + 10
        while cap.is_running() or reader.state != vcam.STATE_CLOSED:
            assert time.monotonic() < deadline, "the session never ended"
            time.sleep(0.01)
        assert "success" not in seen[0] + c_output()


def test_command_line_lists_the_recorded_cameras():
    env = dict(os.environ, **{VARIABLE: str(CAMERAS)})
    out = subprocess.run([sys.executable, "-m", "trelvo_tools", "list"], env=env, capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    for name, device_id, formats, _ in RECORDED.values():
        assert name in out.stdout
    assert "/dev/v4l/by-id/usb-046d_Logitech_Webcam_C930e-video-index0" in out.stdout
    assert "640x360 @ 30 fps YUY2" in out.stdout


def test_unreadable_description_gives_no_cameras_and_says_why(replay, tmp_path, capfd):
    bad = tmp_path / "bad.json"
    bad.write_text('{"nodes": [{"path": "/dev/video0", "card": "x", "capabilities": 1,\n'
                   '  "formats": [{"fourcc": "MJPG", "sizes": ["640x480: 30"]}]}]}')
    replay(bad)
    capfd.readouterr()
    assert trelvo.VideoCapture().enumerate_cameras() == []
    err = capfd.readouterr().err
    assert err == f"{VARIABLE}: {bad}: an interval is N/D seconds: \"30\"\n"


def _node(more):
    return '{"nodes": [{"path": "/dev/video0", "card": "x", "capabilities": 1, %s}]}' % more


@pytest.mark.parametrize("make, says", [
    (lambda d: os.mkfifo(d / "fifo.json") or d / "fifo.json", "{d}/fifo.json is not a regular file"),
    (lambda d: os.mkfifo(d / "fifo.json") or d, "{d}/fifo.json is not a regular file"),
    (lambda d: Path("/dev/zero"), "/dev/zero is not a regular file"),
    (lambda d: (d / "z.json").write_text(_node(
        '"frames": [{"fourcc": "MJPG", "size": "64x48", "file": "/dev/zero"}]')) and d / "z.json",
     "{d}/z.json: /dev/zero is not a regular file"),
    (lambda d: (d / "big.json").write_text(_node(
        '"formats": [{"fourcc": "MJPG", "sizes": ["65535x65535: 1/30"]}]')) and d / "big.json",
     "{d}/big.json: the size 65535x65535 is larger than supported"),
], ids=["fifo", "fifo-in-folder", "dev-zero", "frames-dev-zero", "huge-size"])
def test_command_line_refuses_a_hostile_description_in_one_line(tmp_path, make, says):
    path = make(tmp_path)
    env = dict(os.environ, **{VARIABLE: str(path)})
    out = subprocess.run([sys.executable, "-m", "trelvo_tools", "list"], env=env, capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert "Traceback" not in out.stderr
    assert out.stderr.startswith(f"{VARIABLE}: " + says.format(d=tmp_path)), out.stderr
    assert "No cameras found." in out.stdout
