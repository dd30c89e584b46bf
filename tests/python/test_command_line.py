"""The command line tools: python -m trelvo_tools list|relay|view|demo."""
import os
import re
import struct
import subprocess
import sys
import time
import zlib

import numpy as np
import pytest
import trelvo

from trelvo_tools import cli, simcam, vcam

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


def test_list_without_cameras_says_so(capfd):
    if real_cameras():
        pytest.skip("this machine has cameras")
    assert cli.main(["list"]) == 0
    assert capfd.readouterr().out == "No cameras found.\n"


def test_relay_unknown_camera_lists_the_known_ones(capfd):
    assert cli.main(["relay", "--device", "sim://nowhere", "--simulated", "--seconds", "1"]) == 2
    err = capfd.readouterr().err
    assert "Unknown camera id 'sim://nowhere'" in err and cli.SIM_LINK in err


def test_relay_without_cameras(capfd):
    if real_cameras():
        pytest.skip("this machine has cameras")
    assert cli.main(["relay", "--device", "anything", "--seconds", "1"]) == 2
    assert "No cameras found" in capfd.readouterr().err


def test_relay_refused_format_lists_the_camera_formats(capfd):
    code = cli.main(["relay", "--device", cli.SIM_LINK, "--simulated", "--width", "100",
                     "--seconds", "1"])
    assert code == 1
    err = capfd.readouterr().err
    assert "could not be started with 100x480 @ 30 fps MJPEG" in err
    assert "  640x480 @ 30 fps NV12" in err


def test_relay_reports_pictures_per_second(capfd, monkeypatch):
    monkeypatch.setattr(sys, "stdin", open(os.devnull))  # not a terminal: run for --seconds
    code = cli.main(["relay", "--device", cli.SIM_LINK, "--simulated", "--subtype", "MJPEG",
                     "--width", "320", "--height", "240", "--type", "1", "--seconds", "1.5"])
    out = capfd.readouterr().out
    assert code == 0, out
    assert "320x240 @ 30 fps MJPEG, output type 1 (YUY2)" in out
    rates = [float(m) for m in re.findall(r"([\d.]+) pictures/s reached", out)]
    assert rates and all(15 <= r <= 45 for r in rates)  # a paced 30 fps camera
    total = int(re.search(r"Stopped\. (\d+) picture\(s\) reached", out).group(1))
    assert 30 <= total <= 60
    assert vcam.VirtualCameraReader().state == vcam.STATE_CLOSED


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
