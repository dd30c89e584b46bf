"""The command line tools: python -m trelvo_tools list|relay|view|demo."""
import os
import re
import signal
import struct
import subprocess
import sys
import time
import zlib

import numpy as np
import pytest
import trelvo

from trelvo_tools import cli, loopback, simcam, vcam

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def real_cameras():
    return [c for c in trelvo.VideoCapture().enumerate_cameras() if not c.device_id.startswith("sim://")]


def run_tool(*args, timeout=60):
    return subprocess.run([sys.executable, "-m", "trelvo_tools", *args], cwd=ROOT, capture_output=True,
                          text=True, timeout=timeout, stdin=subprocess.DEVNULL)


def read_png(path):
    """(width, height, rows as an array) of an 8-bit RGB PNG, checking every chunk's CRC."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, {}
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]
        assert zlib.crc32(kind + body) & 0xFFFFFFFF == crc
        chunks[kind] = chunks.get(kind, b"") + body
        pos += 12 + length
    assert b"IEND" in chunks
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert (depth, colour) == (8, 2)
    raw = zlib.decompress(chunks[b"IDAT"])
    assert len(raw) == height * (1 + 3 * width)
    rows = np.frombuffer(raw, dtype=np.uint8).reshape(height, 1 + 3 * width)
    assert (rows[:, 0] == 0).all()  # the writer uses no filters
    return width, height, rows[:, 1:].reshape(height, width, 3)


def test_demo_relays_and_writes_a_snapshot(tmp_path):
    out = tmp_path / "demo.png"
    done = run_tool("demo", "--seconds", "1.5", "--out", str(out))
    assert done.returncode == 0, done.stdout + done.stderr
    text = done.stdout
    if not real_cameras():
        assert "No cameras found." in text and "No real camera found" in text
        assert "relaying the built-in simulated camera" in text
    rates = [float(m) for m in re.findall(r"([\d.]+) pictures/s reached the virtual camera", text)]
    assert rates and all(r > 0 for r in rates)
    assert str(out) in text
    width, height, rgb = read_png(out)
    assert width > 0 and height > 0
    if not real_cameras():
        assert (width, height) == cli.SIM_SIZE
        assert len(np.unique(rgb.reshape(-1, 3), axis=0)) > 8  # the test pattern, not a blank
    assert vcam.VirtualCameraReader().state == vcam.STATE_CLOSED


def test_list_with_simulated_camera(capfd):
    assert cli.main(["list", "--simulated"]) == 0
    out = capfd.readouterr().out
    assert cli.SIM_NAME in out and f"id: {cli.SIM_LINK}" in out
    assert "640x480 @ 30 fps MJPEG" in out and "640x480 @ 30 fps YUY2" in out
    assert simcam.camera_count() == 0  # the built-in camera is gone again


# A driver with many formats (vivid lists 83): the relayed ones, then the rest by subtype in the
# order listed, each once, with a FourCC-built GUID as its FourCC and another GUID as its text.
OTHER_GUID = "{01234567-89AB-CDEF-0123-456789ABCDEF}"
MANY = ["RGB3", "BGR4", "H264"] + [f"Q{n:03d}" for n in range(20)] + [OTHER_GUID]


@pytest.mark.parametrize("args, relayed, summed_up", [
    ([], ["640x480 @ 30 fps YUY2", "321x241 @ 15 fps NV12"],
     f"+ {len(MANY)} other formats trelvo cannot relay: " + " ".join(MANY)),
    (["--all"], ["640x480 @ 30 fps YUY2", "640x480 @ 30 fps RGB3", "320x240 @ 30 fps RGB3",
                 "321x241 @ 15 fps NV12"] + [f"1x1 @ 5 fps {name}" for name in MANY[1:]], ""),
])
def test_list_shows_the_formats_trelvo_relays_and_sums_up_the_rest(capfd, args, relayed, summed_up):
    types = [(simcam.YUY2, 640, 480, 30, 1), (simcam.guid("RGB3"), 640, 480, 30, 1),
             (simcam.guid("RGB3"), 320, 240, 30, 1), (simcam.NV12, 321, 241, 15, 1)]
    types += [(simcam.guid(name), 1, 1, 5, 1) for name in MANY[1:]]
    cams = [simcam.SimCamera("Many formats", "sim://many", types=types),
            simcam.SimCamera("Only H264", "sim://h264", types=[(simcam.guid("H264"), 64, 48, 30, 1)])]
    try:
        assert cli.main(["list", *args]) == 0
    finally:
        for cam in cams:
            cam.remove()
    out = capfd.readouterr().out
    lines = out.splitlines()
    first = lines.index("  1. Many formats")
    block = lines[first + 2:lines.index("  2. Only H264")]
    assert block[:len(relayed)] == [f"     {text}" for text in relayed]
    rest = block[len(relayed):]  # wrapped to lines of at most 100 characters
    assert " ".join(" ".join(rest).split()) == summed_up and all(len(line) <= 100 for line in rest)
    if args:
        assert "     64x48 @ 30 fps H264" in lines and "--all" not in out
    else:
        assert "     no format trelvo can relay" in lines
        assert "     + 1 other format trelvo cannot relay: H264" in lines
        assert lines[-1] == "`trelvo list --all` lists every format."


def test_list_without_cameras_points_to_the_simulated_one(capfd):
    if real_cameras():
        pytest.skip("this machine has cameras")
    assert cli.main(["list"]) == 0
    out = capfd.readouterr().out
    assert out.startswith("No cameras found.\n") and "trelvo list --simulated" in out


@pytest.mark.parametrize("args, message", [
    (["relay", "--seconds", "0"], "must be greater than 0"),
    (["relay", "--seconds", "-1"], "must be greater than 0"),
    (["relay", "--width", "0"], "must be greater than 0"),
    (["relay", "--type", "2"], "invalid choice: 2"),
    (["relay", "--subtype", "H264"], "unknown subtype 'H264'"),
    (["view", "--timeout", "-1"], "must be 0 or more"),
    (["view", "--timeout", "abc"], "argument --timeout: must be a number of seconds, not 'abc'"),
    (["demo", "--seconds", "0"], "must be greater than 0"),
])
def test_bad_arguments_are_refused(capfd, args, message):
    with pytest.raises(SystemExit) as exit:
        cli.main(args)
    assert exit.value.code == 2 and message in capfd.readouterr().err


@pytest.mark.parametrize("command", ["view", "demo"])
@pytest.mark.parametrize("name, message", [
    ("snap.jpg", "ending in .png"),
    ("missing/snap.png", "does not exist"),
    ("folder.png", "is a folder"),
])
def test_bad_snapshot_paths_are_refused_before_anything_runs(capfd, tmp_path, command, name, message):
    (tmp_path / "folder.png").mkdir()
    start = time.monotonic()
    assert cli.main([command, "--out", str(tmp_path / name)]) == 2
    out, err = capfd.readouterr()
    assert message in err and "Traceback" not in err and "Relaying" not in out
    assert time.monotonic() - start < 2  # refused at once, not after a relay


def test_every_option_has_help():
    parser = cli.build_parser()
    for command in parser._subparsers._group_actions[0].choices.values():
        for action in command._actions:
            assert action.help, f"{command.prog} {action.option_strings}"


def test_relay_unknown_camera_lists_the_known_ones(capfd):
    with simcam.SimCamera("Cam (USB)", "sim://usb"), simcam.SimCamera(None, "sim://unnamed"):
        assert cli.main(["relay", "--device", "sim://nowhere", "--simulated", "--seconds", "1"]) == 2
    err = capfd.readouterr().err
    assert "Unknown camera id 'sim://nowhere'" in err
    assert f"  {cli.SIM_LINK}  ({cli.SIM_NAME})\n" in err  # a name ending in ")" kept whole
    assert "  sim://usb  (Cam (USB))\n" in err and "  sim://unnamed\n" in err


@pytest.mark.parametrize("channel", ["/a/b", "/" + "x" * 300])
def test_relay_with_an_invalid_channel_variable_says_so(capfd, monkeypatch, channel):
    monkeypatch.setenv("TRELVOHDCAM_CHANNEL", channel)
    assert cli.main(["relay", "--device", cli.SIM_LINK, "--seconds", "1"]) == cli.EXIT_USAGE
    err = capfd.readouterr().err
    assert "TRELVOHDCAM_CHANNEL=" in err and "is not a channel name" in err and "Traceback" not in err


def test_a_fourcc_alias_is_shown_beside_the_table_name(capfd):
    code = cli.main(["relay", "--device", cli.SIM_LINK, "--subtype", "P010", "--seconds", "1"])
    err = capfd.readouterr().err
    assert code == 1 and "matching P10 (P010)" in err
    relay_help = cli.build_parser()._subparsers._group_actions[0].choices["relay"].format_help()
    assert "P10 (P010)" in " ".join(relay_help.split())


def test_relay_without_cameras(capfd):
    if real_cameras():
        pytest.skip("this machine has cameras")
    assert cli.main(["relay", "--device", "anything", "--seconds", "1"]) == 2
    err = capfd.readouterr().err
    assert "No cameras found" in err and "list --simulated" in err


def test_relay_unlisted_format_lists_the_camera_formats(capfd):
    code = cli.main(["relay", "--device", cli.SIM_LINK, "--width", "100", "--seconds", "1"])
    assert code == 1
    err = capfd.readouterr().err
    assert "lists no format matching 100x*" in err
    assert "  640x480 @ 30 fps NV12" in err


def test_relay_reports_pictures_per_second(capfd, monkeypatch):
    monkeypatch.setattr(sys, "stdin", open(os.devnull))  # not a terminal: run for --seconds
    # The built-in camera needs no --simulated when named, and subtypes take any case.
    code = cli.main(["relay", "--device", cli.SIM_LINK, "--subtype", "mjpg",
                     "--width", "320", "--height", "240", "--type", "1", "--seconds", "1.5"])
    out = capfd.readouterr().out
    assert code == 0, out
    assert "320x240 @ 30 fps MJPEG, output type 1 (YUY2)" in out
    assert "Loopback output is off" in out  # the tests keep away from loopback devices
    rates = [float(m) for m in re.findall(r"([\d.]+) pictures/s reached", out)]
    assert rates and all(15 <= r <= 45 for r in rates)  # a paced 30 fps camera
    total = int(re.search(r"Stopped\. (\d+) picture\(s\) reached", out).group(1))
    assert 30 <= total <= 60
    assert vcam.VirtualCameraReader().state == vcam.STATE_CLOSED


def test_relay_without_loopback_device_says_how_to_make_one(capfd, monkeypatch):
    if loopback.diagnose().state == "ready":
        pytest.skip("this machine has a loopback device; the tests do not write into it")
    monkeypatch.delenv("TRELVOHDCAM_LOOPBACK")
    assert cli.main(["relay", "--device", cli.SIM_LINK, "--seconds", "0.3"]) == 0
    out = capfd.readouterr().out
    assert out.count("No v4l2loopback device") == 1 and cli.LOOPBACK_COMMAND in out
    assert "trelvo setup-loopback" in out and loopback.diagnose().text in out
    assert "output type 0 (BGR24)" in out  # nothing to show to call apps: no YUY2 by default


@pytest.mark.parametrize("given, says", [
    ("{tmp}/video42", "--loopback {tmp}/video42: {tmp}/video42 does not exist."),
    ("video9999", "--loopback video9999: /dev/video9999 does not exist."),
    ("{tmp}", "--loopback {tmp}: {tmp} is not a character device"),
])
def test_relay_into_a_loopback_device_that_cannot_be_used_says_why(capfd, tmp_path, given, says):
    code = cli.main(["relay", "--device", cli.SIM_LINK, "--loopback", given.format(tmp=tmp_path),
                     "--seconds", "1"])
    err = capfd.readouterr().err
    assert code == cli.EXIT_USAGE and says.format(tmp=tmp_path) in err
    assert "TRELVOHDCAM_LOOPBACK" not in err


@pytest.mark.parametrize("second, expected", [
    # Both list 320x240 MJPEG: that is chosen, and both cameras run.
    ("sim://b", ["Relaying sim://a and sim://b: 320x240 @ 30 fps MJPEG"]),
    # Nothing in common: refused, with both cameras' formats.
    ("sim://c", ["no common format", "A lists these formats trelvo can relay:", "  640x480 @ 30 fps MJPEG",
                 "C lists these formats trelvo can relay:", "  160x120 @ 15 fps NV12",
                 "  + 1 other format trelvo cannot relay: H264"]),
    # Listed, but it cannot be opened: one camera, said so.
    ("sim://broken", ["Relaying sim://a: 320x240 @ 30 fps MJPEG",
                      "The second camera sim://broken could not be opened",
                      "the session runs on one camera (sim://a)"]),
])
def test_two_cameras_with_different_formats(capfd, monkeypatch, second, expected):
    monkeypatch.setattr(sys, "stdin", open(os.devnull))
    cams = [simcam.SimCamera("A", "sim://a", types=[(simcam.MJPG, 640, 480, 30, 1), (simcam.MJPG, 320, 240, 30, 1)]),
            simcam.SimCamera("B", "sim://b", types=[(simcam.YUY2, 640, 480, 30, 1), (simcam.MJPG, 320, 240, 30, 1)]),
            simcam.SimCamera("C", "sim://c", types=[(simcam.NV12, 160, 120, 15, 1),
                                                    (simcam.fourcc_guid("H264"), 160, 120, 15, 1)]),
            simcam.SimCamera("Broken", "sim://broken", types=[(simcam.MJPG, 320, 240, 30, 1)],
                             faults={"set_media_type": 0x80004005})]
    try:
        code = cli.main(["relay", "--device", "sim://a", "--device2", second, "--seconds", "0.5"])
    finally:
        for cam in cams:
            cam.remove()
    out, err = capfd.readouterr()
    assert code == (1 if second == "sim://c" else 0), out + err
    for text in expected:
        assert text in out + err


def _tool_script(*args):
    """A command line run in a child process with simulated cameras A and B registered there."""
    return [sys.executable, "-c", f"""
import sys
from trelvo_tools import cli, simcam
types = [(simcam.MJPG, 64, 48, 30, 1)]
cams = [simcam.SimCamera("A", "sim://a", types=types), simcam.SimCamera("B", "sim://b", types=types)]
sys.exit(cli.main({list(args)!r}))
"""]


def test_interactive_relay_switches_on_enter_only_and_quits_on_q():
    import pty
    import select

    master, slave = pty.openpty()
    child = subprocess.Popen(_tool_script("relay", "--device", "sim://a", "--device2", "sim://b"),
                             cwd=ROOT, stdin=slave, stdout=slave, stderr=slave)
    os.close(slave)
    seen = b""

    def expect(text, timeout=20):
        nonlocal seen
        deadline = time.monotonic() + timeout
        while text.encode() not in seen:
            assert time.monotonic() < deadline, seen.decode(errors="replace")
            if select.select([master], [], [], 0.5)[0]:
                try:
                    seen += os.read(master, 4096)
                except OSError:
                    break
        assert text.encode() in seen, seen.decode(errors="replace")

    try:
        expect("Press Enter to switch cameras")
        os.write(master, b"\n")
        expect("Switched to sim://b.")
        os.write(master, b"x\n")
        expect("('x' ignored)")
        os.write(master, b"\n")
        expect("Switched to sim://a.")
        os.write(master, b"q\n")
        assert child.wait(timeout=20) == 0
        expect("Stopped.")
    finally:
        child.kill()
        child.wait()
        os.close(master)
    assert seen.count(b"Switched to") == 2


@pytest.mark.parametrize("args", [
    ["relay", "--device", "sim://a"],
    ["demo", "--seconds", "30", "--out", "{tmp}/demo.png"],
    ["view", "--timeout", "30", "--out", "{tmp}/view.png"],
])
def test_ctrl_c_exits_with_130_everywhere(tmp_path, recording, args):
    args = [a.replace("{tmp}", str(tmp_path)) for a in args]
    # `view` waits only while a relay runs: a live camera that sends nothing keeps it waiting.
    camera = recording.library.scCreateCamera(64, 48, 30.0, 0) if args[0] == "view" else None
    child = subprocess.Popen(_tool_script(*args), cwd=ROOT, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    time.sleep(1.5)  # started (or waiting)
    child.send_signal(signal.SIGINT)
    out = child.communicate(timeout=20)[0]
    if camera:
        recording.library.scDeleteCamera(camera)
    assert child.returncode == 130, out
    assert "Interrupted." in out and "Traceback" not in out


def test_a_relay_taken_over_says_by_whom_and_fails(sims):
    child = subprocess.Popen(_tool_script("relay", "--device", "sim://a", "--seconds", "20"), cwd=ROOT,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    reader = vcam.VirtualCameraReader()
    deadline = time.monotonic() + 20
    while True:  # until the child's camera writes the channel
        info = reader.info()
        if info is not None and info.owner_pid == child.pid and info.frame_number > 0:
            break
        assert time.monotonic() < deadline and child.poll() is None, child.communicate()
        time.sleep(0.05)
    sims("sim://here")
    cap = sims.session()
    assert cap.start(device_1="sim://here", device_2="", width=64, height=48, fps=30,
                     subtype_name="MJPEG", type=0)
    out, err = child.communicate(timeout=20)
    assert child.returncode == 3, out + err
    assert f"The virtual camera was taken over by process {os.getpid()}" in err


def test_view_without_relay_fails_clearly(tmp_path):
    out = tmp_path / "none.png"
    done = run_tool("view", "--out", str(out), "--timeout", "0.3")
    assert done.returncode == 1
    assert "No picture arrived from the virtual camera" in done.stderr
    assert not out.exists()


def test_view_snapshots_another_process_relay(sims, tmp_path):
    colour = (30, 160, 220)
    sims("sim://view", simcam.RGB24, 80, 60, pattern="solid", color=colour)
    cap = sims.session()
    assert cap.start(device_1="sim://view", device_2="", width=80, height=60, fps=30,
                     subtype_name="RGB24", type=0)
    out = tmp_path / "view.png"
    done = run_tool("view", "--out", str(out), "--timeout", "5")
    assert done.returncode == 0, done.stderr
    assert "Wrote" in done.stdout and "80x60" in done.stdout
    width, height, rgb = read_png(out)
    assert (width, height) == (80, 60)
    assert (rgb.reshape(-1, 3) == colour[::-1]).all()  # RGB in the file, BGR at the camera
