"""Reader for the trelvo virtual camera's shared-memory channel, and the camera library's own
record of the calls it received.

The camera library publishes its newest picture in a POSIX shared-memory
object (``/dev/shm/<name>``), private to the user who runs the camera (mode
0600); this module maps it read-only and copies pictures out without tearing,
in plain Python. See ``trelvohdcam_channel.h`` for the layout it reads. A
reader attaches only to a regular file of its own user, never blocks beyond
its timeout, and treats a channel that shrank under it as closed.

    reader = VirtualCameraReader()
    picture = reader.read(timeout=1.0)  # None: no picture within the timeout
    if picture is not None:
        write_png("snap.png", picture.width, picture.height, to_rgb(picture))
"""

from __future__ import annotations

import ctypes
import errno
import mmap
import os
import stat
import struct
import time
import zlib
from dataclasses import dataclass
from typing import Any, Optional, Tuple, Union

# The default channel is this prefix and the effective user id: users never share one.
DEFAULT_CHANNEL_PREFIX = "/trelvohdcam-"
CHANNEL_ENV = "TRELVOHDCAM_CHANNEL"
MAGIC = 0x43485654
VERSION = 1
HEADER_SIZE = 128

STATE_NEW = 0
STATE_LIVE = 1
STATE_CLOSED = 2

# The largest picture the camera library creates (1 GiB): a header claiming more is damaged.
MAX_FRAME_BYTES = 1 << 30
_BYTES_PER_PIXEL = {0: 3, 1: 2}

TYPE_BGR24 = 0
TYPE_YUY2 = 1

# magic, version, header_size, state, generation, sequence, width, height,
# type, fps, frame_size, frame_number, timestamp_ns, owner
_HEADER = struct.Struct("<IIIIQQiiifQQQQ")
_LOOPBACK = struct.Struct("<40s")
_LOOPBACK_OFFSET = 80
_SEQUENCE = struct.Struct("<Q")
_SEQUENCE_OFFSET = 24
_STATE_OFFSET = 12

_POLL_SECONDS = 0.001


@dataclass(frozen=True)
class Picture:
    width: int
    height: int
    type: int
    fps: float
    frame_number: int
    timestamp: int  # CLOCK_MONOTONIC nanoseconds (time.monotonic_ns scale)
    sequence: int  # pass as ``after`` to wait for a newer picture
    generation: int
    state: int
    data: bytes


@dataclass(frozen=True)
class ChannelInfo:
    """What the channel's header says about the camera writing it."""
    state: int
    generation: int
    width: int
    height: int
    type: int
    fps: float
    frame_number: int  # pictures written by the current camera
    timestamp: int  # CLOCK_MONOTONIC nanoseconds of the last write
    owner: int  # the writing camera's token: process id << 32 | a per-process number
    loopback: str  # the v4l2loopback device that also shows the pictures, or ""

    @property
    def owner_pid(self) -> int:
        return self.owner >> 32


def default_channel() -> str:
    """The channel a camera uses when TRELVOHDCAM_CHANNEL is not set: one per user."""
    return f"{DEFAULT_CHANNEL_PREFIX}{os.geteuid()}"


def channel_name(channel: Optional[str] = None) -> str:
    """The shared-memory name a camera uses: ``channel``, else the
    TRELVOHDCAM_CHANNEL environment variable, else the user's default. Raises
    ValueError for a name the library would not use."""
    name = channel or os.environ.get(CHANNEL_ENV) or default_channel()
    if not name.startswith("/"):
        name = "/" + name
    # The library's own rule: one path component, at most NAME_MAX bytes with the slash.
    if len(name) < 2 or "/" in name[1:] or len(os.fsencode(name)) > 255:
        raise ValueError(f"invalid channel name {name!r}")
    return name


def _shm_path(name: str) -> str:
    return "/dev/shm/" + name[1:]


def untrusted(st: os.stat_result, check_mode: bool = True) -> Optional[str]:
    """Why an object found under a channel name must not carry this user's pictures
    ("is a FIFO, not a regular file", "belongs to user 1001, not to this user", "has mode 0644,
    not 0600"), or None if it may: the camera library's own rule."""
    if not stat.S_ISREG(st.st_mode):
        kind = ("a FIFO" if stat.S_ISFIFO(st.st_mode) else "a folder" if stat.S_ISDIR(st.st_mode)
                else "a symbolic link" if stat.S_ISLNK(st.st_mode)
                else "a socket" if stat.S_ISSOCK(st.st_mode) else "a device")
        return f"is {kind}, not a regular file"
    if st.st_uid != os.geteuid():
        return f"belongs to user {st.st_uid}, not to this user"
    if check_mode and stat.S_IMODE(st.st_mode) != 0o600:
        return f"has mode {stat.S_IMODE(st.st_mode):04o}, not 0600"
    return None


def channel_problem(channel: Optional[str] = None) -> Optional[str]:
    """Why a camera cannot publish in a channel (``channel_name(channel)``) as one line naming its
    file and what to do, or None when nothing there stands in the way. Looks without opening."""
    path = _shm_path(channel_name(channel))
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    except OSError as error:
        return f"the virtual camera's channel {path} cannot be examined: {error.strerror}."
    why = untrusted(st)
    if why is None:
        return None
    return (f"the virtual camera's channel {path} {why}; remove it (rm {path}) or choose another "
            f"channel with {CHANNEL_ENV}.")


def remove_channel(channel: Optional[str] = None) -> None:
    """Removes a channel's shared memory (``channel_name(channel)``), which
    outlives its camera so that readers see it closed: a test's own channel,
    say, once the test is done. A channel that is not there is fine; readers
    that still have it open keep what they mapped."""
    try:
        os.unlink(_shm_path(channel_name(channel)))
    except FileNotFoundError:
        pass


class VirtualCameraReader:
    """Reads pictures from a channel; the camera may start after the reader."""

    def __init__(self, channel: Optional[str] = None):
        self.name = channel_name(channel)
        self._path = _shm_path(self.name)
        self._map: Optional[mmap.mmap] = None
        self._fd = -1  # kept open while mapped, to see the object shrink
        self._identity: Optional[Tuple[int, int]] = None
        self._shrunk: Optional[Tuple[int, int]] = None  # an object closed by shrinking
        self._last_sequence = 0
        self._replaced = False

    # -- attaching ----------------------------------------------------------
    def _detach(self) -> None:
        if self._map is not None:
            self._map.close()
            self._map = None
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    def _open(self) -> Optional[Tuple[int, os.stat_result]]:
        """The named object, opened without following a link or blocking (a FIFO planted under
        the name must not hold us), if it is a regular file of this user."""
        flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
        try:
            fd = os.open(self._path, flags)
        except OSError:
            return None
        try:
            st = os.fstat(fd)
        except OSError:
            os.close(fd)
            return None
        if untrusted(st, check_mode=False) is not None:
            os.close(fd)
            return None
        return fd, st

    def _map_whole(self, fd: int, size: int) -> bool:
        """Maps the object behind fd (which the reader then owns) and checks that it did not
        shrink meanwhile: a page past its end would kill the process at the first look."""
        self._detach()
        self._fd = fd
        try:
            self._map = mmap.mmap(fd, size, mmap.MAP_SHARED, mmap.PROT_READ)
        except (OSError, ValueError):
            self._detach()
            return False
        return self._intact()

    def _intact(self) -> bool:
        """Whether the mapped object still covers the mapping; one that shrank is detached and
        reads as closed from then on."""
        if self._map is None:
            return False
        try:
            size = os.fstat(self._fd).st_size
        except OSError:
            size = -1
        if size >= len(self._map):
            return True
        self._shrunk = self._identity
        self._detach()
        return False

    def _refresh(self) -> None:
        """Attaches, or switches when the name now refers to a new object."""
        opened = self._open()
        if opened is None:
            return
        fd, st = opened
        identity = (st.st_dev, st.st_ino)
        if (self._map is not None and identity == self._identity) or identity == self._shrunk \
                or st.st_size < HEADER_SIZE:
            os.close(fd)
            return
        self._shrunk = None
        replaced = self._identity is not None and identity != self._identity
        if self._map_whole(fd, st.st_size):
            self._replaced = self._replaced or replaced
            self._identity = identity

    def _grow(self, needed: int) -> bool:
        opened = self._open()
        if opened is None:
            return False
        fd, st = opened
        if (st.st_dev, st.st_ino) != self._identity or st.st_size < needed:
            os.close(fd)
            return False
        return self._map_whole(fd, st.st_size)

    @property
    def state(self) -> int:
        """STATE_LIVE, STATE_CLOSED, or STATE_NEW (also: no channel yet)."""
        if self._map is None:
            self._refresh()
        if not self._intact():
            return STATE_CLOSED if self._shrunk is not None else STATE_NEW
        assert self._map is not None
        fields = _HEADER.unpack_from(self._map, 0)
        if fields[0] != MAGIC:
            return STATE_NEW
        return int(fields[3])

    def info(self) -> Optional[ChannelInfo]:
        """The header of the channel as it is now, or None when there is no
        channel (or no consistent copy could be taken)."""
        self._refresh()
        if not self._intact():
            return None
        m = self._map
        assert m is not None
        for _ in range(1000):
            s1 = _SEQUENCE.unpack_from(m, _SEQUENCE_OFFSET)[0]
            if s1 & 1:
                time.sleep(0)
                continue
            (magic, version, _, state, generation, _, width, height, ptype, fps, _,
             frame_number, timestamp, owner) = _HEADER.unpack_from(m, 0)
            loopback = _LOOPBACK.unpack_from(m, _LOOPBACK_OFFSET)[0]
            if _SEQUENCE.unpack_from(m, _SEQUENCE_OFFSET)[0] != s1:
                continue
            if magic != MAGIC or version != VERSION:
                return None
            return ChannelInfo(state, generation, width, height, ptype, fps, frame_number,
                               timestamp, owner,
                               loopback.split(b"\0", 1)[0].decode("utf-8", "replace"))
        return None

    # -- reading ------------------------------------------------------------
    def _try_read(self, after: int) -> Union["Picture", None, bool]:
        """A Picture, None when there is nothing newer, or False when a
        writer got in the way (try again at once)."""
        if not self._intact():
            return None
        m = self._map
        assert m is not None
        s1 = _SEQUENCE.unpack_from(m, _SEQUENCE_OFFSET)[0]
        if s1 & 1:
            return False
        (magic, version, header_size, state, generation, _, width, height, ptype,
         fps, frame_size, frame_number, timestamp, _) = _HEADER.unpack_from(m, 0)
        if magic != MAGIC or version != VERSION:
            return None
        if frame_number == 0 or (not self._replaced and s1 <= after):
            return None if _SEQUENCE.unpack_from(m, _SEQUENCE_OFFSET)[0] == s1 else False
        # A header whose size disagrees with its own width, height and type is damaged (or torn):
        # it must not make the reader map or copy whatever it claims.
        bpp = _BYTES_PER_PIXEL.get(ptype, 0)
        if (width <= 0 or height <= 0 or frame_size != width * height * bpp
                or frame_size > MAX_FRAME_BYTES):
            return None if _SEQUENCE.unpack_from(m, _SEQUENCE_OFFSET)[0] == s1 else False
        needed = header_size + frame_size
        if header_size < HEADER_SIZE or needed > len(m):
            if _SEQUENCE.unpack_from(m, _SEQUENCE_OFFSET)[0] != s1:
                return False
            return False if header_size >= HEADER_SIZE and self._grow(needed) else None
        data = m[header_size:needed]
        if _SEQUENCE.unpack_from(m, _SEQUENCE_OFFSET)[0] != s1:
            return False
        return Picture(width, height, ptype, fps, frame_number, timestamp, s1,
                       generation, state, data)

    def read(self, timeout: float = 1.0, after: Optional[int] = None) -> Optional[Picture]:
        """Waits up to ``timeout`` seconds for a picture newer than sequence
        ``after`` (default: newer than the last one this reader returned; the
        newest there is on the first call) and returns it, or None when none
        came: no camera, a camera without pictures, or nothing newer. Check for
        None before using the result; ``state`` tells which case it is."""
        if after is None:
            after = self._last_sequence
        deadline = time.monotonic() + max(0.0, timeout)
        torn = 0
        while True:
            if self._map is None or self.state != STATE_LIVE:
                self._refresh()
            got = self._try_read(after) if self._map is not None else None
            if isinstance(got, Picture):
                self._replaced = False
                self._last_sequence = got.sequence
                return got
            late = time.monotonic() >= deadline
            if got is False:
                torn += 1
                if late and torn > 1000:
                    return None
                time.sleep(0)  # a writer is mid-picture: let it finish rather than spin
                continue
            if late:
                return None
            time.sleep(_POLL_SECONDS)

    def close(self) -> None:
        self._detach()

    def __enter__(self) -> "VirtualCameraReader":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


# -- conversions ----------------------------------------------------------------

def _clamp(v: int) -> int:
    return 0 if v < 0 else 255 if v > 255 else v


def _yuy2_to_rgb_python(data: bytes, width: int, height: int) -> bytes:
    out = bytearray(width * height * 3)
    o = 0
    stride = width * 2
    for row in range(height):
        base = row * stride
        for x in range(width):
            pair = base + (x & ~1) * 2
            yv = data[base + x * 2] if x % 2 == 0 else data[pair + 2]
            d = data[pair + 1] - 128
            # An odd width leaves the last pixel without its V byte.
            e = data[pair + 3] - 128 if pair + 3 < base + stride else 0
            c = 298 * (yv - 16)
            out[o] = _clamp((c + 409 * e + 128) >> 8)
            out[o + 1] = _clamp((c - 100 * d - 208 * e + 128) >> 8)
            out[o + 2] = _clamp((c + 516 * d + 128) >> 8)
            o += 3
    return bytes(out)


def _yuy2_to_rgb_numpy(np: Any, data: bytes, width: int, height: int) -> bytes:
    pairs = np.frombuffer(data, dtype=np.uint8, count=height * (width // 2) * 4)
    pairs = pairs.reshape(height, width // 2, 4).astype(np.int32)
    y = np.stack((pairs[..., 0], pairs[..., 2]), axis=-1).reshape(height, -1)
    u = np.repeat(pairs[..., 1], 2, axis=1) - 128
    v = np.repeat(pairs[..., 3], 2, axis=1) - 128
    c = 298 * (y - 16)
    rgb = np.stack(((c + 409 * v + 128) >> 8,
                    (c - 100 * u - 208 * v + 128) >> 8,
                    (c + 516 * u + 128) >> 8), axis=-1)
    return bytes(np.clip(rgb, 0, 255).astype(np.uint8).tobytes())


def to_rgb(picture: Picture) -> bytes:
    """The picture as packed RGB (3 bytes per pixel, red first), for types
    0 (BGR24) and 1 (YUY2, BT.601 limited range). Uses numpy if present."""
    w, h = picture.width, picture.height
    data = picture.data
    if picture.type == TYPE_BGR24:
        if len(data) < w * h * 3:
            raise ValueError("picture is shorter than its size")
        src = data[: w * h * 3]
        out = bytearray(src)
        out[0::3] = src[2::3]
        out[2::3] = src[0::3]
        return bytes(out)
    if picture.type == TYPE_YUY2:
        if len(data) < w * h * 2:
            raise ValueError("picture is shorter than its size")
        if w % 2 == 0:
            try:
                import numpy
            except ImportError:
                pass
            else:
                return _yuy2_to_rgb_numpy(numpy, data, w, h)
        return _yuy2_to_rgb_python(data, w, h)
    raise ValueError(f"picture type {picture.type} has no known layout")


def encode_png(width: int, height: int, rgb: bytes) -> bytes:
    """A PNG (8-bit RGB, no filtering) of packed RGB rows."""
    if width <= 0 or height <= 0 or len(rgb) != width * height * 3:
        raise ValueError("rgb must hold width*height*3 bytes")
    stride = width * 3
    raw = b"".join(b"\x00" + rgb[r * stride:(r + 1) * stride] for r in range(height))

    def chunk(kind: bytes, body: bytes) -> bytes:
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def write_png(path: Union[str, "os.PathLike[str]"], width: int, height: int, rgb: bytes) -> None:
    """Writes packed RGB bytes as a PNG file. A path that is not a regular file (a FIFO, a
    device) is refused with OSError instead of blocking or writing into it."""
    data = encode_png(width, height, rgb)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_NONBLOCK | os.O_CLOEXEC, 0o666)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a regular file", os.fspath(path))
        os.ftruncate(fd, 0)
        with os.fdopen(fd, "wb", closefd=True) as f:
            fd = -1
            f.write(data)
    finally:
        if fd >= 0:
            os.close(fd)


# -- the virtual camera library through ctypes: its three calls and its recording --


class RecordCounts(ctypes.Structure):
    """``trelvohdcam_record_counts`` of ``trelvohdcam_record.h``."""

    _fields_ = [
        ("cameras_created", ctypes.c_uint64), ("create_failures", ctypes.c_uint64),
        ("cameras_deleted", ctypes.c_uint64), ("delete_failures", ctypes.c_uint64),
        ("frames_sent", ctypes.c_uint64), ("send_failures", ctypes.c_uint64),
        ("live_cameras", ctypes.c_uint64),
        ("last_width", ctypes.c_int32), ("last_height", ctypes.c_int32), ("last_fps", ctypes.c_float),
        ("last_type", ctypes.c_int32), ("last_handle", ctypes.c_void_p)]


def camera_library(path: Optional[str] = None) -> ctypes.CDLL:
    """The virtual camera library with the signatures of its three calls (``trelvohdcam.h``) and
    of its recording (``trelvohdcam_record.h``) set: the copy the trelvo module loaded, so that
    both see the same cameras, unless ``path`` names another."""
    if path is None:
        from .native import library_path

        path = library_path("libtrelvohdcam.so")
    lib = ctypes.CDLL(path)
    vp, sz = ctypes.c_void_p, ctypes.c_size_t
    signatures: Any = {
        "scCreateCamera": (vp, [ctypes.c_int, ctypes.c_int, ctypes.c_float, ctypes.c_int]),
        "scSendFrame": (ctypes.c_int, [vp, ctypes.c_char_p]),
        "scDeleteCamera": (None, [vp]),
        "trelvohdcam_record_get": (None, [ctypes.POINTER(RecordCounts)]),
        "trelvohdcam_record_frames_for": (ctypes.c_uint64, [vp]),
        "trelvohdcam_record_keep_frames": (None, [ctypes.c_int]),
        "trelvohdcam_record_last_frame": (sz, [vp, sz, ctypes.POINTER(vp)]),
        "trelvohdcam_record_live_handles": (sz, [ctypes.POINTER(vp), sz]),
        "trelvohdcam_record_reset": (None, []),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
    return lib


class Recording:
    """What the virtual camera library's three calls received, as it records them itself
    (counted in every build; see ``trelvohdcam_record.h``). ``library`` is the bound library."""

    def __init__(self, path: Optional[str] = None) -> None:
        self.library = camera_library(path)

    def counts(self) -> RecordCounts:
        counts = RecordCounts()
        self.library.trelvohdcam_record_get(ctypes.byref(counts))
        return counts

    def frames_for(self, handle: Optional[int]) -> int:
        """Pictures taken for one camera handle (``counts().last_handle``) since the last reset."""
        return int(self.library.trelvohdcam_record_frames_for(handle))

    def reset(self) -> None:
        """Zeroes the counters; live cameras stay live."""
        self.library.trelvohdcam_record_reset()
