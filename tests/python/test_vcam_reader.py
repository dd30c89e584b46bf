"""The pure-Python channel reader against pictures written by the camera
library itself (through ctypes), on a private channel."""

import os
import struct
import threading
import time
import zlib

import pytest

from trelvo_tools import vcam


def _find_library():
    path = os.environ.get("TRELVOHDCAM_LIB")
    if path:
        return path
    from trelvo_tools.native import library_path

    return library_path("libtrelvohdcam.so")


@pytest.fixture
def lib(monkeypatch):
    path = _find_library()
    if not path:
        pytest.skip("libtrelvohdcam.so not found (set TRELVOHDCAM_LIB)")
    channel = f"/trelvohdcam_pytest_{os.getpid()}_{time.monotonic_ns()}"
    monkeypatch.setenv("TRELVOHDCAM_CHANNEL", channel)
    monkeypatch.setenv("TRELVOHDCAM_LOOPBACK", "off")
    so = vcam.camera_library(path)
    so.channel = channel
    yield so
    vcam.remove_channel(channel)


def test_reads_newest_picture_times_out_and_sees_close(lib):
    reader = vcam.VirtualCameraReader()
    assert reader.name == lib.channel
    assert reader.read(timeout=0.02) is None  # no camera yet

    cam = lib.scCreateCamera(4, 2, 30.0, 0)
    assert cam
    assert reader.read(timeout=0.02) is None  # a camera without pictures
    for value in (10, 20):
        assert lib.scSendFrame(cam, bytes([value]) * 24) == 0
    pic = reader.read(timeout=1.0)
    assert (pic.width, pic.height, pic.type, pic.frame_number) == (4, 2, 0, 2)
    assert pic.data == bytes([20]) * 24
    assert pic.fps == pytest.approx(30.0)
    assert 0 < pic.timestamp <= time.monotonic_ns()
    assert pic.state == vcam.STATE_LIVE
    assert reader.read(timeout=0.05) is None  # nothing newer than the last one
    assert reader.read(timeout=0.0, after=0).sequence == pic.sequence

    lib.scDeleteCamera(cam)
    assert reader.state == vcam.STATE_CLOSED
    reader.close()


def test_reader_started_first_follows_cameras_of_other_sizes(lib):
    reader = vcam.VirtualCameraReader(lib.channel.lstrip("/"))

    def camera():
        time.sleep(0.05)
        cam = lib.scCreateCamera(2, 2, 30.0, 1)
        lib.scSendFrame(cam, bytes([16, 128, 235, 128]) * 2)
        lib.scDeleteCamera(cam)

    t = threading.Thread(target=camera)
    t.start()
    first = reader.read(timeout=2.0)
    t.join()
    assert first is not None and (first.width, first.type, len(first.data)) == (2, 1, 8)

    big = lib.scCreateCamera(64, 32, 30.0, 0)
    lib.scSendFrame(big, bytes(range(256)) * 24)
    second = reader.read(timeout=1.0)
    assert (second.width, second.height, len(second.data)) == (64, 32, 64 * 32 * 3)
    assert second.generation == first.generation + 1
    assert second.data == bytes(range(256)) * 24
    lib.scDeleteCamera(big)


def test_to_rgb_and_png():
    bgr = vcam.Picture(2, 1, 0, 30.0, 1, 0, 2, 1, 1, bytes([1, 2, 3, 4, 5, 6]))
    assert vcam.to_rgb(bgr) == bytes([3, 2, 1, 6, 5, 4])
    # Black and white in limited range, grey chroma.
    yuy = vcam.Picture(2, 1, 1, 30.0, 1, 0, 2, 1, 1, bytes([16, 128, 235, 128]))
    assert vcam.to_rgb(yuy) == bytes([0, 0, 0, 255, 255, 255])
    assert vcam._yuy2_to_rgb_python(yuy.data, 2, 1) == vcam.to_rgb(yuy)
    # Saturated red (BT.601: Y 81, U 90, V 240) comes back red.
    red = vcam.to_rgb(vcam.Picture(2, 1, 1, 30.0, 1, 0, 2, 1, 1, bytes([81, 90, 81, 240])))
    assert red[0] > 250 and red[1] < 5 and red[2] < 5
    with pytest.raises(ValueError):
        vcam.to_rgb(vcam.Picture(2, 1, 5, 30.0, 1, 0, 2, 1, 1, b""))

    png = vcam.encode_png(2, 1, bytes([3, 2, 1, 6, 5, 4]))
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    width, height, depth, color = struct.unpack(">IIBB", png[16:26])
    assert (width, height, depth, color) == (2, 1, 8, 2)
    idat_len = struct.unpack(">I", png[33:37])[0]
    assert png[37:41] == b"IDAT"
    assert zlib.decompress(png[41:41 + idat_len]) == b"\x00" + bytes([3, 2, 1, 6, 5, 4])
    with pytest.raises(ValueError):
        vcam.encode_png(2, 2, b"\x00" * 6)


@pytest.mark.parametrize("length", [255, 256])
def test_channel_names_follow_the_librarys_rule(lib, monkeypatch, length):
    # The longest name the library takes, and one byte more: the reader must agree with it.
    name = "/t" + "n" * (length - 2)
    monkeypatch.setenv("TRELVOHDCAM_CHANNEL", name)
    monkeypatch.setenv("TRELVO_PLATFORM_LOG", "off")
    cam = lib.scCreateCamera(4, 2, 30.0, 0)
    assert cam
    try:
        created = os.path.exists("/dev/shm/" + name[1:])
    finally:
        lib.scDeleteCamera(cam)
    if created:
        os.unlink("/dev/shm/" + name[1:])
        assert vcam.channel_name(name) == name
    else:
        with pytest.raises(ValueError):
            vcam.channel_name(name)
    assert created == (length <= 255)
