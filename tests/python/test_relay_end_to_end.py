"""The relay seen from outside: simulated cameras in, pictures read from the virtual camera's
shared-memory channel out, compared with references computed here from BT.601."""
import gc
import time

import numpy as np
import pytest
import trelvo

from trelvo_tools import simcam, vcam

SUBTYPES = {"MJPEG": simcam.MJPG, "NV12": simcam.NV12, "YUY2": simcam.YUY2, "I420": simcam.I420,
            "RGB24": simcam.RGB24, "P10": simcam.P010}
W, H = 96, 64
COLOUR = (190, 90, 60)        # (b, g, r), inside the gamut of both ranges
OTHER = (40, 200, 120)
# 8-bit rounding at each conversion step, libyuv's fixed-point coefficients and libswscale's
# dithering move a channel by up to a few levels.
TOLERANCE = 4
# libswscale's default path (no accurate rounding, ordered dither for 8-bit RGB) adds a little.
RAW_TOLERANCE = 6


def _luma(r, g, b):
    return 0.299 * r + 0.587 * g + 0.114 * b


def through_camera(subtype, bgr):
    """The BGR picture a camera of `subtype` showing `bgr` should turn into: the camera encodes
    8-bit YUV (full range for JPEG, limited range for raw formats) and the decoder goes back."""
    b, g, r = bgr
    if subtype == "RGB24":
        return np.array(bgr, dtype=float)
    y = _luma(r, g, b)
    if subtype == "MJPEG":
        Y = round(y)
        cb = round(128 - 0.168736 * r - 0.331264 * g + 0.5 * b)
        cr = round(128 + 0.5 * r - 0.418688 * g - 0.081312 * b)
        rr = Y + 1.402 * (cr - 128)
        gg = Y - 0.344136 * (cb - 128) - 0.714136 * (cr - 128)
        bb = Y + 1.772 * (cb - 128)
    else:
        Y = round(16 + 219 / 255 * y)
        cb = round(128 + 224 / 255 * (b - y) / 1.772)
        cr = round(128 + 224 / 255 * (r - y) / 1.402)
        yy = (Y - 16) * 255 / 219
        rr = yy + 1.402 * (cr - 128) * 255 / 224
        bb = yy + 1.772 * (cb - 128) * 255 / 224
        gg = (yy - 0.299 * rr - 0.114 * bb) / 0.587
    return np.clip(np.array([bb, gg, rr]), 0, 255)


def yuy2_of(bgr):
    """(Y, U, Y, V) of a uniform BGR picture, BT.601 limited range."""
    b, g, r = bgr
    y = _luma(r, g, b)
    Y = 16 + 219 / 255 * y
    U = 128 + 224 / 255 * (b - y) / 1.772
    V = 128 + 224 / 255 * (r - y) / 1.402
    return np.array([Y, U, Y, V])


def expected_picture(subtype, out_type, bgr):
    seen = through_camera(subtype, bgr)
    return seen if out_type == 0 else yuy2_of(seen)


def pixels(picture):
    unit = 3 if picture.type == 0 else 4
    return np.frombuffer(picture.data, dtype=np.uint8).reshape(-1, unit).astype(float)


def read_pictures(reader, count, timeout=2.0):
    pictures = []
    for _ in range(count):
        p = reader.read(timeout=timeout)
        assert p is not None, f"no picture within {timeout} s after {len(pictures)}"
        pictures.append(p)
    return pictures


def start(cap, device_1, subtype="MJPEG", out_type=0, device_2="", width=W, height=H):
    ok = cap.start(device_1=device_1, device_2=device_2, width=width, height=height, fps=30,
                   subtype_name=subtype, type=out_type)
    assert ok is True
    return ok


@pytest.mark.parametrize("out_type", [0, 1])
@pytest.mark.parametrize("subtype", list(SUBTYPES))
def test_pictures_match_reference(sims, subtype, out_type):
    sims("sim://ref", SUBTYPES[subtype], W, H, pattern="solid", color=COLOUR)
    cap = sims.session()
    start(cap, "sim://ref", subtype, out_type)
    reader = vcam.VirtualCameraReader()
    pictures = read_pictures(reader, 4)
    expected = expected_picture(subtype, out_type, COLOUR)
    for p in pictures:
        assert (p.width, p.height, p.type, p.state) == (W, H, out_type, vcam.STATE_LIVE)
        assert len(p.data) == W * H * (3 if out_type == 0 else 2)
        worst = np.abs(pixels(p) - expected).max()
        assert worst <= (TOLERANCE if subtype in ("MJPEG", "RGB24") else RAW_TOLERANCE), \
            f"{subtype}->{out_type}: off by {worst}, expected {expected}, got {pixels(p).min(0)}..{pixels(p).max(0)}"
    sequences = [p.sequence for p in pictures]
    frames = [p.frame_number for p in pictures]
    assert sequences == sorted(set(sequences)) and frames == sorted(set(frames))
    assert len({p.generation for p in pictures}) == 1


@pytest.mark.parametrize("subtype", ["MJPEG", "RGB24"])
def test_yuy2_of_uniform_grey_is_uniform(sims, subtype):
    sims("sim://grey", SUBTYPES[subtype], W, H, pattern="solid", color=(128, 128, 128))
    cap = sims.session()
    start(cap, "sim://grey", subtype, 1)
    for p in read_pictures(vcam.VirtualCameraReader(), 3):
        quads = pixels(p)
        assert (quads == quads[0]).all(), "a uniform grey picture gave a non-uniform YUY2 picture"
        y0, u, y1, v = quads[0]
        assert y0 == y1 and abs(u - 128) <= 1 and abs(v - 128) <= 1


@pytest.mark.parametrize("out_type", [2, -1, 7])
def test_other_output_types_send_nothing(sims, recording, out_type):
    cam = sims("sim://none", simcam.MJPG, W, H)
    cap = sims.session()
    start(cap, "sim://none", "MJPEG", out_type)
    reader = vcam.VirtualCameraReader()
    deadline = time.monotonic() + 0.4
    while time.monotonic() < deadline:
        p = reader.read(timeout=0.05)
        assert p is None or p.state != vcam.STATE_LIVE, "a picture reached the channel"
    assert cam.counters().samples_delivered >= 5  # the camera did deliver
    counts = recording.counts()
    assert counts.cameras_created == 1 and counts.last_type == out_type
    assert (counts.last_width, counts.last_height) == (W, H)
    assert counts.frames_sent == 0 and counts.send_failures == 0
    assert recording.frames_for(counts.last_handle) == 0


@pytest.mark.parametrize("how", ["stop", "stop then destroy", "destroy"])
def test_stop_and_destruction_delete_the_camera_once(sims, recording, how):
    sims("sim://del", simcam.YUY2, W, H)
    cap = trelvo.VideoCapture()
    start(cap, "sim://del", "YUY2", 0)
    reader = vcam.VirtualCameraReader()
    assert read_pictures(reader, 2)[-1].state == vcam.STATE_LIVE
    assert recording.counts().live_cameras == 1
    if how.startswith("stop"):
        cap.stop()
        assert cap.is_running() is False
    if how != "stop":
        del cap
        gc.collect()
    assert reader.state == vcam.STATE_CLOSED
    counts = recording.counts()
    assert (counts.cameras_created, counts.cameras_deleted, counts.delete_failures) == (1, 1, 0)
    assert counts.live_cameras == 0


def test_second_start_replaces_the_camera(sims, recording):
    sims("sim://small", simcam.MJPG, 64, 48, pattern="solid", color=COLOUR)
    sims("sim://large", simcam.MJPG, 128, 96, pattern="solid", color=OTHER)
    cap = sims.session()
    start(cap, "sim://small", width=64, height=48)
    reader = vcam.VirtualCameraReader()
    first = read_pictures(reader, 1)[0]
    assert (first.width, first.height) == (64, 48)
    start(cap, "sim://large", out_type=1, width=128, height=96)
    p = read_pictures(reader, 1)[0]
    assert (p.width, p.height, p.type, p.state) == (128, 96, 1, vcam.STATE_LIVE)
    assert np.abs(pixels(p) - expected_picture("MJPEG", 1, OTHER)).max() <= TOLERANCE
    counts = recording.counts()
    assert (counts.cameras_created, counts.cameras_deleted, counts.live_cameras) == (2, 1, 1)


@pytest.mark.parametrize("stopper", [0, 1])
def test_two_sessions_share_one_camera(sims, recording, stopper):
    sims("sim://one", simcam.MJPG, 64, 48, pattern="solid", color=COLOUR)
    sims("sim://two", simcam.MJPG, 128, 96, pattern="solid", color=OTHER)
    caps = [sims.session(), sims.session()]
    start(caps[0], "sim://one", out_type=0, width=64, height=48)
    start(caps[1], "sim://two", out_type=1, width=128, height=96)
    assert caps[0].is_running() and caps[1].is_running()
    counts = recording.counts()
    assert (counts.cameras_created, counts.cameras_deleted, counts.live_cameras) == (2, 1, 1)
    # Only the later session's pictures may reach the camera it created: the earlier one's are
    # of another size and type.
    reader = vcam.VirtualCameraReader()
    expected = expected_picture("MJPEG", 1, OTHER)
    for p in read_pictures(reader, 10):
        assert (p.width, p.height, p.type) == (128, 96, 1)
        assert np.abs(pixels(p) - expected).max() <= TOLERANCE

    caps[stopper].stop()
    counts = recording.counts()
    if stopper == 0:
        # The earlier session no longer holds the camera: its stop leaves the later one's alone.
        assert (counts.cameras_deleted, counts.live_cameras) == (1, 1)
        assert reader.state == vcam.STATE_LIVE
        assert len(read_pictures(reader, 3)) == 3
    else:
        assert reader.state == vcam.STATE_CLOSED
        assert (counts.cameras_deleted, counts.live_cameras) == (2, 0)
        # The earlier session goes on, but nothing more is sent to a deleted camera.
        sent = counts.frames_sent
        time.sleep(0.2)
        assert recording.counts().frames_sent == sent
    caps[1 - stopper].stop()
    counts = recording.counts()
    assert (counts.cameras_deleted, counts.live_cameras) == (2, 0)


def _mean_colour(picture):
    return pixels(picture).mean(axis=0)


def test_dual_session_switches_between_cameras(sims, c_output):
    sims("sim://left", simcam.MJPG, W, H, pattern="solid", color=COLOUR)
    sims("sim://right", simcam.MJPG, W, H, pattern="solid", color=OTHER)
    cap = sims.session()
    start(cap, "sim://left", device_2="sim://right")
    c_output()
    reader = vcam.VirtualCameraReader()
    colours = {0: through_camera("MJPEG", COLOUR), 1: through_camera("MJPEG", OTHER)}

    def shows(picture, device):
        return np.abs(_mean_colour(picture) - colours[device]).max() <= TOLERANCE

    assert all(shows(p, 0) for p in read_pictures(reader, 3))
    for target in (1, 0, 1):
        cap.switch_camera()
        assert c_output() == f"Switch to device {target}\n"
        # The queue holds at most two pictures and one may be in flight.
        pictures = read_pictures(reader, 5)
        first = next((i for i, p in enumerate(pictures) if shows(p, target)), None)
        assert first is not None and first <= 3, "the switch did not reach the virtual camera"
        assert all(shows(p, target) for p in pictures[first:])
    assert cap.is_running()


def _wait_for_line(c_output, line, seen, timeout=5.0):
    deadline = time.monotonic() + timeout
    while line not in seen[0]:
        assert time.monotonic() < deadline, f"no {line!r} in {seen[0]!r}"
        time.sleep(0.001)
        seen[0] += c_output()


def test_unplugged_camera_resumes_after_replug(sims, c_output):
    simcam.set_clock_scale(0.02)  # the 5000 ms reconnection wait takes 100 ms
    cam = sims("sim://plug", simcam.MJPG, W, H)
    cap = sims.session()
    start(cap, "sim://plug")
    reader = vcam.VirtualCameraReader()
    read_pictures(reader, 2)
    c_output()
    cam.unplug()
    seen = [""]
    _wait_for_line(c_output, "Try reconnect device 0...\n", seen)
    cam.replug()
    _wait_for_line(c_output, "Reconnect device 0 success\n", seen)
    assert seen[0].startswith("ReadSample failed: 0x")
    assert seen[0].endswith("Try reconnect device 0...\nReconnect device 0 success\n")
    after = reader.read(timeout=0.0, after=0)
    pictures = read_pictures(reader, 3)
    assert pictures[0].sequence > after.sequence
    assert all(p.state == vcam.STATE_LIVE for p in pictures)
    assert cap.is_running()
    assert cam.counters().activations == 2
