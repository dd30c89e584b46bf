"""pytest plugin (loaded by pytest wherever trelvo is installed; ``-p no:trelvo`` turns it off).

For the whole run and for each test, trelvo is kept away from the machine's own devices: the
virtual camera goes to a private shared-memory channel (removed afterwards) instead of the one a
running ``trelvo relay`` or call app uses, no v4l2loopback device is written, and the real
cameras are hidden, so only simulated cameras are listed. Nothing in the test file has to set
anything. Fixtures:

    sim_camera     the built-in simulated camera (simcam.test_pattern()), removed afterwards
    sim_cameras    a factory: sim_cameras("sim://desk", types=[("MJPG", 320, 240, 30, 1)], ...)
                   takes SimCamera's arguments (the name defaults to the link)
    trelvo_channel the test's private channel name (what vcam.VirtualCameraReader() reads)
"""

from __future__ import annotations

import itertools
import os
import shutil
import tempfile
from typing import Any, Callable, Dict, Iterator, List

import pytest

CHANNEL_ENV = "TRELVOHDCAM_CHANNEL"
LOOPBACK_ENV = "TRELVOHDCAM_LOOPBACK"
REPLAY_ENV = "TRELVO_V4L2_REPLAY"

_numbers = itertools.count()
_run: Dict[str, Any] = {}


def _remove_channel(name: str) -> None:
    from . import vcam

    vcam.remove_channel(name)


def pytest_configure(config: pytest.Config) -> None:
    # Before any test module is imported: a camera created at import time goes private too, and
    # so do the processes the tests start.
    _run["saved"] = {k: os.environ.get(k) for k in (CHANNEL_ENV, LOOPBACK_ENV, REPLAY_ENV)}
    _run["channel"] = f"/trelvo-pytest-{os.getpid()}"
    os.environ[CHANNEL_ENV] = _run["channel"]
    os.environ[LOOPBACK_ENV] = "off"
    if not os.environ.get(REPLAY_ENV):
        # A replay of no cameras: the V4L2 backend then sees none of the machine's devices.
        _run["no_cameras"] = tempfile.mkdtemp(prefix="trelvo-pytest-")
        os.environ[REPLAY_ENV] = _run["no_cameras"]


def pytest_unconfigure(config: pytest.Config) -> None:
    if "channel" not in _run:
        return
    _remove_channel(_run.pop("channel"))
    folder = _run.pop("no_cameras", None)
    if folder:
        shutil.rmtree(folder, ignore_errors=True)
    for key, value in _run.pop("saved", {}).items():
        if value is None:
            os.environ.pop(key, None)
        else:
            os.environ[key] = value


@pytest.fixture(autouse=True)
def trelvo_channel(monkeypatch: pytest.MonkeyPatch) -> Iterator[str]:
    """The test's own virtual-camera channel (set for every test), removed after it."""
    name = f"/trelvo-pytest-{os.getpid()}-{next(_numbers)}"
    monkeypatch.setenv(CHANNEL_ENV, name)
    monkeypatch.setenv(LOOPBACK_ENV, "off")
    yield name
    _remove_channel(name)


@pytest.fixture
def sim_cameras() -> Iterator[Callable[..., Any]]:
    """Makes simulated cameras (``simcam.SimCamera``'s arguments) and removes them afterwards."""
    from . import simcam

    made: List[Any] = []

    def make(link: str, name: Any = None, **kwargs: Any) -> Any:
        camera = simcam.SimCamera(link if name is None else name, link, **kwargs)
        made.append(camera)
        return camera

    yield make
    for camera in reversed(made):
        camera.remove()


@pytest.fixture
def sim_camera() -> Iterator[Any]:
    """The built-in simulated camera, ``simcam.TEST_PATTERN_LINK``, removed afterwards."""
    from . import simcam

    camera = simcam.test_pattern()
    yield camera
    camera.remove()
