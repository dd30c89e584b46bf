"""Simulated cameras for tests and demos.

The cameras live inside the camera platform library that the ``trelvo`` module uses (the
``libmfcompat.so`` beside the module), so ``trelvo.VideoCapture.enumerate_cameras()`` lists them
first, before any real camera, and capture sessions can open them.

    cam = SimCamera("Desk cam", "sim://desk", types=[(MJPG, 1280, 720, 30, 1)])
    ...
    cam.unplug(); cam.replug(); print(cam.counters())
    reset()

``test_pattern()`` creates the camera that the command line's ``--simulated`` adds
(``sim://trelvo-test-pattern``), so that ``Relay(TEST_PATTERN_LINK)`` runs without any camera.
"""

from __future__ import annotations

import ctypes
import os
import struct
import threading
from collections import namedtuple
from typing import Iterable, Optional, Sequence, Union

from . import builtin_camera
from .subtypes import code_of

__all__ = [
    "MJPG", "NV12", "YUY2", "I420", "RGB24", "P010",
    "fourcc_guid", "guid", "guid_text",
    "SimCamera", "Counters", "Requested",
    "reset", "camera_count", "set_clock_scale", "clock_scale", "startup_counts", "reset_startup_counts",
    "live_objects", "sleep_requested_ms", "decode_frame_code", "library", "load_library",
    "test_pattern", "TEST_PATTERN_NAME", "TEST_PATTERN_LINK", "TEST_PATTERN_SIZE", "TEST_PATTERN_FPS",
    "READ_OUTCOMES", "FAULTS",
]

_FOURCC_TAIL = bytes([0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71])


def fourcc_guid(code: Union[str, bytes, int]) -> bytes:
    """The Media Foundation subtype GUID {fourcc-0000-0010-8000-00AA00389B71} as 16 bytes."""
    if isinstance(code, str):
        code = code.encode("ascii")
    if isinstance(code, (bytes, bytearray)):
        if len(code) != 4:
            raise ValueError("a FourCC has four characters")
        code = struct.unpack("<I", bytes(code))[0]
    if not isinstance(code, int) or not 0 <= code <= 0xFFFFFFFF:
        raise ValueError("a FourCC is four characters or a 32-bit number")
    return struct.pack("<IHH", code, 0, 0x10) + _FOURCC_TAIL


def guid(value: Union[bytes, bytearray, str, int]) -> bytes:
    """A GUID as the 16 bytes of its in-memory layout, from 16 bytes, a FourCC or registry text."""
    if isinstance(value, (bytes, bytearray)) and len(value) == 16:
        return bytes(value)
    if isinstance(value, str) and value.startswith("{"):
        text = value.strip("{}").split("-")
        if len(text) != 5:
            raise ValueError("GUID text is {8-4-4-4-12} hexadecimal digits")
        tail = bytes.fromhex(text[3] + text[4])
        return struct.pack("<IHH", int(text[0], 16), int(text[1], 16), int(text[2], 16)) + tail
    return fourcc_guid(value)


def guid_text(value: bytes) -> str:
    """Registry text of a 16-byte GUID: braces, hyphens, upper-case hexadecimal."""
    d1, d2, d3 = struct.unpack("<IHH", value[:8])
    tail = value[8:16].hex().upper()
    return "{%08X-%04X-%04X-%s-%s}" % (d1, d2, d3, tail[:4], tail[4:])


# The subtypes the module knows by name, under their FourCCs.
MJPG = fourcc_guid(code_of("MJPEG"))
NV12 = fourcc_guid(code_of("NV12"))
YUY2 = fourcc_guid(code_of("YUY2"))
I420 = fourcc_guid(code_of("I420"))
RGB24 = fourcc_guid(code_of("RGB24"))
P010 = fourcc_guid(code_of("P10"))

Counters = namedtuple(
    "Counters",
    "activations presentation_descriptors readers_created set_type_calls reads samples_delivered flushes shutdowns",
)
Requested = namedtuple("Requested", "subtype width height rate_numerator rate_denominator")

# --- the library ------------------------------------------------------------------------------

_PACED = 0x1
_ACCEPT_ANY = 0x2
_NO_CAMERA = -1
_BAD_ARGUMENT = -2

TEST_PATTERN_NAME = builtin_camera.NAME
TEST_PATTERN_LINK = builtin_camera.LINK
TEST_PATTERN_SIZE = builtin_camera.SIZE
TEST_PATTERN_FPS = builtin_camera.FPS

_OUTCOMES = {
    "normal": 0, "error": 1, "end_of_stream": 2, "eos": 2, "stream_tick": 3, "tick": 3,
    "no_sample": 4, "truncated": 5, "block": 6, "unplug": 7,
}
_FAULTS = {"activate": 0, "presentation_descriptor": 1, "create_reader": 2, "set_media_type": 3}
READ_OUTCOMES = tuple(sorted(_OUTCOMES))
FAULTS = tuple(_FAULTS)
_E_FAIL = -0x7FFFBFFB  # 0x80004005
_MF_E_INVALIDMEDIATYPE = 0xC00D36B4


class _Format(ctypes.Structure):
    _fields_ = [
        ("subtype", ctypes.c_uint8 * 16), ("has_subtype", ctypes.c_int32), ("has_frame_size", ctypes.c_int32),
        ("has_frame_rate", ctypes.c_int32), ("width", ctypes.c_uint32), ("height", ctypes.c_uint32),
        ("rate_numerator", ctypes.c_uint32), ("rate_denominator", ctypes.c_uint32),
    ]


class _Counters(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint64) for name in Counters._fields]


class _Requested(ctypes.Structure):
    _fields_ = [
        ("valid", ctypes.c_int32), ("subtype", ctypes.c_uint8 * 16), ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32), ("rate_numerator", ctypes.c_uint32), ("rate_denominator", ctypes.c_uint32),
    ]


_lib = None
_lib_lock = threading.Lock()


def _declare(lib):
    i32, u32, u64, i64, sz = ctypes.c_int32, ctypes.c_uint32, ctypes.c_uint64, ctypes.c_int64, ctypes.c_size_t
    u16p = ctypes.POINTER(ctypes.c_uint16)
    u8p = ctypes.POINTER(ctypes.c_uint8)
    i32p = ctypes.POINTER(ctypes.c_int32)
    table = {
        "mfcompat_sim_add_camera": (i32, [u16p, i32, u16p, i32, ctypes.POINTER(_Format), i32, u32]),
        "mfcompat_sim_remove_camera": (i32, [i32]),
        "mfcompat_sim_remove_all": (None, []),
        "mfcompat_sim_camera_count": (i32, []),
        "mfcompat_sim_set_source": (i32, [i32, i32, ctypes.c_uint8, ctypes.c_uint8, ctypes.c_uint8]),
        "mfcompat_sim_set_frames": (i32, [i32, ctypes.POINTER(u8p), ctypes.POINTER(sz), i32]),
        "mfcompat_sim_set_paced": (i32, [i32, i32]),
        "mfcompat_sim_set_accept_any_format": (i32, [i32, i32]),
        "mfcompat_sim_set_fault": (i32, [i32, i32, i32]),
        "mfcompat_sim_set_fault_after": (i32, [i32, i32, i32, u64]),
        "mfcompat_sim_set_media_type_script": (i32, [i32, i32p, i32, i32]),
        "mfcompat_sim_set_script": (i32, [i32, i32p, i32p, i32, i32]),
        "mfcompat_sim_unplug": (i32, [i32]),
        "mfcompat_sim_replug": (i32, [i32]),
        "mfcompat_sim_get_counters": (i32, [i32, ctypes.POINTER(_Counters)]),
        "mfcompat_sim_get_last_requested": (i32, [i32, ctypes.POINTER(_Requested)]),
        "mfcompat_sim_decode_frame_code": (i64, [ctypes.c_char_p, sz, u32, u32, sz, u32, u32]),
        "mfcompat_startup_count": (u64, []),
        "mfcompat_shutdown_count": (u64, []),
        "mfcompat_reset_startup_counts": (None, []),
        "mfcompat_live_objects": (i64, []),
        "mfcompat_set_clock_scale": (i32, [ctypes.c_double]),
        "mfcompat_clock_scale": (ctypes.c_double, []),
        "mfcompat_sleep_requested_ms": (u64, []),
        "mfcompat_sleep_calls": (u64, []),
    }
    for name, (restype, argtypes) in table.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes


def load_library(path: Optional[str] = None):
    """Loads the platform library: by default the one beside the imported ``trelvo`` module."""
    global _lib
    with _lib_lock:
        if _lib is None or path is not None:
            if path is None:
                import trelvo  # the module's own copy, so that both see the same cameras

                from .native import library_path

                path = library_path("libmfcompat.so")
            lib = ctypes.CDLL(path)
            _declare(lib)
            _lib = lib
        return _lib


def library():
    return load_library() if _lib is None else _lib


def _hresult(value: int) -> int:
    """An HRESULT given as a signed or unsigned 32-bit number, as the signed value C expects."""
    if not isinstance(value, int) or not -0x80000000 <= value <= 0xFFFFFFFF:
        raise ValueError("an HRESULT is a 32-bit number")
    return value - (1 << 32) if value >= 0x80000000 else value


def _text(value: Optional[str]):
    if value is None:
        return None, -1
    if not isinstance(value, str):
        raise TypeError("camera names and links are str or None")
    data = value.encode("utf-16-le", "surrogatepass")
    count = len(data) // 2
    buffer = (ctypes.c_uint16 * max(count, 1)).from_buffer_copy(data + b"\0\0")
    return buffer, count


def _check(result: int, what: str) -> None:
    if result == _NO_CAMERA:
        raise LookupError(f"{what}: no such simulated camera (removed?)")
    if result == _BAD_ARGUMENT:
        raise ValueError(f"{what}: refused by the platform")
    if result < 0:
        raise RuntimeError(f"{what} failed ({result})")


def _format(entry) -> _Format:
    if len(entry) != 5:
        raise ValueError("a media type is (subtype, width, height, rate_numerator, rate_denominator)")
    subtype, width, height, num, den = entry
    f = _Format()
    if subtype is not None:
        f.has_subtype = 1
        ctypes.memmove(f.subtype, guid(subtype), 16)
    if width is not None or height is not None:
        if width is None or height is None:
            raise ValueError("width and height are given together or both None")
        f.has_frame_size, f.width, f.height = 1, width, height
    if num is not None or den is not None:
        if num is None or den is None:
            raise ValueError("rate numerator and denominator are given together or both None")
        f.has_frame_rate, f.rate_numerator, f.rate_denominator = 1, num, den
    return f


def _script(steps: Iterable) -> tuple:
    outcomes, hrs = [], []
    for step in steps:
        hr = _E_FAIL
        if isinstance(step, int):  # a bare HRESULT: that read fails with it
            outcome, hr = _OUTCOMES["error"], _hresult(step)
        elif isinstance(step, str):
            if step not in _OUTCOMES:
                raise ValueError(f"unknown read outcome {step!r}; one of {sorted(_OUTCOMES)}")
            outcome = _OUTCOMES[step]
        elif isinstance(step, tuple) and len(step) == 2 and step[0] == "error":
            outcome, hr = _OUTCOMES["error"], _hresult(step[1])
        else:
            raise ValueError(f"bad script step {step!r}")
        outcomes.append(outcome)
        hrs.append(hr)
    return outcomes, hrs


class SimCamera:
    """One simulated camera, listed (in creation order) until removed.

    types: native media types, each (subtype, width, height, rate_numerator, rate_denominator);
        subtype is one of the constants MJPG, NV12, YUY2, I420, RGB24, P010 (16-byte GUIDs), a
        FourCC such as "H264", or GUID text; any of subtype, (width, height) and
        (numerator, denominator) may be None for a type lacking that attribute. The default is
        one type, MJPG 640x480 at 30/1 fps.
    frames: a list of byte strings served in a loop, unmodified (e.g. JPEG files); otherwise
    pattern: 'moving' (colour bars with the frame number coded in the top rows) or 'solid'
        (every pixel `color`, given as (b, g, r)), rendered in the requested subtype.
    paced: deliver at the requested frame rate (0 means 30 fps) or as fast as frames are read.
    accept_any_format: SetCurrentMediaType accepts any request, not only native subtype and size.
    faults: {'activate' | 'presentation_descriptor' | 'create_reader' | 'set_media_type': HRESULT
        or (HRESULT, after)}: the step fails, once `after` calls of it have succeeded. HRESULTs
        are numbers such as 0x80004005 (E_FAIL) or 0xC00D36B4 (MF_E_INVALIDMEDIATYPE).
    script: read outcomes consumed one per read before normal delivery: 'normal', 'eos',
        'tick', 'no_sample', 'truncated', 'block', 'unplug' (the camera is unplugged at that
        read until replug()), ('error', hr) or a bare HRESULT number. A read that delivers
        nothing for 5 s of platform time ('block', a slow rate) fails with 0x800705B4.
    repeat_script: run the script forever (e.g. [0x80004005] with it: every read fails).
    media_type_script: outcomes of the next SetCurrentMediaType calls (see set_media_type_script).
    """

    def __init__(self, name: Optional[str] = "Simulated camera", link: Optional[str] = "sim://camera",
                 types: Sequence = (("MJPG", 640, 480, 30, 1),), frames: Optional[Sequence[bytes]] = None,
                 pattern: str = "moving", color: Sequence[int] = (0, 0, 0), paced: bool = True,
                 accept_any_format: bool = False, faults: Optional[dict] = None, script: Sequence = (),
                 repeat_script: bool = False, media_type_script: Sequence = ()):
        lib = library()
        formats = [_format(t) for t in types]
        array = (_Format * max(len(formats), 1))(*formats)
        name_buffer, name_length = _text(name)
        link_buffer, link_length = _text(link)
        flags = (_PACED if paced else 0) | (_ACCEPT_ANY if accept_any_format else 0)
        result = lib.mfcompat_sim_add_camera(name_buffer, name_length, link_buffer, link_length, array,
                                             len(formats), flags)
        _check(result, "add camera")
        self.id = result
        self.name, self.link = name, link
        try:
            if frames is not None:
                self.set_frames(frames)
            elif pattern == "solid":
                self.set_solid(color)
            elif pattern != "moving":
                raise ValueError("pattern is 'moving' or 'solid'")
            for fault, hr in (faults or {}).items():
                if isinstance(hr, tuple):
                    self.set_fault(fault, *hr)
                else:
                    self.set_fault(fault, hr)
            if script:
                self.set_script(script, repeat_script)
            if media_type_script:
                self.set_media_type_script(media_type_script)
        except Exception:
            self.remove()
            raise

    def __repr__(self) -> str:
        return f"SimCamera(id={self.id}, name={self.name!r}, link={self.link!r})"

    def __enter__(self) -> "SimCamera":
        return self

    def __exit__(self, *exc) -> None:
        self.remove()

    def set_frames(self, frames: Sequence[bytes]) -> None:
        frames = [bytes(f) for f in frames]
        if not frames:
            raise ValueError("at least one frame is needed")
        keep = [ctypes.create_string_buffer(f, len(f)) for f in frames]
        pointers = (ctypes.POINTER(ctypes.c_uint8) * len(keep))(
            *[ctypes.cast(b, ctypes.POINTER(ctypes.c_uint8)) for b in keep])
        sizes = (ctypes.c_size_t * len(frames))(*[len(f) for f in frames])
        _check(library().mfcompat_sim_set_frames(self.id, pointers, sizes, len(frames)), "set frames")

    def set_solid(self, color: Sequence[int]) -> None:
        b, g, r = (int(c) for c in color)
        for c in (b, g, r):
            if not 0 <= c <= 255:
                raise ValueError("colour components are 0..255")
        _check(library().mfcompat_sim_set_source(self.id, 1, b, g, r), "set colour")

    def set_pattern(self) -> None:
        _check(library().mfcompat_sim_set_source(self.id, 0, 0, 0, 0), "set pattern")

    def set_paced(self, paced: bool) -> None:
        _check(library().mfcompat_sim_set_paced(self.id, 1 if paced else 0), "set paced")

    def set_accept_any_format(self, accept: bool) -> None:
        _check(library().mfcompat_sim_set_accept_any_format(self.id, 1 if accept else 0), "set accept")

    def set_fault(self, fault: str, hr: int, after: int = 0) -> None:
        """Makes one opening step fail with `hr` once `after` calls of it have succeeded from now
        on (a failing 'set_media_type' counts only requests that fit the camera); 0 clears it."""
        if fault not in _FAULTS:
            raise ValueError(f"unknown fault {fault!r}; one of {sorted(_FAULTS)}")
        if not isinstance(after, int) or not 0 <= after < 1 << 64:
            raise ValueError("after is a count of calls, 0 or more")
        _check(library().mfcompat_sim_set_fault_after(self.id, _FAULTS[fault], _hresult(hr), after), "set fault")

    def set_media_type_script(self, outcomes: Sequence, repeat: bool = False) -> None:
        """Outcomes of the next SetCurrentMediaType calls, one per call: 'accept' (or True, or 0)
        lets the call go on as usual, 'refuse' (or False) refuses it with MF_E_INVALIDMEDIATYPE,
        a failing HRESULT number refuses it with that code. Used up, calls go on as usual unless
        `repeat`."""
        hrs = []
        for outcome in outcomes:
            if outcome is True or outcome == "accept":
                hrs.append(0)
            elif outcome is False or outcome == "refuse":
                hrs.append(_hresult(_MF_E_INVALIDMEDIATYPE))
            elif isinstance(outcome, int) and (outcome == 0 or _hresult(outcome) < 0):
                hrs.append(_hresult(outcome))
            else:
                raise ValueError(f"bad SetCurrentMediaType outcome {outcome!r}: 'accept', 'refuse' or a failure code")
        n = len(hrs)
        _check(library().mfcompat_sim_set_media_type_script(self.id, (ctypes.c_int32 * max(n, 1))(*hrs), n,
                                                            1 if repeat else 0), "set media type script")

    def set_script(self, steps: Sequence, repeat: bool = False) -> None:
        outcomes, hrs = _script(steps)
        n = len(outcomes)
        _check(library().mfcompat_sim_set_script(self.id, (ctypes.c_int32 * max(n, 1))(*outcomes),
                                                 (ctypes.c_int32 * max(n, 1))(*hrs), n, 1 if repeat else 0),
               "set script")

    def unplug(self) -> None:
        _check(library().mfcompat_sim_unplug(self.id), "unplug")

    def replug(self) -> None:
        _check(library().mfcompat_sim_replug(self.id), "replug")

    def remove(self) -> None:
        """Takes the camera away for good; removing twice is harmless."""
        library().mfcompat_sim_remove_camera(self.id)

    def counters(self) -> Counters:
        c = _Counters()
        _check(library().mfcompat_sim_get_counters(self.id, ctypes.byref(c)), "counters")
        return Counters(*(getattr(c, f) for f in Counters._fields))

    def last_requested(self) -> Optional[Requested]:
        """The last SetCurrentMediaType request (zero where it lacked an attribute), or None."""
        r = _Requested()
        _check(library().mfcompat_sim_get_last_requested(self.id, ctypes.byref(r)), "last requested")
        if not r.valid:
            return None
        return Requested(bytes(r.subtype), r.width, r.height, r.rate_numerator, r.rate_denominator)


def test_pattern() -> SimCamera:
    """Creates the built-in simulated camera (``TEST_PATTERN_LINK``): a moving test pattern at
    640x480 and 30 fps in MJPEG, YUY2 and NV12 (and 320x240 MJPEG), delivered at its rate. Remove
    it with ``remove()`` or use it in ``with``."""
    w, h = TEST_PATTERN_SIZE
    return SimCamera(
        TEST_PATTERN_NAME, TEST_PATTERN_LINK,
        types=[("MJPG", w, h, TEST_PATTERN_FPS, 1), ("YUY2", w, h, TEST_PATTERN_FPS, 1),
               ("NV12", w, h, TEST_PATTERN_FPS, 1), ("MJPG", 320, 240, TEST_PATTERN_FPS, 1)],
        pattern="moving", paced=True)


def reset() -> None:
    """Removes every simulated camera."""
    library().mfcompat_sim_remove_all()


def camera_count() -> int:
    return library().mfcompat_sim_camera_count()


def set_clock_scale(scale: float) -> None:
    """Makes the platform's Sleep(ms) last ms * scale (e.g. 0.01: 5000 ms in 50 ms)."""
    if library().mfcompat_set_clock_scale(float(scale)) != 0:
        raise ValueError("the clock scale is a finite number >= 0")


def clock_scale() -> float:
    return library().mfcompat_clock_scale()


def startup_counts() -> tuple:
    """(MFStartup calls, MFShutdown calls) so far."""
    lib = library()
    return lib.mfcompat_startup_count(), lib.mfcompat_shutdown_count()


def reset_startup_counts() -> None:
    library().mfcompat_reset_startup_counts()


def live_objects() -> int:
    """Platform objects currently alive (for leak checks)."""
    return library().mfcompat_live_objects()


def sleep_requested_ms() -> int:
    """Milliseconds that Sleep was asked for so far, before scaling."""
    return library().mfcompat_sleep_requested_ms()


def decode_frame_code(data: bytes, width: int, height: int, stride: Optional[int] = None,
                      pixel_bytes: int = 3, byte_offset: int = 0) -> Optional[int]:
    """The frame number coded in a moving-pattern picture, or None when there is none to read.

    Defaults read a BGR24 picture; for a plane of 8-bit luma use pixel_bytes=1, for YUY2 2 and 0,
    for P010 2 and 1."""
    data = bytes(data)
    if stride is None:
        stride = width * pixel_bytes
    value = library().mfcompat_sim_decode_frame_code(data, len(data), width, height, stride, pixel_bytes,
                                                     byte_offset)
    return None if value < 0 else value
