"""The trelvo command line: list cameras, relay one (or two) into the virtual camera, snapshot the
virtual camera, and a demo that does all three.

    python -m trelvo_tools list [--simulated]
    python -m trelvo_tools relay --device ID [--device2 ID] [--width W --height H --fps F]
                                 [--subtype MJPEG] [--type 0] [--seconds N] [--simulated]
    python -m trelvo_tools view [--out snapshot.png] [--timeout 5]
    python -m trelvo_tools demo [--seconds 5] [--out trelvo-snapshot.png]
"""

from __future__ import annotations

import argparse
import ctypes
import os
import select
import sys
import time
from typing import List, Optional, Sequence

from . import vcam

SUBTYPES = ("MJPEG", "NV12", "YUY2", "I420", "RGB24", "P10")
TYPE_NAMES = {0: "BGR24", 1: "YUY2"}

# The built-in simulated camera: a moving test pattern, so that every command has something to
# show on a machine without cameras.
SIM_NAME = "trelvo test pattern (simulated)"
SIM_LINK = "sim://trelvo-test-pattern"
SIM_SIZE = (640, 480)
SIM_FPS = 30

_libc = None


def flush_c() -> None:
    """The module prints diagnostic lines through C stdio without flushing; push them out now so
    that they appear in order with ours."""
    global _libc
    try:
        if _libc is None:
            _libc = ctypes.CDLL(None)
        _libc.fflush(None)
    except (OSError, AttributeError):
        pass


def say(*parts, err: bool = False) -> None:
    stream = sys.stderr if err else sys.stdout
    flush_c()
    print(*parts, file=stream, flush=True)


class Failure(Exception):
    """A failure to report to the user, with the exit code to end with."""

    def __init__(self, message: str, code: int = 1):
        super().__init__(message)
        self.code = code


# -- cameras ------------------------------------------------------------------------------------

def _trelvo():
    try:
        import trelvo
    except ImportError as error:
        raise Failure(f"The trelvo module cannot be imported: {error}. Run scripts/setup.sh first.")
    return trelvo


def add_simulated_camera():
    """Registers the built-in simulated camera (moving pattern, paced) and returns it."""
    from . import simcam

    w, h = SIM_SIZE
    return simcam.SimCamera(
        SIM_NAME, SIM_LINK,
        types=[(simcam.MJPG, w, h, SIM_FPS, 1), (simcam.YUY2, w, h, SIM_FPS, 1),
               (simcam.NV12, w, h, SIM_FPS, 1), (simcam.MJPG, 320, 240, SIM_FPS, 1)],
        pattern="moving", paced=True)


def enumerate_cameras(capture) -> list:
    try:
        return list(capture.enumerate_cameras())
    finally:
        flush_c()


def format_text(fmt) -> str:
    return f"{fmt.width}x{fmt.height} @ {fmt.fps} fps {fmt.subtype_name}"


def print_cameras(cameras: Sequence) -> None:
    if not cameras:
        say("No cameras found.")
        return
    say(f"{len(cameras)} camera(s):")
    for number, cam in enumerate(cameras, 1):
        say(f"  {number}. {cam.name}")
        say(f"     id: {cam.device_id}")
        if not cam.formats:
            say("     formats: none listed")
        for fmt in cam.formats:
            say(f"     {format_text(fmt)}")


def is_simulated(cam) -> bool:
    return cam.device_id.startswith("sim://")


def known_ids(cameras: Sequence) -> str:
    return ", ".join(repr(c.device_id) for c in cameras) if cameras else "none"


def find_camera(cameras: Sequence, device_id: str):
    for cam in cameras:
        if cam.device_id == device_id:
            return cam
    if not cameras:
        raise Failure(f"No cameras found, so there is no camera {device_id!r}.", 2)
    lines = [f"Unknown camera id {device_id!r}. Known cameras:"]
    lines += [f"  {c.device_id}  ({c.name})" for c in cameras]
    raise Failure("\n".join(lines), 2)


def pick_format(formats: Sequence, width=None, height=None, fps=None, subtype=None):
    """The camera format closest to what was asked for (unset fields prefer 640x480, 30 fps,
    MJPEG), or None when the camera lists nothing that matches the fields given."""
    matches = [f for f in formats
               if (width is None or f.width == width) and (height is None or f.height == height)
               and (fps is None or f.fps == fps) and (subtype is None or f.subtype_name == subtype)]
    known = [f for f in matches if f.subtype_name in SUBTYPES]
    if not known:
        return None

    def preference(f):
        return (f.subtype_name != "MJPEG", abs(f.width * f.height - 640 * 480), abs(f.fps - 30))

    return min(known, key=preference)


def resolve_settings(cam, width, height, fps, subtype) -> tuple:
    """Width, height, fps and subtype for `start`: what was given, completed from the camera's
    own formats so that a bare --device works."""
    if None in (width, height, fps, subtype):
        chosen = pick_format(cam.formats, width, height, fps, subtype)
        if chosen is not None:
            width = chosen.width if width is None else width
            height = chosen.height if height is None else height
            fps = chosen.fps if fps is None else fps
            subtype = chosen.subtype_name if subtype is None else subtype
    return (640 if width is None else width, 480 if height is None else height,
            30 if fps is None else fps, "MJPEG" if subtype is None else subtype)


def loopback_devices() -> List[str]:
    """v4l2loopback devices are virtual video4linux devices; list their nodes."""
    try:
        names = sorted(os.listdir("/sys/devices/virtual/video4linux"))
    except OSError:
        return []
    return ["/dev/" + n for n in names if n.startswith("video")]


# -- relaying -----------------------------------------------------------------------------------

class Relay:
    """One running session and the channel reader that watches what reaches the virtual camera."""

    def __init__(self, capture, cameras: Sequence, device_1: str, device_2: str, width: int,
                 height: int, fps: int, subtype: str, out_type: int):
        self.capture = capture
        self.cameras = cameras
        self.devices = [device_1] + ([device_2] if device_2 else [])
        self.settings = (width, height, fps, subtype, out_type)
        self.reader = vcam.VirtualCameraReader()
        self.active = 0
        self.total = 0
        self._last_frame = None

    def start(self) -> None:
        width, height, fps, subtype, out_type = self.settings
        say(f"Starting: {self.devices[0]}" + (f" and {self.devices[1]}" if len(self.devices) > 1 else "")
            + f", {width}x{height} @ {fps} fps {subtype}, output type {out_type}"
            + f" ({TYPE_NAMES.get(out_type, 'nothing sent')})")
        try:
            ok = self.capture.start(device_1=self.devices[0], device_2=self.devices[1] if len(self.devices) > 1
                                    else "", width=width, height=height, fps=fps, subtype_name=subtype,
                                    type=out_type)
        finally:
            flush_c()
        if not ok:
            raise Failure(self._refusal(width, height, fps, subtype))
        channel = self.reader.name
        say(f"Relaying into the virtual camera (shared-memory channel {channel}).")
        if out_type in TYPE_NAMES:
            nodes = loopback_devices()
            if nodes:
                say(f"v4l2loopback device(s) present, the virtual camera also appears there: {', '.join(nodes)}")

    def _refusal(self, width, height, fps, subtype) -> str:
        lines = [f"The camera could not be started with {width}x{height} @ {fps} fps {subtype} "
                 "(opening failed, the format was refused, or no frame arrived)."]
        cam = next((c for c in self.cameras if c.device_id == self.devices[0]), None)
        if cam is not None:
            if cam.formats:
                lines.append(f"{cam.name} lists these formats:")
                lines += [f"  {format_text(f)}" for f in cam.formats]
            else:
                lines.append(f"{cam.name} lists no formats.")
        return "\n".join(lines)

    def count_new(self, wait: float) -> Optional[vcam.Picture]:
        """Waits up to `wait` seconds for newer pictures and counts those sent since the last
        call (by the channel's frame number, so that pictures this reader missed count too)."""
        picture = self.reader.read(timeout=wait)
        if picture is None or picture.state != vcam.STATE_LIVE:
            return None
        if self._last_frame is None or picture.frame_number < self._last_frame:
            self.total += 1
        else:
            self.total += picture.frame_number - self._last_frame
        self._last_frame = picture.frame_number
        return picture

    def switch(self) -> None:
        if len(self.devices) < 2:
            say("Only one camera: nothing to switch to.")
            return
        try:
            self.capture.switch_camera()
        finally:
            flush_c()
        self.active = 1 - self.active
        say(f"Switched to {self.devices[self.active]}.")

    def running(self) -> bool:
        try:
            return self.capture.is_running()
        finally:
            flush_c()

    def stop(self) -> None:
        try:
            self.capture.stop()
        finally:
            flush_c()

    def run(self, seconds: Optional[float], interactive: bool) -> int:
        """Prints the pictures per second until `seconds` pass, 'q' is entered, or the session
        ends; returns the pictures that reached the virtual camera."""
        if interactive:
            say("Press Enter to switch cameras, q and Enter to quit." if len(self.devices) > 1
                else "Press q and Enter to quit.")
        start = time.monotonic()
        window_start, window_count = start, 0
        while True:
            now = time.monotonic()
            if seconds is not None and now - start >= seconds:
                break
            before = self.total
            self.count_new(0.05)
            window_count += self.total - before
            now = time.monotonic()
            if now - window_start >= 1.0:
                rate = window_count / (now - window_start)
                say(f"[{now - start:5.1f} s] {rate:5.1f} pictures/s reached the virtual camera"
                    f" (total {self.total})")
                window_start, window_count = now, 0
                if not self.running():
                    raise Failure("The session ended: the camera was lost and could not be reconnected.")
            if interactive and _stdin_ready():
                line = sys.stdin.readline()
                if not line or line.strip().lower() == "q":
                    break
                self.switch()
        return self.total


def _stdin_ready() -> bool:
    try:
        return bool(select.select([sys.stdin], [], [], 0)[0])
    except (OSError, ValueError):
        return False


def _stdin_is_terminal() -> bool:
    try:
        return sys.stdin is not None and sys.stdin.isatty()
    except (OSError, ValueError):
        return False


def snapshot(reader: vcam.VirtualCameraReader, path: str, timeout: float) -> vcam.Picture:
    """Writes the newest live picture of the virtual camera to a PNG file."""
    deadline = time.monotonic() + timeout
    picture = None
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        got = reader.read(timeout=remaining)
        if got is None:
            break
        if got.state == vcam.STATE_LIVE:
            picture = got
            break
    if picture is None:
        state = reader.state
        why = {vcam.STATE_CLOSED: "the virtual camera was closed (no relay is running)",
               vcam.STATE_LIVE: "the virtual camera exists but received no picture",
               }.get(state, "there is no virtual camera (no relay is running)")
        raise Failure(f"No picture arrived from the virtual camera ({reader.name}) within {timeout:g} s: "
                      f"{why}.")
    if picture.type not in TYPE_NAMES:
        raise Failure(f"The virtual camera has output type {picture.type}, which presents no pictures.")
    vcam.write_png(path, picture.width, picture.height, vcam.to_rgb(picture))
    return picture


# -- commands -----------------------------------------------------------------------------------

def cmd_list(args) -> int:
    trelvo = _trelvo()
    sim = add_simulated_camera() if args.simulated else None
    try:
        cameras = enumerate_cameras(trelvo.VideoCapture())
        print_cameras(cameras)
    finally:
        if sim is not None:
            sim.remove()
    return 0


def cmd_relay(args) -> int:
    trelvo = _trelvo()
    if args.subtype is not None and args.subtype not in SUBTYPES:
        raise Failure(f"Unknown subtype {args.subtype!r}; one of {', '.join(SUBTYPES)}.", 2)
    for name in ("width", "height", "fps"):
        value = getattr(args, name)
        if value is not None and value <= 0:
            raise Failure(f"--{name} must be positive.", 2)
    if args.type not in TYPE_NAMES:
        say(f"Note: output type {args.type} sends nothing to the virtual camera.")
    sim = add_simulated_camera() if args.simulated else None
    capture = trelvo.VideoCapture()
    try:
        cameras = enumerate_cameras(capture)
        cam = find_camera(cameras, args.device)
        if args.device2:
            find_camera(cameras, args.device2)
        settings = resolve_settings(cam, args.width, args.height, args.fps, args.subtype)
        relay = Relay(capture, cameras, args.device, args.device2 or "", *settings, args.type)
        relay.start()
        try:
            interactive = _stdin_is_terminal()
            seconds = args.seconds if args.seconds is not None else (None if interactive else 10.0)
            total = relay.run(seconds, interactive)
        except KeyboardInterrupt:
            say("Interrupted.")
            total = relay.total
        finally:
            relay.stop()
        say(f"Stopped. {total} picture(s) reached the virtual camera.")
        if total == 0 and args.type in TYPE_NAMES:
            raise Failure("No picture reached the virtual camera.")
        return 0
    finally:
        del capture
        if sim is not None:
            sim.remove()


def cmd_view(args) -> int:
    reader = vcam.VirtualCameraReader()
    picture = snapshot(reader, args.out, args.timeout)
    say(f"Wrote {args.out}: {picture.width}x{picture.height}, {TYPE_NAMES[picture.type]}, "
        f"picture {picture.frame_number} of the virtual camera ({reader.name}).")
    return 0


def cmd_demo(args) -> int:
    trelvo = _trelvo()
    capture = trelvo.VideoCapture()
    say("== Cameras of this machine")
    cameras = enumerate_cameras(capture)
    print_cameras(cameras)
    sim = None
    try:
        relay = None
        for cam in cameras:
            settings = resolve_settings(cam, None, None, None, None)
            say(f"\n== Relaying {cam.name} for {args.seconds:g} s")
            relay = Relay(capture, cameras, cam.device_id, "", *settings, 0)
            try:
                relay.start()
                break
            except Failure as failure:
                say(str(failure))
                relay = None
        if relay is None:
            if cameras:
                say("\nNo listed camera could be started; relaying the built-in simulated camera instead.")
            else:
                say("\nNo real camera found; relaying the built-in simulated camera instead.")
            sim = add_simulated_camera()
            w, h = SIM_SIZE
            say(f"== Relaying {SIM_NAME} (moving test pattern, {w}x{h} MJPEG at {SIM_FPS} fps) "
                f"for {args.seconds:g} s")
            sim_cameras = enumerate_cameras(capture)
            relay = Relay(capture, sim_cameras, SIM_LINK, "", w, h, SIM_FPS, "MJPEG", 0)
            relay.start()
        try:
            total = relay.run(args.seconds, interactive=False)
            picture = snapshot(relay.reader, args.out, timeout=2.0)
        finally:
            relay.stop()
        rate = total / args.seconds if args.seconds > 0 else 0.0
        say(f"\n{total} picture(s) reached the virtual camera in {args.seconds:g} s ({rate:.1f}/s).")
        say(f"Snapshot of the virtual camera: {os.path.abspath(args.out)} "
            f"({picture.width}x{picture.height}, picture {picture.frame_number}).")
        if total == 0:
            raise Failure("No picture reached the virtual camera.")
        return 0
    finally:
        del capture
        if sim is not None:
            sim.remove()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m trelvo_tools",
                                     description="List cameras and relay them into the trelvo virtual camera.")
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("list", help="list the cameras and their formats")
    p.add_argument("--simulated", action="store_true",
                   help=f"add the built-in simulated camera ({SIM_LINK}) first")
    p.set_defaults(run=cmd_list)

    p = sub.add_parser("relay", help="relay a camera (or two) into the virtual camera")
    p.add_argument("--device", required=True, help="camera id, as `list` shows it")
    p.add_argument("--device2", default="", help="second camera id; Enter switches between them")
    p.add_argument("--width", type=int, help="default: from the camera's formats")
    p.add_argument("--height", type=int)
    p.add_argument("--fps", type=int)
    p.add_argument("--subtype", help="one of " + ", ".join(SUBTYPES))
    p.add_argument("--type", type=int, default=0, help="0: BGR24 out (default), 1: YUY2 out")
    p.add_argument("--seconds", type=float,
                   help="stop after this long (default: on q when interactive, else 10 s)")
    p.add_argument("--simulated", action="store_true",
                   help=f"add the built-in simulated camera ({SIM_LINK}) first")
    p.set_defaults(run=cmd_relay)

    p = sub.add_parser("view", help="snapshot the virtual camera's newest picture to PNG")
    p.add_argument("--out", default="snapshot.png")
    p.add_argument("--timeout", type=float, default=5.0, help="seconds to wait for a picture")
    p.set_defaults(run=cmd_view)

    p = sub.add_parser("demo", help="list cameras, relay one (or the simulated one), snapshot it")
    p.add_argument("--seconds", type=float, default=5.0)
    p.add_argument("--out", default="trelvo-snapshot.png")
    p.set_defaults(run=cmd_demo)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except Failure as failure:
        say(str(failure), err=True)
        return failure.code
    except KeyboardInterrupt:
        say("Interrupted.", err=True)
        return 130
    finally:
        flush_c()
