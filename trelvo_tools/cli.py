"""The trelvo command line: list cameras, relay one (or two) into the virtual camera, snapshot the
virtual camera, and a demo that does all three.

    trelvo list [--all] [--simulated]
    trelvo relay [--device ID] [--device2 ID] [--width W --height H --fps F] [--subtype MJPEG]
                 [--type 0|1] [--loopback /dev/videoN] [--seconds N] [--simulated]
    trelvo view [--out snapshot.png] [--timeout 5]
    trelvo demo [--seconds 5] [--out trelvo-snapshot.png]
    trelvo setup-loopback [--run]

(``python -m trelvo_tools`` runs the same.) Exit codes: 0 done, 1 failed, 2 bad arguments or
unknown camera, 3 another relay took the virtual camera over, 130 interrupted (Ctrl-C).
"""

from __future__ import annotations

import argparse
import os
import select
import stat
import subprocess
import sys
import textwrap
import time
from typing import Any, Callable, Dict, List, Optional, Sequence

from . import __version__, builtin_camera, loopback, vcam
from .subtypes import display_name
from .relay import (LOOPBACK_ENV, OUTPUT_TYPES, SUBTYPES, CameraNotFound, FormatNotSupported,
                    NotSwitched, Relay, StartFailed, flush_c, normalise_subtype)
from .relay import _SHOWN_WITH_FOURCC as SUBTYPE_FOURCCS

EXIT_FAILED, EXIT_USAGE, EXIT_TAKEN_OVER, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 1, 2, 3, 130, 141
TYPE_NAMES = OUTPUT_TYPES

# The built-in simulated camera (simcam.test_pattern() creates it).
SIM_NAME = builtin_camera.NAME
SIM_LINK = builtin_camera.LINK
SIM_SIZE = builtin_camera.SIZE
SIM_FPS = builtin_camera.FPS

LOOPBACK_COMMAND = loopback.LOAD_COMMAND

PROG = "trelvo"


def say(*parts: object, err: bool = False) -> None:
    stream = sys.stderr if err else sys.stdout
    flush_c()
    print(*parts, file=stream, flush=True)


class Failure(Exception):
    """A failure to report to the user, with the exit code to end with."""

    def __init__(self, message: str, code: int = EXIT_FAILED):
        super().__init__(message)
        self.code = code


# -- cameras ------------------------------------------------------------------------------------

def _trelvo() -> Any:
    try:
        import trelvo
    except ImportError as error:
        raise Failure(f"The trelvo module cannot be imported: {error}.")
    return trelvo


def add_simulated_camera() -> Any:
    """Registers the built-in simulated camera (moving pattern, paced) and returns it."""
    from . import simcam

    return simcam.test_pattern()


def enumerate_cameras(capture: Any) -> List[Any]:
    try:
        return list(capture.enumerate_cameras())
    finally:
        flush_c()


def format_text(fmt: Any) -> str:
    subtype = getattr(fmt, "subtype_name", None) or fmt.subtype
    return f"{fmt.width}x{fmt.height} @ {fmt.fps} fps {display_name(subtype)}"


def other_formats_line(formats: Sequence[Any]) -> List[str]:
    """The formats trelvo cannot relay, summed up by subtype in the order the camera lists them."""
    names = list(dict.fromkeys(display_name(getattr(f, "subtype_name", None) or f.subtype) for f in formats))
    if not names:
        return []
    text = (f"+ {len(names)} other format{'s' if len(names) != 1 else ''} trelvo cannot relay: "
            + " ".join(names))
    return textwrap.wrap(text, width=100, initial_indent="     ", subsequent_indent="       ",
                         break_on_hyphens=False)


def split_relayable(formats: Sequence[Any]) -> "tuple[List[Any], List[Any]]":
    """The formats trelvo relays, and the others, each in the camera's order."""
    relayed: List[Any] = []
    others: List[Any] = []
    for fmt in formats:
        (relayed if (getattr(fmt, "subtype_name", None) or fmt.subtype) in SUBTYPES else others).append(fmt)
    return relayed, others


def print_cameras(cameras: Sequence[Any], hint: bool = True, show_all: bool = False) -> None:
    if not cameras:
        say("No cameras found.")
        if hint:
            say(f"`{PROG} list --simulated` adds the built-in simulated camera ({SIM_LINK}), and "
                f"`{PROG} relay --device {SIM_LINK}` relays it.")
        return
    say(f"{len(cameras)} camera(s):")
    summed_up = False
    for number, cam in enumerate(cameras, 1):
        say(f"  {number}. {cam.name}")
        say(f"     id: {cam.device_id}")
        if not cam.formats:
            say("     formats: none listed")
            continue
        relayed, others = (list(cam.formats), []) if show_all else split_relayable(cam.formats)
        if not relayed:
            say("     no format trelvo can relay")
        for fmt in relayed:
            say(f"     {format_text(fmt)}")
        for line in other_formats_line(others):
            say(line)
        summed_up = summed_up or bool(others)
    if summed_up:
        say(f"`{PROG} list --all` lists every format.")


def formats_listing(formats: Dict[str, Any], names: Optional[Dict[str, str]] = None) -> List[str]:
    lines = []
    for device_id, listed in formats.items():
        label = (names or {}).get(device_id, device_id)
        if listed:
            # The formats `relay` can take, the rest summed up: a driver may list thousands.
            relayed, others = split_relayable(listed)
            if relayed:
                lines.append(f"{label} lists these formats trelvo can relay:")
                lines += [f"  {format_text(f)}" for f in relayed]
            else:
                lines.append(f"{label} lists no format trelvo can relay.")
            lines += [line[3:] for line in other_formats_line(others)]
        else:
            lines.append(f"{label} lists no formats.")
    return lines


# -- checks on arguments ------------------------------------------------------------------------

def positive(kind: Callable[[str], Any]) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        value = kind(text)
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be greater than 0, not {text}")
        return value
    parse.__name__ = kind.__name__
    return parse


def not_negative(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number of seconds, not {text!r}")
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {text}")
    return value


def subtype_arg(text: str) -> str:
    try:
        return normalise_subtype(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error))


def check_png_path(path: str) -> None:
    """Refuses, before anything runs, a snapshot path that cannot take a PNG file."""
    if not path.lower().endswith(".png"):
        raise Failure(f"{path}: snapshots are PNG pictures; give a file name ending in .png.", EXIT_USAGE)
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise Failure(f"{path} is a folder; give a file name ending in .png.", EXIT_USAGE)
    if os.path.exists(path) and not stat.S_ISREG(os.stat(path).st_mode):
        raise Failure(f"{path} is not a regular file (a FIFO or a device); give a file name ending "
                      "in .png.", EXIT_USAGE)
    if not os.path.isdir(folder):
        raise Failure(f"{path}: the folder {folder} does not exist.", EXIT_USAGE)
    if not os.access(folder, os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        raise Failure(f"{path}: no permission to write there.", EXIT_USAGE)


# -- relaying -----------------------------------------------------------------------------------

def start_relay(relay: Relay, names: Optional[Dict[str, str]] = None) -> None:
    """Starts `relay`, turning its errors into messages for the user."""
    try:
        relay.start()
    except CameraNotFound as error:
        if not error.known_ids:
            raise Failure(f"{error} `{PROG} list --simulated` shows the built-in simulated camera.",
                          EXIT_USAGE)
        lines = [f"Unknown camera id {error.device_id!r}. Known cameras:"]
        lines += [f"  {i}  ({names[i]})" if names and names.get(i) else f"  {i}"
                  for i in error.known_ids]
        raise Failure("\n".join(lines), EXIT_USAGE)
    except FormatNotSupported as error:
        raise Failure("\n".join([str(error)] + formats_listing(error.formats, names)))
    except StartFailed as error:
        raise Failure("\n".join([str(error)] + [f"  (module: {l})" for l in error.diagnostics]))


def announce(relay: Relay) -> None:
    """Says once where the pictures go: the channel, and the loopback device or why there is none."""
    fmt = relay.format
    assert fmt is not None and relay.output_type is not None
    cams = " and ".join(relay.cameras)
    say(f"Relaying {cams}: {fmt}, output type {relay.output_type} "
        f"({TYPE_NAMES[relay.output_type]}), into the virtual camera (shared-memory channel "
        f"{relay.channel}).")
    if relay.second and len(relay.cameras) < 2:
        say(f"The second camera {relay.second} could not be opened with {fmt}: the session runs on "
            f"one camera ({relay.device}), so there is nothing to switch to.")
    device = relay.loopback_device
    if device:
        say(f"Other applications see it as the camera {device} (v4l2loopback).")
    elif relay.loopback == "off" or (relay.loopback is None and os.environ.get(LOOPBACK_ENV) == "off"):
        why = "--loopback off" if relay.loopback == "off" else f"{LOOPBACK_ENV}=off"
        say(f"Loopback output is off ({why}): only trelvo's own tools (`{PROG} view`) "
            "see the pictures.")
    else:
        diagnosis = loopback.diagnose()
        if diagnosis.state == "ready":
            say(f"No v4l2loopback device took {fmt.width}x{fmt.height} "
                f"{TYPE_NAMES[relay.output_type]} ({', '.join(diagnosis.usable)}: in use by another "
                f"program with another format?): only trelvo's own tools (`{PROG} view`) see the "
                "pictures.")
        else:
            say("No v4l2loopback device: only trelvo's own tools (`" + PROG + " view`) see the "
                "pictures. To show the camera to browsers and video calls, make one "
                f"(`{PROG} setup-loopback` shows every step) and start again.\n" + diagnosis.text)


def _stdin_is_terminal() -> bool:
    try:
        return sys.stdin is not None and sys.stdin.isatty()
    except (OSError, ValueError):
        return False


def _wait_for_line(seconds: float) -> bool:
    try:
        return bool(select.select([sys.stdin], [], [], max(0.0, seconds))[0])
    except (OSError, ValueError):
        time.sleep(max(0.0, seconds))
        return False


def run_relay(relay: Relay, seconds: Optional[float], interactive: bool) -> int:
    """Prints the pictures per second until `seconds` pass, q is entered, or the session ends;
    returns the pictures that reached the virtual camera."""
    if interactive:
        say("Press Enter to switch cameras, q and Enter to quit." if len(relay.cameras) > 1
            else "Press q and Enter to quit.")
    start = time.monotonic()
    window_start, window_sent = start, 0
    while True:
        now = time.monotonic()
        if seconds is not None and now - start >= seconds:
            break
        step = min(0.1, seconds - (now - start)) if seconds is not None else 0.1
        if interactive and _wait_for_line(step):
            line = sys.stdin.readline()
            command = line.strip().lower()
            if not line or command in ("q", "quit"):
                break
            if command:
                say(f"Enter switches cameras, q quits ({line.strip()!r} ignored).")
            else:
                try:
                    say(f"Switched to {relay.switch()}.")
                except NotSwitched as why:
                    say(str(why))
        elif not interactive:
            time.sleep(step)
        pid = relay.taken_over_by
        if pid is not None:
            raise Failure(f"The virtual camera was taken over by process {pid}; stopping.",
                          EXIT_TAKEN_OVER)
        now = time.monotonic()
        if now - window_start >= 1.0:
            sent = relay.pictures_sent
            rate = (sent - window_sent) / (now - window_start)
            say(f"[{now - start:5.1f} s] {rate:5.1f} pictures/s reached the virtual camera"
                f" (total {sent})")
            window_start, window_sent = now, sent
            if not relay.is_running():
                raise Failure("The session ended: the camera was lost and could not be reconnected.")
    return relay.pictures_sent


def snapshot(reader: vcam.VirtualCameraReader, path: str, timeout: float) -> vcam.Picture:
    """Writes the newest live picture of the virtual camera to a PNG file. Gives up as soon as it
    knows that no relay runs (no channel, or one marked closed) rather than at the timeout."""
    deadline = time.monotonic() + timeout
    picture = None
    while reader.state == vcam.STATE_LIVE:
        got = reader.read(timeout=max(0.0, deadline - time.monotonic()))
        if got is None:
            break
        if got.state == vcam.STATE_LIVE:
            picture = got
            break
        if time.monotonic() >= deadline:
            break
    if picture is None:
        state = reader.state
        why = {vcam.STATE_CLOSED: "the virtual camera was closed (no relay is running)",
               vcam.STATE_LIVE: f"the virtual camera exists but received no picture within {timeout:g} s",
               }.get(state, "there is no virtual camera (no relay is running)")
        problem = vcam.channel_problem(reader.name)
        if problem is not None:
            why = problem[0].lower() + problem[1:].rstrip(".")
        raise Failure(f"No picture arrived from the virtual camera ({reader.name}): {why}.")
    if picture.type not in TYPE_NAMES:
        raise Failure(f"The virtual camera has output type {picture.type}, which presents no pictures.")
    try:
        rgb = vcam.to_rgb(picture)
    except (ValueError, MemoryError) as error:
        raise Failure(f"The virtual camera's picture is damaged ({error}); try again.")
    try:
        vcam.write_png(path, picture.width, picture.height, rgb)
    except OSError as error:
        raise Failure(f"Could not write {path}: {error.strerror or error}.")
    return picture


# -- commands -----------------------------------------------------------------------------------

class _Simulated:
    """The built-in simulated camera for the span of a command, when wanted."""

    def __init__(self, wanted: bool):
        self.camera = add_simulated_camera() if wanted else None

    def __enter__(self) -> "_Simulated":
        return self

    def __exit__(self, *exc: object) -> None:
        if self.camera is not None:
            self.camera.remove()


def cmd_list(args: argparse.Namespace) -> int:
    trelvo = _trelvo()
    with _Simulated(args.simulated):
        print_cameras(enumerate_cameras(trelvo.VideoCapture()), show_all=args.all)
    return 0


def cmd_relay(args: argparse.Namespace) -> int:
    trelvo = _trelvo()
    if args.loopback not in (None, "off"):
        problem = loopback.check_device(args.loopback)
        if problem is not None:
            raise Failure(problem, EXIT_USAGE)
    try:
        vcam.channel_name()
    except ValueError as error:
        raise Failure(f"{vcam.CHANNEL_ENV}={os.environ.get(vcam.CHANNEL_ENV)!r} is not a channel name "
                      f"({error}): give one name such as /trelvo-mine (no further '/', at most 255 "
                      f"bytes), or unset it.", EXIT_USAGE)
    wanted_sim = args.simulated or SIM_LINK in (args.device, args.device2)
    with _Simulated(wanted_sim):
        cameras = enumerate_cameras(trelvo.VideoCapture())
        names = {c.device_id: c.name for c in cameras}
        try:
            relay = Relay(args.device, args.device2 or None, width=args.width, height=args.height,
                          fps=args.fps, subtype=args.subtype, output_type=args.type,
                          loopback=args.loopback, second_optional=True)
        except ValueError as error:
            raise Failure(f"{error}.", EXIT_USAGE)
        relay._loopback_option = "--loopback"
        start_relay(relay, names)
        try:
            announce(relay)
            interactive = _stdin_is_terminal()
            seconds = args.seconds if args.seconds is not None else (None if interactive else 10.0)
            code = 0
            try:
                total = run_relay(relay, seconds, interactive)
            except KeyboardInterrupt:
                say("Interrupted.")
                total, code = relay.pictures_sent, EXIT_INTERRUPTED
        finally:
            relay.stop()
        say(f"Stopped. {total} picture(s) reached the virtual camera.")
        if total == 0 and code == 0:
            raise Failure("No picture reached the virtual camera.")
        return code


def cmd_view(args: argparse.Namespace) -> int:
    check_png_path(args.out)
    try:
        reader = vcam.VirtualCameraReader()
    except ValueError as error:
        raise Failure(f"{vcam.CHANNEL_ENV}: {error}: give one name of at most 255 characters "
                      "without '/' (but a first one), or unset it.", EXIT_USAGE)
    picture = snapshot(reader, args.out, args.timeout)
    info = reader.info()
    where = f", also shown as {info.loopback}" if info is not None and info.loopback else ""
    say(f"Wrote {args.out}: {picture.width}x{picture.height}, {TYPE_NAMES[picture.type]}, "
        f"picture {picture.frame_number} of the virtual camera ({reader.name}{where}).")
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    check_png_path(args.out)
    trelvo = _trelvo()
    say("== Cameras of this machine")
    cameras = enumerate_cameras(trelvo.VideoCapture())
    print_cameras(cameras, hint=False)
    names = {c.device_id: c.name for c in cameras}
    with _Simulated(False) as sim:
        relay: Optional[Relay] = None
        for cam in cameras:
            say(f"\n== Relaying {cam.name} for {args.seconds:g} s")
            candidate = Relay(cam.device_id)
            try:
                start_relay(candidate, names)
                relay = candidate
                break
            except Failure as failure:
                say(str(failure))
        if relay is None:
            if cameras:
                say("\nNo listed camera could be started; relaying the built-in simulated camera instead.")
            else:
                say("\nNo real camera found; relaying the built-in simulated camera instead.")
            sim.camera = add_simulated_camera()
            w, h = SIM_SIZE
            say(f"== Relaying {SIM_NAME} (moving test pattern, {w}x{h} MJPEG at {SIM_FPS} fps) "
                f"for {args.seconds:g} s")
            relay = Relay(SIM_LINK, width=w, height=h, fps=SIM_FPS, subtype="MJPEG")
            start_relay(relay, {SIM_LINK: SIM_NAME})
        try:
            announce(relay)
            try:
                total = run_relay(relay, args.seconds, interactive=False)
                picture = snapshot(relay._channel, args.out, timeout=2.0)
            except KeyboardInterrupt:
                say("Interrupted.")
                return EXIT_INTERRUPTED
        finally:
            relay.stop()
        rate = total / args.seconds
        say(f"\n{total} picture(s) reached the virtual camera in {args.seconds:g} s ({rate:.1f}/s).")
        say(f"Snapshot of the virtual camera: {os.path.abspath(args.out)} "
            f"({picture.width}x{picture.height}, picture {picture.frame_number}).")
        if total == 0:
            raise Failure("No picture reached the virtual camera.")
        return 0


def cmd_setup_loopback(args: argparse.Namespace) -> int:
    diagnosis, steps = loopback.setup_steps()
    say(diagnosis.text)
    if diagnosis.state == "not-installed" and loopback.install_command() is None:
        raise Failure("This distribution's v4l2loopback package is not known here: install it "
                      f"with its package manager, then run `{PROG} setup-loopback` again.")
    if not steps:
        say("Nothing to do: a loopback device is ready and loads at every start.")
        return 0
    if not args.run_steps:
        say("The steps for this machine:" if diagnosis.state != "ready" else
            "To load it at every start:")
        for step in steps:
            say(f"  {step.shell}    # {step.what}")
        say(f"`{PROG} setup-loopback --run` runs them (through sudo, which may ask for your password).")
        return 0
    for step in steps:
        say(f"$ {step.shell}    # {step.what}")
        try:
            result = subprocess.run(step.argv, input=step.stdin, text=True, check=False,
                                    stdout=subprocess.DEVNULL if step.stdin else None)
        except OSError as error:
            raise Failure(f"Could not run {step.argv[0]}: {error.strerror or error}.")
        if result.returncode != 0:
            raise Failure(f"`{step.shell}` failed (exit status {result.returncode}); the steps "
                          "after it were not run.")
    after = loopback.diagnose()
    say(after.text)
    return 0 if after.state == "ready" else EXIT_FAILED


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog, description="List cameras and relay them into the trelvo virtual camera.",
        epilog="Exit codes: 0 done, 1 failed, 2 bad arguments or unknown camera, 3 another relay "
               "took the virtual camera over, 130 interrupted.")
    parser.add_argument("--version", action="version", version=f"trelvo {__version__}")
    sub = parser.add_subparsers(dest="command", required=True)
    sim_help = f"add the built-in simulated camera ({SIM_LINK}) first"

    p = sub.add_parser("list", help="list the cameras and the formats trelvo relays")
    p.add_argument("--all", action="store_true",
                   help="list every format, also those trelvo cannot relay (summed up otherwise)")
    p.add_argument("--simulated", action="store_true", help=sim_help)
    p.set_defaults(run=cmd_list)

    p = sub.add_parser("relay", help="relay a camera (or two) into the virtual camera")
    p.add_argument("--device", help="camera id, as `list` shows it (default: the first camera)")
    p.add_argument("--device2", default="", help="second camera id; Enter switches between them")
    p.add_argument("--width", type=positive(int), help="picture width (default: from the camera's formats)")
    p.add_argument("--height", type=positive(int), help="picture height (default: from the camera's formats)")
    p.add_argument("--fps", type=positive(int), help="frame rate (default: from the camera's formats)")
    p.add_argument("--subtype", type=subtype_arg,
                   help="capture format, any case: " + ", ".join(
                       f"{n} ({SUBTYPE_FOURCCS[n]})" if n in SUBTYPE_FOURCCS else n for n in SUBTYPES)
                   + " (default: from the camera's formats, MJPEG preferred)")
    p.add_argument("--type", type=int, choices=sorted(TYPE_NAMES),
                   help="output: 0 BGR24 (3 bytes per pixel: blue, green, red), 1 YUY2 "
                        "(default: 1 when a v4l2loopback device shows the camera, else 0)")
    p.add_argument("--loopback", metavar="/dev/videoN",
                   help=f"the v4l2loopback device to write (/dev/video10, video10 or 10), or 'off' "
                        f"(default: {LOOPBACK_ENV} if set, else the first loopback device)")
    p.add_argument("--seconds", type=positive(float),
                   help="stop after this long (default: on q when interactive, else 10 s)")
    p.add_argument("--simulated", action="store_true", help=sim_help)
    p.set_defaults(run=cmd_relay)

    p = sub.add_parser("view", help="snapshot the virtual camera's newest picture to PNG")
    p.add_argument("--out", default="snapshot.png", help="PNG file to write (default: snapshot.png)")
    p.add_argument("--timeout", type=not_negative, default=5.0,
                   help="seconds to wait for a picture (default: 5)")
    p.set_defaults(run=cmd_view)

    p = sub.add_parser("setup-loopback",
                       help="show (or run, through sudo) the steps that make a v4l2loopback device")
    p.add_argument("--run", dest="run_steps", action="store_true",
                   help="run the steps through sudo, each shown first")
    p.set_defaults(run=cmd_setup_loopback)

    p = sub.add_parser("demo", help="list cameras, relay one (or the simulated one), snapshot it")
    p.add_argument("--seconds", type=positive(float), default=5.0,
                   help="how long to relay (default: 5)")
    p.add_argument("--out", default="trelvo-snapshot.png",
                   help="PNG file for the snapshot (default: trelvo-snapshot.png)")
    p.set_defaults(run=cmd_demo)
    return parser


def main(argv: Optional[Sequence[str]] = None, prog: str = PROG) -> int:
    global PROG
    PROG = prog
    args = build_parser(prog).parse_args(argv)
    try:
        return int(args.run(args))
    except Failure as failure:
        say(str(failure), err=True)
        return failure.code
    except KeyboardInterrupt:
        say("Interrupted.", err=True)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`trelvo list | head`): nothing more to say. Closing standard
        # output drops what it still holds, so Python does not complain at exit.
        try:
            sys.stdout.close()
        except (OSError, ValueError):
            pass
        return EXIT_BROKEN_PIPE
    finally:
        flush_c()


def console_main() -> None:
    """The `trelvo` console command."""
    sys.exit(main())
