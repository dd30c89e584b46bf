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


# -- a private channel: planted objects, other users, a shrinking file, damaged headers ---------

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NOBODY = 65534
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="a second user needs root (setuid, chown)")


def _plant(path, kind):
    """Puts an object that is not the user's private channel under a channel's name."""
    if kind == "fifo":
        os.mkfifo(path, 0o600)
    elif kind == "folder":
        os.mkdir(path, 0o700)
    elif kind == "link":
        os.symlink(path + "_target", path)
        os.close(os.open(path + "_target", os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600))
    else:  # a regular file: "0644", "0666", or "user" for another user's private one
        fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
        os.fchmod(fd, {"0644": 0o644, "0666": 0o666, "user": 0o600}[kind])
        if kind == "user":
            os.fchown(fd, NOBODY, NOBODY)
        os.close(fd)


def _unplant(path):
    for p in (path, path + "_target"):
        try:
            os.rmdir(p) if os.path.isdir(p) and not os.path.islink(p) else os.unlink(p)
        except FileNotFoundError:
            pass


@pytest.mark.parametrize("kind, why", [
    ("fifo", "is a FIFO, not a regular file"),
    ("folder", "is a folder, not a regular file"),
    ("link", "is a symbolic link, not a regular file"),
    ("0644", "has mode 0644, not 0600"),
    ("0666", "has mode 0666, not 0600"),
    pytest.param("user", f"belongs to user {NOBODY}, not to this user", marks=needs_root),
])
def test_a_planted_channel_is_refused_by_the_camera_and_never_read(lib, monkeypatch, kind, why):
    path = "/dev/shm" + lib.channel
    _plant(path, kind)
    try:
        monkeypatch.setenv("TRELVO_PLATFORM_LOG", "off")
        assert not lib.scCreateCamera(4, 2, 30.0, 0)
        problem = vcam.channel_problem()
        assert problem is not None and f"{path} {why}" in problem and f"rm {path}" in problem
        reader = vcam.VirtualCameraReader()
        assert reader.read(timeout=0.0) is None  # neither blocks on a FIFO nor follows a link
        assert reader.info() is None and reader.state == vcam.STATE_NEW
    finally:
        _unplant(path)


@needs_root
def test_another_user_can_neither_read_nor_squat_the_channel(lib):
    cam = lib.scCreateCamera(4, 2, 30.0, 0)
    assert lib.scSendFrame(cam, bytes([7]) * 24) == 0
    assert vcam.VirtualCameraReader().read(timeout=0.0) is not None  # the owner reads it
    pid = os.fork()
    if pid == 0:  # another user tries to read it
        code = 1
        try:
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            code = 0 if vcam.VirtualCameraReader(lib.channel).read(timeout=0.0) is None else 3
        finally:
            os._exit(code)
    assert os.waitpid(pid, 0)[1] == 0, "another user read the picture"
    lib.scDeleteCamera(cam)
    vcam.remove_channel()
    # Created by another user, even with every permission, the name is not taken over.
    _plant("/dev/shm" + lib.channel, "user")
    os.chmod("/dev/shm" + lib.channel, 0o666)
    assert not lib.scCreateCamera(4, 2, 30.0, 0)


@pytest.mark.parametrize("size", [0, 4096])
def test_a_channel_that_shrinks_under_writer_and_reader_is_closed(lib, size):
    cam = lib.scCreateCamera(64, 48, 30.0, 0)
    picture = bytes(range(256)) * 36
    assert lib.scSendFrame(cam, picture) == 0
    reader = vcam.VirtualCameraReader()
    assert reader.read(timeout=1.0).data == picture
    os.truncate("/dev/shm" + lib.channel, size)
    assert lib.scSendFrame(cam, picture) == 0  # the camera carries on without its channel
    assert reader.read(timeout=0.0, after=0) is None
    assert reader.state == vcam.STATE_CLOSED and reader.info() is None
    lib.scDeleteCamera(cam)


def _write_header(path, width, height, ptype, frame_size, file_size):
    fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
    try:
        os.ftruncate(fd, file_size)
        os.pwrite(fd, struct.pack("<IIIIQQiiifQQQQ", vcam.MAGIC, vcam.VERSION, vcam.HEADER_SIZE,
                                  vcam.STATE_LIVE, 1, 2, width, height, ptype, 30.0, frame_size, 1,
                                  time.monotonic_ns(), os.getpid() << 32), 0)
    finally:
        os.close(fd)


def _view(*args, timeout=60):
    import subprocess
    import sys

    return subprocess.run([sys.executable, "-m", "trelvo_tools", "view", *args], cwd=ROOT,
                          capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)


# A header that disagrees with itself is no picture: neither the reader nor `view` trusts its size.
@pytest.mark.parametrize("width, height, ptype, frame_size", [
    (4, 2, 0, 3),            # shorter than its size
    (1, 1, 0, 1 << 20),      # far longer than its size
    (4, 2, 1, 4 * 2 * 3),    # YUY2 with a BGR24 size
    (-4, 2, 0, 24),          # a negative width
])
def test_a_damaged_header_is_no_picture(lib, tmp_path, width, height, ptype, frame_size):
    _write_header("/dev/shm" + lib.channel, width, height, ptype, frame_size, 128 + (1 << 20))
    assert vcam.VirtualCameraReader().read(timeout=0.0) is None
    done = _view("--out", str(tmp_path / "x.png"), "--timeout", "0")
    assert done.returncode == 1 and "Traceback" not in done.stderr, done.stderr
    assert done.stderr.count("\n") == 1 and "received no picture" in done.stderr
    assert not (tmp_path / "x.png").exists()


def test_view_refuses_bad_names_and_outputs_and_stops_when_no_relay_runs(lib, monkeypatch, tmp_path):
    fifo = tmp_path / "out.png"
    os.mkfifo(fifo)
    cam = lib.scCreateCamera(4, 2, 30.0, 0)
    assert lib.scSendFrame(cam, bytes([9]) * 24) == 0
    done = _view("--out", str(fifo), "--timeout", "3600")  # a picture is there: only the FIFO stops it
    assert done.returncode == 2 and "is not a regular file" in done.stderr, done.stderr
    lib.scDeleteCamera(cam)
    done = _view("--out", str(tmp_path / "y.png"), "--timeout", "3600")  # closed: no waiting
    assert done.returncode == 1 and "was closed (no relay is running)" in done.stderr, done.stderr
    vcam.remove_channel()
    done = _view("--out", str(tmp_path / "y.png"), "--timeout", "3600")  # no channel: no waiting
    assert done.returncode == 1 and "there is no virtual camera" in done.stderr, done.stderr
    monkeypatch.setenv("TRELVOHDCAM_CHANNEL", "/two/parts")
    done = _view("--out", str(tmp_path / "y.png"))
    assert done.returncode == 2 and "Traceback" not in done.stderr, done.stderr
    assert done.stderr.count("\n") == 1 and "TRELVOHDCAM_CHANNEL" in done.stderr


@pytest.mark.parametrize("kind, why", [("fifo", "is a FIFO"), ("0644", "has mode 0644")])
def test_a_relay_on_a_refused_channel_fails_to_start(lib, sims, monkeypatch, kind, why):
    from trelvo_tools import Relay, StartFailed

    monkeypatch.setenv("TRELVO_PLATFORM_LOG", "off")
    sims("sim://refused")
    path = "/dev/shm" + lib.channel
    _plant(path, kind)
    try:
        with pytest.raises(StartFailed, match=why):
            Relay("sim://refused", output_type=0).start()
    finally:
        _unplant(path)
