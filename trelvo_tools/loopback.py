"""The v4l2loopback devices that show the virtual camera to other applications: which exist, why
none can be used, and the commands that make one.

Everything here reads the system below ``root`` (``/`` on a real machine) and runs ``modinfo``
through ``run``, so that tests can give a made-up system.
"""

from __future__ import annotations

import os
import re
import shlex
import stat
import subprocess
from dataclasses import dataclass, field
from typing import Callable, List, Optional, Sequence, Tuple

__all__ = ["MODULE_OPTIONS", "LOAD_COMMAND", "Device", "Diagnosis", "diagnose", "devices",
           "device_path", "check_device", "install_command", "setup_steps", "Step", "refusal"]

MODULE_OPTIONS = 'devices=1 video_nr=10 card_label="trelvo" exclusive_caps=1'
LOAD_COMMAND = f"sudo modprobe v4l2loopback {MODULE_OPTIONS}"
_SYSFS = ("sys", "class", "video4linux")
_LOADED = ("sys", "module", "v4l2loopback")
_PERSIST_LOAD = "/etc/modules-load.d/trelvo-v4l2loopback.conf"
_PERSIST_OPTIONS = "/etc/modprobe.d/trelvo-v4l2loopback.conf"
_GROUP_FIX = "sudo usermod -aG video $USER, then log in again"

Runner = Callable[[Sequence[str]], int]


def _run_quietly(argv: Sequence[str]) -> int:
    try:
        return subprocess.run(list(argv), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              check=False).returncode
    except OSError:
        return 127


# The system's root; tests point it at a made-up one.
ROOT = "/"


def _join(root: Optional[str], *parts: str) -> str:
    return os.path.join(ROOT if root is None else root, *parts)


def _read(path: str) -> Optional[str]:
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().strip()
    except OSError:
        return None


@dataclass
class Device:
    """One video4linux device as sysfs shows it."""
    path: str                 # /dev/videoN
    name: str                 # sysfs name: the card label of a loopback device
    loopback: bool            # made by v4l2loopback (a virtual device)
    driver: Optional[str]     # the kernel driver of a hardware device
    problem: Optional[str] = None  # why it cannot be written, when it cannot


def _users(path: str, root: Optional[str]) -> List[str]:
    """Processes of this user that hold `path` open ("1234 (ffmpeg)")."""
    proc = _join(root, "proc")
    found = []
    try:
        pids = [p for p in os.listdir(proc) if p.isdigit() and int(p) != os.getpid()]
    except OSError:
        return []
    for pid in pids:
        fds = _join(proc, pid, "fd")
        try:
            links = [os.readlink(os.path.join(fds, fd)) for fd in os.listdir(fds)]
        except OSError:
            continue
        if any(_join(root, link.lstrip("/")) == path or link == path for link in links):
            found.append(f"{pid} ({_read(_join(proc, pid, 'comm')) or '?'})")
    return found


def _problem(device: Device, root: Optional[str]) -> Optional[str]:
    node = _join(root, device.path.lstrip("/"))
    try:
        mode = os.stat(node).st_mode
    except OSError:
        return f"{device.path} is missing although sysfs lists it (udev has not made it?)"
    if not stat.S_ISCHR(mode):
        return f"{device.path} is not a character device"
    if not os.access(node, os.W_OK):
        return f"no permission to write {device.path} ({_GROUP_FIX})"
    # Programs that hold it open (a browser reading it) do not stop a writer; whether it takes
    # the format shows only when writing (see refusal).
    return None


def devices(root: Optional[str] = None) -> List[Device]:
    """The video4linux devices of the machine, loopback or not, in device-number order."""
    sysfs = _join(root, *_SYSFS)
    try:
        names = [n for n in os.listdir(sysfs) if re.fullmatch(r"video\d+", n)]
    except OSError:
        return []
    found = []
    for entry in sorted(names, key=lambda n: int(n[5:])):
        where = os.path.realpath(os.path.join(sysfs, entry))
        driver_link = os.path.join(sysfs, entry, "device", "driver")
        driver = os.path.basename(os.path.realpath(driver_link)) if os.path.exists(driver_link) else None
        device = Device("/dev/" + entry, _read(os.path.join(sysfs, entry, "name")) or "",
                        "/devices/virtual/" in where, driver)
        if device.loopback:
            device.problem = _problem(device, root)
        found.append(device)
    return found


def _distribution(root: Optional[str]) -> Tuple[str, str]:
    """(ID, ID_LIKE) of os-release, lower case."""
    text = _read(_join(root, "etc", "os-release")) or ""
    values = {}
    for line in text.splitlines():
        key, _, value = line.partition("=")
        values[key.strip()] = value.strip().strip('"').lower()
    return values.get("ID", ""), values.get("ID_LIKE", "")


def install_command(root: Optional[str] = None) -> Optional[str]:
    """The command that installs v4l2loopback here, or None where the package is not known."""
    ident, like = _distribution(root)
    family = {ident, *like.split()}
    if family & {"debian", "ubuntu"}:
        return "sudo apt-get install v4l2loopback-dkms"
    if family & {"arch"}:
        return "sudo pacman -S v4l2loopback-dkms"
    return None


@dataclass
class Diagnosis:
    """Why no loopback device can be used (or that one can): ``state`` is "ready",
    "not-installed", "not-loaded", "no-device" or "unusable"; ``text`` says it with the next
    command."""
    state: str
    text: str
    devices: List[Device] = field(default_factory=list)

    @property
    def usable(self) -> List[str]:
        return [d.path for d in self.devices if d.loopback and d.problem is None]


def diagnose(root: Optional[str] = None, run: Runner = _run_quietly) -> Diagnosis:
    """What stands between this machine and a usable v4l2loopback device."""
    found = devices(root)
    loopbacks = [d for d in found if d.loopback]
    if any(d.problem is None for d in loopbacks):
        ready = ", ".join(d.path for d in loopbacks if d.problem is None)
        return Diagnosis("ready", f"v4l2loopback device(s) ready: {ready}.", found)
    if loopbacks:
        lines = ["Every v4l2loopback device is unusable:"]
        lines += [f"  {d.path} ({d.name}): {d.problem}" for d in loopbacks]
        lines.append("Close the program that holds it, or add a device: "
                     "sudo modprobe -r v4l2loopback, then " + LOAD_COMMAND)
        return Diagnosis("unusable", "\n".join(lines), found)
    if os.path.isdir(_join(root, *_LOADED)):
        return Diagnosis("no-device", "The v4l2loopback module is loaded but made no device. "
                         "Load it again with one:\n  sudo modprobe -r v4l2loopback\n  " + LOAD_COMMAND,
                         found)
    if run(["modinfo", "v4l2loopback"]) == 0:
        return Diagnosis("not-loaded", "The v4l2loopback module is installed but not loaded. "
                         "Load it:\n  " + LOAD_COMMAND, found)
    install = install_command(root)
    how = (f"  {install}" if install else
           "  the distribution's v4l2loopback package (often v4l2loopback-dkms or "
           "akmod-v4l2loopback)")
    return Diagnosis("not-installed", "The v4l2loopback kernel module is not installed "
                     "(`modinfo v4l2loopback` finds none). Install it, then load it:\n"
                     f"{how}\n  {LOAD_COMMAND}", found)


def device_path(value: str) -> str:
    """The device a --loopback value means: "/dev/video10", "video10" and "10" are the same."""
    if re.fullmatch(r"\d+", value):
        return "/dev/video" + value
    if re.fullmatch(r"video\d+", value):
        return "/dev/" + value
    return value


def check_device(value: str, option: str = "--loopback", root: Optional[str] = None,
                 run: Runner = _run_quietly) -> Optional[str]:
    """Why the device `value` (given as `option`) cannot be written, with the fix; None when it
    can, as far as can be seen before writing."""
    path = device_path(value)
    given = f"{option} {value}" if option.startswith("-") else f"{option}{value!r}"
    node = _join(root, path.lstrip("/"))
    try:
        mode = os.stat(node).st_mode
    except FileNotFoundError:
        diagnosis = diagnose(root, run)
        if diagnosis.state == "ready":
            return f"{given}: {path} does not exist. Use one of: {', '.join(diagnosis.usable)}."
        return f"{given}: {path} does not exist. {diagnosis.text}"
    except OSError as error:
        return f"{given}: {path} cannot be examined: {error.strerror}."
    if not stat.S_ISCHR(mode):
        return f"{given}: {path} is not a character device; a v4l2loopback device is /dev/videoN."
    known = {d.path: d for d in devices(root)}
    device = known.get(path)
    if device is None or not device.loopback:
        what = (f"{device.name!r}, driver {device.driver or 'unknown'}" if device is not None
                else "not a video4linux device")
        loopbacks = [d.path for d in known.values() if d.loopback]
        other = (f"the v4l2loopback devices here: {', '.join(loopbacks)}" if loopbacks
                 else "there is none here; `trelvo setup-loopback` makes one")
        return f"{given}: {path} is not a v4l2loopback device ({what}); {other}."
    if device.problem is not None:
        return f"{given}: {path} ({device.name}) cannot be used: {device.problem}."
    return None


def refusal(value: str, width: int, height: int, type_name: str, option: str = "--loopback",
            root: Optional[str] = None) -> str:
    """Why a loopback device that looked usable did not take the pictures."""
    path = device_path(value)
    given = f"{option} {value}" if option.startswith("-") else f"{option}{value!r}"
    node = _join(root, path.lstrip("/"))
    users = _users(node, root)
    if users:
        return (f"{given}: {path} is busy, in use by process {', '.join(users)}; close it or use "
                "another device.")
    return (f"{given}: {path} refused {width}x{height} {type_name} (a v4l2loopback device keeps "
            "the format of the program that wrote it first while anyone reads it). Close the "
            "programs reading it, or ask for the format it has.")


@dataclass
class Step:
    """One command of the set-up: shown as `shell`, run as `argv` (with `stdin` as its input)."""
    what: str
    shell: str
    argv: List[str]
    stdin: Optional[str] = None


def setup_steps(root: Optional[str] = None, run: Runner = _run_quietly) -> Tuple[Diagnosis, List[Step]]:
    """The diagnosis and the steps that make a loopback device on this machine and keep it
    across restarts (none when one is ready and kept)."""
    diagnosis = diagnose(root, run)
    steps: List[Step] = []
    if diagnosis.state == "not-installed":
        install = install_command(root)
        if install is None:
            return diagnosis, []
        argv = shlex.split(install)
        if "apt-get" in argv:
            argv.insert(argv.index("install") + 1, "-y")
        steps.append(Step("install the kernel module", " ".join(argv), argv))
    if diagnosis.state in ("not-installed", "not-loaded"):
        argv = shlex.split(LOAD_COMMAND)
        steps.append(Step("load it with one device, /dev/video10", LOAD_COMMAND, argv))
    if diagnosis.state in ("no-device", "unusable"):
        for command in ("sudo modprobe -r v4l2loopback", LOAD_COMMAND):
            steps.append(Step("reload it with a free device", command, shlex.split(command)))
    for path, text, what in ((_PERSIST_LOAD, "v4l2loopback\n", "load it at every start"),
                             (_PERSIST_OPTIONS, f"options v4l2loopback {MODULE_OPTIONS}\n",
                              "with the same options")):
        if _read(_join(root, path.lstrip("/"))) == text.strip():
            continue
        shown = f"echo {shlex.quote(text.strip())} | sudo tee {path}"
        steps.append(Step(what, shown, ["sudo", "tee", path], text))
    return diagnosis, steps
