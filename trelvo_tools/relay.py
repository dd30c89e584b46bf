"""A relay from a camera (or two) into the virtual camera, for Python programs.

    from trelvo_tools import Relay

    with Relay() as relay:                       # the first camera, in a format it lists
        print(relay.active_camera, relay.format, relay.loopback_device)
        time.sleep(5)
        print(relay.pictures_sent, relay.fps)

It sits on top of ``trelvo.VideoCapture``: it picks the format from the camera's own list, turns a
bare False and the module's diagnostic lines into exceptions, and reads back from the virtual
camera's channel what actually reached it.
"""

from __future__ import annotations

import ctypes
import os
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple, TypeVar

from . import subtypes, vcam

if TYPE_CHECKING:
    import trelvo

__all__ = [
    "Relay", "Format", "TrelvoError", "CameraNotFound", "FormatNotSupported", "StartFailed",
    "NotSwitched", "SUBTYPES", "OUTPUT_TYPES", "choose_format", "normalise_subtype",
    "expected_loopback", "loopback_devices", "LOOPBACK_ENV",
]

# The subtype names the module understands, and the output types that present pictures.
SUBTYPES = subtypes.NAMES
_SUBTYPE_ALIASES = subtypes.ALIASES
OUTPUT_TYPES = {vcam.TYPE_BGR24: "BGR24", vcam.TYPE_YUY2: "YUY2"}
# What a format left open prefers: common to webcams and cheap to relay.
PREFERRED = (640, 480, 30, "MJPEG")
LOOPBACK_ENV = "TRELVOHDCAM_LOOPBACK"

_SECOND_FAILED = "Second device init failed"
_SWITCHED = "Switch to device "


class TrelvoError(Exception):
    """Base of the errors a Relay raises."""


class CameraNotFound(TrelvoError, LookupError):
    """No camera has the given id; ``known_ids`` lists those that exist."""

    def __init__(self, device_id: Optional[str], known_ids: Sequence[str]):
        self.device_id = device_id
        self.known_ids = list(known_ids)
        if device_id is None:
            text = "No cameras found."
        elif not self.known_ids:
            text = f"No cameras found, so there is no camera {device_id!r}."
        else:
            text = f"Unknown camera id {device_id!r}; known ids: {', '.join(map(repr, self.known_ids))}."
        super().__init__(text)


class FormatNotSupported(TrelvoError, ValueError):
    """The camera(s) do not list the format asked for; ``formats`` maps each camera id to the
    formats it lists."""

    def __init__(self, message: str, formats: Dict[str, List["Format"]]):
        self.formats = formats
        super().__init__(message)


class StartFailed(TrelvoError, RuntimeError):
    """The session did not start (or not as asked); ``diagnostics`` holds the module's lines."""

    def __init__(self, message: str, diagnostics: Sequence[str] = ()):
        self.diagnostics = list(diagnostics)
        super().__init__(message)


class NotSwitched(TrelvoError):
    """A switch was asked for but the session has no second camera to switch to."""


@dataclass(frozen=True, order=True)
class Format:
    """One capture format: what ``start`` takes and what ``CameraFormat`` lists."""
    width: int
    height: int
    fps: int
    subtype: str

    def __str__(self) -> str:
        return f"{self.width}x{self.height} @ {self.fps} fps {self.subtype}"


def normalise_subtype(name: str) -> str:
    """The module's name for a subtype given in any case or by its FourCC ('mjpg' -> 'MJPEG')."""
    upper = name.strip().upper()
    upper = _SUBTYPE_ALIASES.get(upper, upper)
    if upper not in SUBTYPES:
        raise ValueError(f"unknown subtype {name!r}; one of {', '.join(SUBTYPES)}")
    return upper


def _formats_of(camera: Any) -> List[Format]:
    return [Format(f.width, f.height, f.fps, f.subtype_name) for f in camera.formats]


def choose_format(format_lists: Sequence[Sequence[Format]], width: Optional[int] = None,
                  height: Optional[int] = None, fps: Optional[int] = None,
                  subtype: Optional[str] = None) -> Optional[Format]:
    """The format that every list holds and that matches the fields given, closest to the
    preferred 640x480 MJPEG at 30 fps in the fields left open; None when there is none."""
    if not format_lists:
        return None
    shared = set(f for f in format_lists[0] if f.subtype in SUBTYPES)
    for formats in format_lists[1:]:
        shared &= set(formats)
    matches = [f for f in shared
               if (width is None or f.width == width) and (height is None or f.height == height)
               and (fps is None or f.fps == fps) and (subtype is None or f.subtype == subtype)]
    if not matches:
        return None
    pw, ph, pfps, psub = PREFERRED

    def distance(f: Format) -> Tuple[bool, int, int, Format]:
        return (f.subtype != psub, abs(f.width * f.height - pw * ph), abs(f.fps - pfps), f)

    return min(matches, key=distance)


# -- the loopback device ------------------------------------------------------------------------

def loopback_devices() -> List[str]:
    """The v4l2loopback devices of this machine (virtual video4linux devices)."""
    try:
        names = os.listdir("/sys/devices/virtual/video4linux")
    except OSError:
        return []
    return sorted(("/dev/" + n for n in names if n.startswith("video")),
                  key=lambda p: (len(p), p))


def expected_loopback(loopback: Optional[str] = None) -> Optional[str]:
    """The loopback device a camera created now would most likely write: the one asked for, the
    one the environment names, else the first present; None when there is none or it is off."""
    choice = loopback if loopback is not None else os.environ.get(LOOPBACK_ENV) or None
    if choice is not None:
        return None if choice == "off" else choice
    devices = loopback_devices()
    return devices[0] if devices else None


# -- the module's diagnostic lines ----------------------------------------------------------------

_libc: Optional[ctypes.CDLL] = None
T = TypeVar("T")


def flush_c() -> None:
    """Pushes out what the module printed through C stdio (it never flushes)."""
    global _libc
    try:
        if _libc is None:
            _libc = ctypes.CDLL(None)
        _libc.fflush(None)
    except (OSError, AttributeError):
        pass


def call_capturing_output(call: Callable[[], T]) -> Tuple[T, List[str]]:
    """Runs `call` with the process's standard output diverted to a file and returns its result
    and the lines the module printed meanwhile. The module holds the interpreter lock through
    every call, so no other Python thread writes in between."""
    flush_c()
    try:
        sys.stdout.flush()
    except (AttributeError, ValueError, OSError):
        pass
    try:
        saved = os.dup(1)
    except OSError:
        return call(), []
    try:
        with tempfile.TemporaryFile() as sink:
            os.dup2(sink.fileno(), 1)
            try:
                result = call()
            finally:
                flush_c()
                os.dup2(saved, 1)
            sink.seek(0)
            text = sink.read().decode("utf-8", "replace")
    finally:
        os.close(saved)
    return result, [line for line in text.splitlines() if line]


# -- the relay ----------------------------------------------------------------------------------

class Relay:
    """Relays a camera (or two, one active at a time) into the virtual camera.

    device: camera id as ``VideoCapture.enumerate_cameras`` lists it (default: the first camera).
    second: a second camera id to switch to, or None.
    width, height, fps, subtype: the capture format; fields left out are taken from the format
        the camera(s) list that is closest to 640x480 MJPEG at 30 fps. With two cameras the
        format must be one that both list.
    output_type: 0 sends BGR24 pictures, 1 sends YUY2; default 1 when a v4l2loopback device will
        show the camera (browsers and call apps take YUYV), else 0.
    loopback: the v4l2loopback device to write ("/dev/video10"), "off" for none, or None for the
        library's choice (the ``TRELVOHDCAM_LOOPBACK`` environment variable, else the first
        loopback device that takes the format).
    second_optional: when the second camera cannot be opened, run on the first alone (``cameras``
        then holds one id) instead of raising StartFailed.

    Raises CameraNotFound, FormatNotSupported or StartFailed from ``start`` (and ``with``).
    The module's diagnostic lines of ``start`` and ``switch`` are kept in ``diagnostics`` rather
    than printed: for the moment of those calls the process's standard output goes to a file,
    so anything another thread prints to it in that moment lands there too.
    """

    def __init__(self, device: Optional[str] = None, second: Optional[str] = None, *,
                 width: Optional[int] = None, height: Optional[int] = None,
                 fps: Optional[int] = None, subtype: Optional[str] = None,
                 output_type: Optional[int] = None, loopback: Optional[str] = None,
                 second_optional: bool = False, capture: Optional["trelvo.VideoCapture"] = None):
        for name, value in (("width", width), ("height", height), ("fps", fps)):
            if value is not None and (not isinstance(value, int) or value <= 0):
                raise ValueError(f"{name} must be a positive int, not {value!r}")
        if output_type is not None and output_type not in OUTPUT_TYPES:
            raise ValueError(f"output_type is 0 (BGR24) or 1 (YUY2), not {output_type!r}")
        self.device = device
        self.second = second or None
        self._asked = (width, height, fps, None if subtype is None else normalise_subtype(subtype))
        self._asked_type = output_type
        self.loopback = loopback
        self._second_optional = second_optional
        self._capture = capture
        self.format: Optional[Format] = None
        self.output_type: Optional[int] = None
        self.cameras: Tuple[str, ...] = ()
        self.diagnostics: List[str] = []
        self._active = 0
        self._owner: Optional[int] = None
        self._channel = vcam.VirtualCameraReader()
        self._last_info: Optional[vcam.ChannelInfo] = None
        self._fps_mark: Optional[Tuple[float, int]] = None
        self._started = False

    # -- starting and stopping ------------------------------------------------------------------
    def _module_capture(self) -> "trelvo.VideoCapture":
        if self._capture is None:
            import trelvo

            self._capture = trelvo.VideoCapture()
        return self._capture

    def _resolve(self) -> Tuple[List[Any], Format]:
        capture = self._module_capture()
        listed, _ = call_capturing_output(capture.enumerate_cameras)
        ids = [c.device_id for c in listed]
        if self.device is None:
            if not listed:
                raise CameraNotFound(None, [])
            self.device = listed[0].device_id
        chosen = []
        for device_id in [self.device] + ([self.second] if self.second else []):
            cam = next((c for c in listed if c.device_id == device_id), None)
            if cam is None:
                raise CameraNotFound(device_id, ids)
            chosen.append(cam)
        width, height, fps, subtype = self._asked
        lists = [_formats_of(c) for c in chosen]
        fmt = choose_format(lists, width, height, fps, subtype)
        if fmt is None:
            if len(chosen) > 1:
                raise FormatNotSupported(
                    "The two cameras list no common format" + self._asked_text() + "; a session "
                    "opens both with the same format.", {c.device_id: l for c, l in zip(chosen, lists)})
            if None in self._asked:
                raise FormatNotSupported(f"The camera lists no format{self._asked_text()}.",
                                         {chosen[0].device_id: lists[0]})
            # Fully given: the camera may still take it, though it does not list it.
            fmt = Format(width, height, fps, subtype)  # type: ignore[arg-type]
        return chosen, fmt

    def _asked_text(self) -> str:
        width, height, fps, subtype = self._asked
        parts = []
        if width is not None or height is not None:
            parts.append(f"{width if width is not None else '*'}x{height if height is not None else '*'}")
        if fps is not None:
            parts.append(f"{fps} fps")
        if subtype is not None:
            parts.append(subtype)
        return " matching " + " ".join(parts) if parts else ""

    def start(self) -> "Relay":
        """Starts relaying (a running relay is restarted). Returns self."""
        self.stop()
        chosen, fmt = self._resolve()
        expected = expected_loopback(self.loopback)
        out_type = self._asked_type if self._asked_type is not None else (
            vcam.TYPE_YUY2 if expected else vcam.TYPE_BGR24)
        capture = self._module_capture()

        def start() -> bool:
            return capture.start(device_1=chosen[0].device_id, device_2=self.second or "", width=fmt.width,
                                 height=fmt.height, fps=fmt.fps, subtype_name=fmt.subtype,
                                 type=out_type)

        saved_env = os.environ.get(LOOPBACK_ENV)
        if self.loopback is not None:
            os.environ[LOOPBACK_ENV] = self.loopback
        try:
            ok, lines = call_capturing_output(start)
        finally:
            if self.loopback is not None:
                if saved_env is None:
                    os.environ.pop(LOOPBACK_ENV, None)
                else:
                    os.environ[LOOPBACK_ENV] = saved_env
        self.diagnostics = lines
        if not ok:
            listed = _formats_of(chosen[0])
            if fmt not in listed:
                raise FormatNotSupported(f"{chosen[0].name} did not start with {fmt}, which it does "
                                         "not list.", {chosen[0].device_id: listed})
            raise StartFailed(f"{chosen[0].name} did not start with {fmt}: it could not be opened "
                              "or delivered no picture.", lines)
        self.format, self.output_type = fmt, out_type
        self.cameras = (self.device,) if any(_SECOND_FAILED in l for l in lines) or not self.second \
            else (self.device, self.second)  # type: ignore[assignment]
        self._active = 0
        self._started = True
        info = self._channel.info()
        self._owner = info.owner if info is not None and info.state == vcam.STATE_LIVE \
            and info.owner_pid == os.getpid() else None
        self._last_info = info if self._owner is not None else None
        if self._owner is None:
            # The camera library refused the channel (not this user's private file, no room):
            # running on would send pictures nobody sees.
            self.stop()
            why = vcam.channel_problem(self._channel.name) or (
                f"the virtual camera's channel /dev/shm{self._channel.name} could not be created; the camera "
                "library's line above says why (no room in /dev/shm is the usual cause).")
            raise StartFailed(why[0].upper() + why[1:], lines)
        self._fps_mark = (time.monotonic(), 0)
        if self.second and len(self.cameras) < 2 and not self._second_optional:
            self.stop()
            raise StartFailed(f"The second camera {self.second!r} could not be opened with {fmt}.", lines)
        asked = self.loopback
        if asked not in (None, "off") and self.loopback_device != asked:
            self.stop()
            raise StartFailed(f"The loopback device {asked} could not be used (not a v4l2loopback "
                              f"device, busy, or it refused {fmt.width}x{fmt.height} "
                              f"{OUTPUT_TYPES[out_type]}).", lines)
        return self

    def stop(self) -> None:
        """Stops relaying; harmless when not running."""
        if self._capture is not None and self._started:
            self._capture.stop()
            flush_c()
        self._started = False

    def __enter__(self) -> "Relay":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # -- while it runs --------------------------------------------------------------------------
    def switch(self) -> str:
        """Makes the other camera the active one and returns its id. Raises NotSwitched when the
        session has only one camera (or has stopped)."""
        if len(self.cameras) < 2 or not self._started:
            raise NotSwitched("The session runs on one camera: there is nothing to switch to.")
        _, lines = call_capturing_output(self._module_capture().switch_camera)
        moved = [l for l in lines if l.startswith(_SWITCHED)]
        self.diagnostics += [l for l in lines if not l.startswith(_SWITCHED)]
        if not moved:
            raise NotSwitched("The session has stopped: there is nothing to switch.")
        self._active = int(moved[-1][len(_SWITCHED):].strip())
        return self.cameras[self._active]

    @property
    def active_camera(self) -> Optional[str]:
        """The id of the camera whose pictures are relayed now."""
        return self.cameras[self._active] if self.cameras else None

    def _info(self) -> Optional[vcam.ChannelInfo]:
        """The channel's header while it is still ours (the last one that was, after that)."""
        if self._owner is not None:
            info = self._channel.info()
            if info is not None and info.owner == self._owner:
                self._last_info = info
        return self._last_info

    @property
    def taken_over_by(self) -> Optional[int]:
        """The process id of a camera that took the virtual camera over from this relay, or
        None. A relay that was taken over sends nothing anyone sees."""
        if self._owner is None:
            return None
        info = self._channel.info()
        if info is None or info.owner == self._owner or info.generation == 0:
            return None
        return info.owner_pid

    def is_running(self) -> bool:
        """True while the session runs and the virtual camera is still this relay's."""
        if not self._started:
            return False
        return self._module_capture().is_running() and self.taken_over_by is None

    @property
    def loopback_device(self) -> Optional[str]:
        """The v4l2loopback device that shows the pictures to other applications, or None."""
        info = self._info()
        return (info.loopback or None) if info is not None else None

    @property
    def channel(self) -> str:
        """The shared-memory channel that carries the pictures (trelvo's own tools read it)."""
        return self._channel.name

    @property
    def pictures_sent(self) -> int:
        """Pictures that reached the virtual camera since start (its channel's count)."""
        info = self._info()
        return info.frame_number if info is not None else 0

    @property
    def fps(self) -> float:
        """Pictures per second that reached the virtual camera since the previous reading of
        `fps` (or since start)."""
        if self._fps_mark is None:
            return 0.0
        now, sent = time.monotonic(), self.pictures_sent
        then, before = self._fps_mark
        self._fps_mark = (now, sent)
        return (sent - before) / (now - then) if now > then else 0.0

    def __repr__(self) -> str:
        state = "running" if self._started else "stopped"
        return (f"Relay({self.device!r}, second={self.second!r}, format={self.format}, "
                f"output_type={self.output_type}, {state})")
