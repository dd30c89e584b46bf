import subprocess
import sys
import textwrap

import pytest
import trelvo

from conftest import find_python

INT = "typing.SupportsInt | typing.SupportsIndex"


def test_module_docstring_and_public_names():
    assert trelvo.__doc__ == "Simplified video capture module (no frame reading)"
    public = sorted(name for name in dir(trelvo) if not name.startswith("_"))
    assert public == ["CameraFormat", "CameraInfo", "VideoCapture"]
    for cls in (trelvo.CameraFormat, trelvo.CameraInfo, trelvo.VideoCapture):
        assert cls.__doc__ is None
        assert cls.__module__ == "trelvo"


def test_method_docstrings_carry_generated_signatures():
    vc = trelvo.VideoCapture
    assert vc.enumerate_cameras.__doc__ == (
        "enumerate_cameras(self: trelvo.VideoCapture) -> list[trelvo.CameraInfo]\n\n"
        "Enumerate all available cameras\n")
    assert vc.start.__doc__ == (
        f"start(self: trelvo.VideoCapture, device_1: str, device_2: str, width: {INT}, height: {INT}, "
        f"fps: {INT}, subtype_name: str, type: {INT}) -> bool\n\nStart video capture\n")
    assert vc.stop.__doc__ == "stop(self: trelvo.VideoCapture) -> None\n\nStop video capture\n"
    assert vc.switch_camera.__doc__ == "switch_camera(self: trelvo.VideoCapture) -> None\n\nSwitch Capture Device\n"
    assert vc.is_running.__doc__ == "is_running(self: trelvo.VideoCapture) -> bool\n\nCheck if capture is running\n"


def test_records_cannot_be_constructed_or_extended():
    with pytest.raises(TypeError):
        trelvo.CameraFormat()
    with pytest.raises(TypeError):
        trelvo.CameraInfo()
    cap = trelvo.VideoCapture()
    with pytest.raises(AttributeError):
        cap.extra = 1


def test_classes_may_be_subclassed():
    class Mine(trelvo.VideoCapture):
        pass

    assert Mine().is_running() is False


def test_repeated_import_returns_the_same_module():
    import importlib
    assert importlib.import_module("trelvo") is trelvo


def test_import_refused_under_another_python_version():
    python312 = find_python("3.12")
    if python312 is None:
        pytest.skip("no Python 3.12 interpreter on this machine")
    code = textwrap.dedent(f"""
        import importlib.machinery, importlib.util, os, sys
        # The interpreter's own loading flags (immediate binding): the 3.13-only symbols must not
        # stop the loader before the module's version check runs.
        assert sys.getdlopenflags() & os.RTLD_NOW
        loader = importlib.machinery.ExtensionFileLoader("trelvo", {trelvo.__file__!r})
        module_spec = importlib.util.spec_from_loader("trelvo", loader)
        try:
            importlib.util.module_from_spec(module_spec)
        except ImportError as error:
            print("ImportError:", error)
            print("VERSION:", sys.version)
    """)
    out = subprocess.run([python312, "-c", code], capture_output=True, text=True, timeout=60)
    lines = dict(line.split(": ", 1) for line in out.stdout.splitlines() if ": " in line)
    assert "ImportError" in lines, out.stdout + out.stderr
    assert lines["ImportError"] == (
        "Python version mismatch: module was compiled for Python 3.13, "
        f"but the interpreter version is incompatible: {lines['VERSION']}.")
    assert lines["VERSION"].startswith("3.12")


def test_subinterpreters_are_refused():
    _interpreters = pytest.importorskip("_interpreters")
    interp = _interpreters.create()
    try:
        result = _interpreters.run_string(interp, "import trelvo")
    finally:
        _interpreters.destroy(interp)
    assert result is not None and "ImportError" in str(result.type), result
