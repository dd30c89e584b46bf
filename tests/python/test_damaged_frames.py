"""Samples that cannot become a picture are dropped without a word and without stopping the relay."""
import time

import pytest
from trelvo_tools import simcam

from conftest import flush_c_stdout

DAMAGED = [b"", b"not a jpeg at all", b"\xff\xd8\xff\xe0" + b"\x00" * 64, b"\xff\xd8" + bytes(range(256)) * 4]


@pytest.mark.parametrize("out_type", [0, 1])
def test_damaged_jpegs_are_dropped_silently(sims, recording, capfd, out_type):
    sims("sim:damaged", simcam.MJPG, 64, 48, frames=DAMAGED)
    cap = sims.session()
    capfd.readouterr()
    assert cap.start("sim:damaged", "", 64, 48, 30, "MJPEG", out_type) is True
    time.sleep(0.3)
    assert cap.is_running() is True
    cap.stop()
    flush_c_stdout()
    out, err = capfd.readouterr()
    assert (out, err) == ("", "")  # not even libavcodec's own complaints
    assert recording.counts().frames_sent == 0


@pytest.mark.parametrize("subtype, name", [(simcam.NV12, "NV12"), (simcam.YUY2, "YUY2"), (simcam.I420, "I420"),
                                           (simcam.RGB24, "RGB24"), (simcam.P010, "P10")])
def test_short_raw_samples_are_dropped(sims, recording, c_output, subtype, name):
    # Every sample is a few bytes short of a 64x48 picture of its format.
    sims("sim:short", subtype, 64, 48, frames=[bytes(64 * 48 - 7)])
    cap = sims.session()
    assert cap.start("sim:short", "", 64, 48, 30, name, 0) is True
    time.sleep(0.2)
    cap.stop()
    assert c_output() == ""
    assert recording.counts().frames_sent == 0
