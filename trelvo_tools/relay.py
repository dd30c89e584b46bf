"""A relay from a camera (or two) into the virtual camera, for Python programs.

    from trelvo_tools import Relay

    with Relay() as relay:                       # the first camera, in a format it lists
        print(relay.active_camera, relay.format, relay.loopback_device)
        time.sleep(5)
        print(relay.pictures_sent, relay.fps)

It sits on top of ``trelvo.VideoCapture``: it picks the format from the camera's own list, turns a
bare False and the module's diagnostic lines into exceptions, and reads back from the virtual
camera's channel what actually reached it. The module's diagnostic lines (a lost camera, a
reconnection) go to the ``logging`` logger ``"trelvo"``: reconnection attempts and switches at
INFO, failures at WARNING.
"""

from __future__ import annotations

import collections
import ctypes
import logging
import os
import threading
import time
import weakref
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Deque, Dict, List, Optional, Sequence, Tuple, TypeVar

from . import loopback as _loopback
from . import subtypes, vcam
from .builtin_camera import LINK as TEST_PATTERN_LINK

if TYPE_CHECKING:
    import trelvo

__all__ = [
    "Relay", "Format", "TrelvoError", "CameraNotFound", "FormatNotSupported", "StartFailed",
    "NotSwitched", "SUBTYPES", "OUTPUT_TYPES", "choose_format", "normalise_subtype",
    "expected_loopback", "loopback_devices", "LOOPBACK_ENV", "LOGGER", "read_diagnostics",
]

LOGGER = logging.getLogger("trelvo")

# The subtype names the module understands, and the output types that present pictures.
SUBTYPES = subtypes.NAMES
_SUBTYPE_ALIASES = subtypes.ALIASES
OUTPUT_TYPES = {vcam.TYPE_BGR24: "BGR24", vcam.TYPE_YUY2: "YUY2"}
# What a format left open prefers: common to webcams and cheap to relay.
PREFERRED = (640, 480, 30, "MJPEG")
LOOPBACK_ENV = "TRELVOHDCAM_LOOPBACK"

_SECOND_FAILED = "Second device init failed"
_FPS_WINDOW = 1.0
_SWITCHED = "Switch to device "
# The subtype whose name in the module's table is not the FourCC cameras list: shown with both,
# so that a user who gave the FourCC recognises it.
_SHOWN_WITH_FOURCC = {"P10": "P010"}


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
        if device_id is not None and device_id.startswith("sim://"):
            text += (" A simulated camera exists once this process creates it: "
                     f"trelvo_tools.simcam.test_pattern() creates {TEST_PATTERN_LINK!r}, "
                     f"trelvo_tools.simcam.SimCamera(name, {device_id!r}) creates this one.")
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
        subtype = self.subtype
        if subtype in _SHOWN_WITH_FOURCC:
            subtype += f" ({_SHOWN_WITH_FOURCC[subtype]})"
        return f"{self.width}x{self.height} @ {self.fps} fps {subtype}"


def normalise_subtype(name: str) -> str:
    """The module's name for a subtype given in any case or by its FourCC ('mjpg' -> 'MJPEG')."""
    if not isinstance(name, str):
        raise TypeError(f"subtype is a name such as 'MJPEG', not {name!r}")
    upper = name.strip().upper()
    upper = _SUBTYPE_ALIASES.get(upper, upper)
    if upper not in SUBTYPES:
        raise ValueError(f"unknown subtype {name!r}; one of {', '.join(SUBTYPES)}")
    return upper


def _formats_of(camera: Any) -> List[Format]:
    return [Format(f.width, f.height, f.fps, subtypes.display_name(f.subtype_name)) for f in camera.formats]


def closest_formats(formats: Sequence[Format], width: Optional[int] = None,
                    height: Optional[int] = None, fps: Optional[int] = None,
                    subtype: Optional[str] = None, count: int = 3) -> List[Format]:
    """The relayable formats nearest to the fields given: fewest fields off, then nearest in
    size, rate and subtype."""
    def distance(f: Format) -> Tuple[int, int, int, bool, Format]:
        off = sum(asked is not None and asked != have for asked, have in
                  ((width, f.width), (height, f.height), (fps, f.fps), (subtype, f.subtype)))
        size = abs(f.width * f.height - (width or f.width) * (height or f.height))
        return (off, size, abs(f.fps - (fps or f.fps)), f.subtype != (subtype or f.subtype), f)

    return sorted((f for f in set(formats) if f.subtype in SUBTYPES), key=distance)[:count]


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


_LINE_BYTES = 160
_RING_LINES = 64
_GONE = -1
# Lines that tell of an attempt or a change rather than a failure.
_INFO_PREFIXES = ("Try reconnect device", _SWITCHED)
_INFO_SUFFIXES = ("success",)


def diagnostic_level(line: str) -> int:
    """The logging level of one of the module's lines."""
    if line.startswith(_INFO_PREFIXES) or line.endswith(_INFO_SUFFIXES):
        return logging.INFO
    return logging.WARNING


class _DiagnosticReader:
    """The module's diagnostic lines, read from the in-process ring it keeps beside standard
    output. One reader for the process, so that each line is logged once whichever Relay reads."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._lib: Optional[ctypes.CDLL] = None
        self._next: Optional[int] = None

    def _library(self) -> Optional[ctypes.CDLL]:
        if self._lib is None:
            import trelvo

            try:
                lib = ctypes.CDLL(trelvo.__file__)
                lib.trelvo_diagnostic_next.restype = ctypes.c_uint64
                lib.trelvo_diagnostic_next.argtypes = []
                lib.trelvo_diagnostic_read.restype = ctypes.c_int
                lib.trelvo_diagnostic_read.argtypes = [ctypes.c_uint64, ctypes.c_char_p, ctypes.c_size_t]
            except (OSError, AttributeError):
                return None
            self._lib = lib
        return self._lib

    def read(self) -> List[str]:
        """The lines written since the previous read (all of them on the first), each also
        logged to the ``"trelvo"`` logger."""
        with self._lock:
            lib = self._library()
            if lib is None:
                return []
            end = int(lib.trelvo_diagnostic_next())
            # The first reading takes what the ring still holds, none of it counted as missed.
            number = max(0, end - _RING_LINES) if self._next is None else self._next
            buffer = ctypes.create_string_buffer(_LINE_BYTES)
            lines, lost = [], 0
            for n in range(number, end):
                if lib.trelvo_diagnostic_read(n, buffer, _LINE_BYTES) == _GONE:
                    lost += 1
                    continue
                text = buffer.value.decode("utf-8", "replace").rstrip("\n")
                if text:
                    lines.append(text)
            self._next = end
        if lost:
            LOGGER.warning("%d of the module's diagnostic lines came too fast to be read and are "
                           "missing here (standard output has them all).", lost)
        for line in lines:
            LOGGER.log(diagnostic_level(line), "%s", line)
        return lines


_diagnostics = _DiagnosticReader()


def read_diagnostics() -> List[str]:
    """Forwards the module's diagnostic lines written since the last reading to the ``"trelvo"``
    logger and returns them. Every Relay call does this; a program that only waits may call it."""
    return _diagnostics.read()


def call_capturing_output(call: Callable[[], T]) -> Tuple[T, List[str]]:
    """Runs `call` and returns its result and the module's diagnostic lines written meanwhile
    (logged as well; standard output gets them as always)."""
    read_diagnostics()
    result = call()
    return result, read_diagnostics()


# Starting, stopping and replacing relays, as one step each across the process's threads: the
# virtual camera is one per process, so a relay that starts stops the one before it.
# Held weakly: a Relay dropped while running stops when collected, as its session does.
_PROCESS_LOCK = threading.RLock()
_current: Optional["weakref.ref[Relay]"] = None


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

    Raises TypeError or ValueError for arguments of the wrong kind, and CameraNotFound,
    FormatNotSupported or StartFailed from ``start`` (and ``with``). The module's diagnostic lines
    of ``start`` and ``switch`` are kept in ``diagnostics``; all of its lines also go to the
    ``logging`` logger ``"trelvo"`` as each call of a Relay (or ``read_diagnostics()``) reads them,
    and to the process's standard output as always.

    The virtual camera is one per process: starting a relay stops any other Relay of the process
    first (its ``is_running()`` is then False). A Relay may be used from several threads.
    """

    def __init__(self, device: Optional[str] = None, second: Optional[str] = None, *,
                 width: Optional[int] = None, height: Optional[int] = None,
                 fps: Optional[int] = None, subtype: Optional[str] = None,
                 output_type: Optional[int] = None, loopback: Optional[str] = None,
                 second_optional: bool = False, capture: Optional["trelvo.VideoCapture"] = None):
        for name, value in (("width", width), ("height", height), ("fps", fps)):
            if value is None:
                continue
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name} must be an int, not {type(value).__name__} {value!r}")
            if value <= 0:
                raise ValueError(f"{name} must be greater than 0, not {value!r}")
        if output_type is not None:
            if isinstance(output_type, bool) or not isinstance(output_type, int):
                raise TypeError(f"output_type is the int 0 (BGR24) or 1 (YUY2), not "
                                f"{type(output_type).__name__} {output_type!r}")
            if output_type not in OUTPUT_TYPES:
                raise ValueError(f"output_type is 0 (BGR24) or 1 (YUY2), not {output_type!r}")
        for name, text in (("device", device), ("second", second), ("loopback", loopback)):
            if text is not None and not isinstance(text, str):
                raise TypeError(f"{name} is a str or None, not {type(text).__name__} {text!r}")
        if device is not None and second and device == second:
            raise ValueError(f"device and second are the same camera {device!r}; a switch needs "
                             "two different cameras (leave second out for one)")
        self.device = device
        self.second = second or None
        self._asked = (width, height, fps, None if subtype is None else normalise_subtype(subtype))
        self._asked_type = output_type
        self.loopback = _loopback.device_path(loopback) if loopback not in (None, "off") else loopback
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
        self._fps_samples: Deque[Tuple[float, int]] = collections.deque()
        self._started = False
        self._lock = threading.RLock()
        # How messages name the loopback setting: the argument here, the option in the CLI.
        self._loopback_option = "loopback="

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
            by_id = {c.device_id: l for c, l in zip(chosen, lists)}
            for cam, cam_formats in zip(chosen, lists):
                if not any(f.subtype in SUBTYPES for f in cam_formats):
                    raise FormatNotSupported(self._unrelayable_text(cam.name, cam_formats), by_id)
            if len(chosen) > 1:
                raise FormatNotSupported(
                    "The two cameras list no common format" + self._asked_text() + "; a session "
                    "opens both with the same format.", by_id)
            if None in self._asked:
                closest = closest_formats(lists[0], width, height, fps, subtype)
                raise FormatNotSupported(
                    f"{chosen[0].name} lists no format{self._asked_text()}; the closest it lists: "
                    f"{', '.join(map(str, closest))}.", by_id)
            # Fully given: the camera may still take it, though it does not list it.
            fmt = Format(width, height, fps, subtype)  # type: ignore[arg-type]
        return chosen, fmt

    @staticmethod
    def _unrelayable_text(name: str, listed: Sequence[Format]) -> str:
        if not listed:
            return f"{name} lists no format at all, so there is nothing to relay."
        kinds = sorted(set(f.subtype for f in listed))
        return (f"{name} lists only {', '.join(kinds)}, which trelvo cannot relay; it relays "
                f"{', '.join(SUBTYPES)}.")

    def _asked_text(self) -> str:
        width, height, fps, subtype = self._asked
        parts = []
        if width is not None or height is not None:
            parts.append(f"{width if width is not None else '*'}x{height if height is not None else '*'}")
        if fps is not None:
            parts.append(f"{fps} fps")
        if subtype is not None:
            parts.append(f"{subtype} ({_SHOWN_WITH_FOURCC[subtype]})" if subtype in _SHOWN_WITH_FOURCC
                         else subtype)
        return " matching " + " ".join(parts) if parts else ""

    def start(self) -> "Relay":
        """Starts relaying (a running relay is restarted). Returns self."""
        global _current
        with _PROCESS_LOCK, self._lock:
            self._stop_locked()
            previous = _current() if _current is not None else None
            if previous is not None and previous is not self:
                previous.stop()
            _current = weakref.ref(self)
            self._start_locked()
            return self

    def _start_locked(self) -> None:
        if self.loopback not in (None, "off"):
            problem = _loopback.check_device(self.loopback, self._loopback_option)
            if problem is not None:
                raise StartFailed(problem)
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
            self._stop_locked()
            why = vcam.channel_problem(self._channel.name) or (
                f"the virtual camera's channel /dev/shm{self._channel.name} could not be created; the camera "
                "library's line above says why (no room in /dev/shm is the usual cause).")
            raise StartFailed(why[0].upper() + why[1:], lines)
        self._fps_samples = collections.deque([(time.monotonic(), 0)])
        if self.second and len(self.cameras) < 2 and not self._second_optional:
            self._stop_locked()
            raise StartFailed(f"The second camera {self.second!r} could not be opened with {fmt}.", lines)
        asked = self.loopback
        if asked not in (None, "off") and self.loopback_device != asked:
            self._stop_locked()
            raise StartFailed(_loopback.refusal(asked, fmt.width, fmt.height, OUTPUT_TYPES[out_type],
                                                self._loopback_option), lines)

    def stop(self) -> None:
        """Stops relaying; harmless when not running."""
        global _current
        with _PROCESS_LOCK, self._lock:
            self._stop_locked()
            if _current is not None and _current() is self:
                _current = None

    def _stop_locked(self) -> None:
        if self._capture is not None and self._started:
            self._capture.stop()
            flush_c()
        if self._started:
            self._info()
        self._started = False
        self._owner = None
        read_diagnostics()

    def __enter__(self) -> "Relay":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # -- while it runs --------------------------------------------------------------------------
    def switch(self) -> str:
        """Makes the other camera the active one and returns its id. Raises NotSwitched when the
        relay is not running or has only one camera."""
        with self._lock:
            if not self._started:
                raise NotSwitched("The relay is not running: start it before switching cameras.")
            if len(self.cameras) < 2:
                raise NotSwitched("The session runs on one camera: there is nothing to switch to.")
            _, lines = call_capturing_output(self._module_capture().switch_camera)
            moved = [l for l in lines if l.startswith(_SWITCHED)]
            self.diagnostics += [l for l in lines if not l.startswith(_SWITCHED)]
            if not moved:
                raise NotSwitched("The session has ended (its cameras were lost): there is nothing "
                                  "to switch; start the relay again.")
            self._active = int(moved[-1][len(_SWITCHED):].strip())
            return self.cameras[self._active]

    @property
    def active_camera(self) -> Optional[str]:
        """The id of the camera whose pictures are relayed now; None when not running."""
        with self._lock:
            return self.cameras[self._active] if self.cameras and self._started else None

    def _info(self) -> Optional[vcam.ChannelInfo]:
        """The channel's header while it is still ours (the last one that was, after that)."""
        with self._lock:
            if self._owner is not None:
                info = self._channel.info()
                if info is not None and info.owner == self._owner:
                    self._last_info = info
            return self._last_info

    @property
    def taken_over_by(self) -> Optional[int]:
        """The process id of a camera that took the virtual camera over from this relay, or
        None. A relay that was taken over sends nothing anyone sees."""
        with self._lock:
            owner = self._owner
            info = self._channel.info() if owner is not None else None
        if owner is None:
            return None
        if info is None or info.owner == owner or info.generation == 0:
            return None
        return info.owner_pid

    def is_running(self) -> bool:
        """True while the session runs and the virtual camera is still this relay's."""
        with self._lock:
            read_diagnostics()
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
        """Pictures per second that reached the virtual camera over about the last second (since
        start, in the first second); 0.0 when not running. Reading it changes nothing."""
        with self._lock:
            if not self._started or not self._fps_samples:
                return 0.0
            now, sent = time.monotonic(), self.pictures_sent
            samples = self._fps_samples
            if now - samples[-1][0] >= _FPS_WINDOW / 20:
                samples.append((now, sent))
            # Keep the newest sample that is at least a second old as the base.
            while len(samples) > 2 and now - samples[1][0] >= _FPS_WINDOW:
                samples.popleft()
            then, before = samples[0]
            return (sent - before) / (now - then) if now > then else 0.0

    def __repr__(self) -> str:
        state = "running" if self._started else "stopped"
        return (f"Relay({self.device!r}, second={self.second!r}, format={self.format}, "
                f"output_type={self.output_type}, {state})")
