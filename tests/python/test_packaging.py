"""What Python users get besides the module: type information checked against the built module,
the `trelvo` command, the version and the licence in the package metadata."""
import os
import re
import shutil
import subprocess
import sys
from importlib import metadata

import pytest
import trelvo

import trelvo_tools

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HERE = os.path.dirname(os.path.abspath(__file__))
TYPED = os.path.join(HERE, "typed")


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy on this tree's stub and trelvo_tools (the source tree, not an installed copy),
    with one cache for the module's runs."""
    pytest.importorskip("mypy")
    cwd = tmp_path_factory.mktemp("mypy")
    env = dict(os.environ, MYPYPATH=ROOT, MYPY_CACHE_DIR=str(cwd / "cache"))

    def run(*args):
        return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True,
                              text=True, timeout=300)
    return run


def test_stub_matches_the_built_module(mypy):
    done = mypy("mypy.stubtest", "trelvo", "--allowlist", os.path.join(HERE, "stubtest_allowlist.txt"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_tools_are_strictly_typed(mypy):
    # simcam, loaded only on demand by the command line, is checked where it is used.
    modules = ["trelvo_tools", "trelvo_tools.relay", "trelvo_tools.cli", "trelvo_tools.vcam",
               "trelvo_tools.loopback", "trelvo_tools.pytest_plugin"]
    done = mypy("mypy", "--strict", "--follow-imports=silent", *[a for m in modules for a in ("-m", m)])
    assert done.returncode == 0, done.stdout


@pytest.mark.parametrize("example", ["good_use.py", "planted_mistakes.py"])
def test_mypy_accepts_good_use_and_reports_every_planted_mistake(mypy, example):
    path = os.path.join(TYPED, example)
    done = mypy("mypy", "--strict", path)
    reported = {int(n) for n in re.findall(rf"{re.escape(example)}:(\d+): error", done.stdout)}
    with open(path) as f:
        planted = {n for n, line in enumerate(f, 1) if "  # mistake:" in line}
    assert reported == planted, done.stdout
    assert (done.returncode == 0) == (not planted)


def test_installed_stub_is_this_tree_s_stub():
    with open(os.path.join(ROOT, "trelvo.pyi")) as f:
        stub = f.read()
    site = os.path.dirname(trelvo.__file__)
    for path in ("trelvo.pyi", os.path.join("trelvo-stubs", "__init__.pyi")):
        with open(os.path.join(site, path)) as f:
            assert f.read() == stub, path
    assert os.path.exists(os.path.join(os.path.dirname(trelvo_tools.__file__), "py.typed"))


def test_console_command_version_and_metadata():
    command = shutil.which("trelvo", path=os.path.dirname(sys.executable))
    assert command, "the trelvo console command is installed beside the interpreter"
    done = subprocess.run([command, "--version"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.strip() == f"trelvo {trelvo_tools.__version__}"
    meta = metadata.metadata("trelvo")
    assert trelvo_tools.__version__ == meta["Version"] != "0+unknown"
    assert meta["Requires-Python"] == "==3.13.*"
    assert "MIT License" in (meta.get("License") or "") + "".join(meta.get_all("Classifier") or [])
    files = [str(f) for f in metadata.files("trelvo") or []]
    assert any(f.endswith("LICENSE") and ".dist-info" in f for f in files)
    done = subprocess.run([command, "list", "--simulated"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and "sim://trelvo-test-pattern" in done.stdout


def _pkg_config_dir_without(tmp_path, left_out):
    """A pkg-config folder holding this machine's .pc files except `left_out`."""
    folder = tmp_path / "pkgconfig"
    folder.mkdir()
    sources = subprocess.run(["pkg-config", "--variable=pc_path", "pkg-config"], capture_output=True,
                             text=True).stdout.strip().split(":")
    for source in filter(os.path.isdir, sources):
        for name in os.listdir(source):
            if name.endswith(".pc") and name not in left_out and not (folder / name).exists():
                os.symlink(os.path.join(source, name), folder / name)
    return str(folder)


@pytest.mark.parametrize("missing, cmake_args, package", [
    ("ffmpeg", ["-DTRELVO_BUILD_MODULE=OFF"], "libavcodec-dev libavutil-dev libswscale-dev"),
    ("libyuv", ["-DTRELVO_BUILD_MODULE=OFF", "-DCMAKE_IGNORE_PREFIX_PATH=/usr"], "libyuv-dev"),
    ("nlohmann", ["-DTRELVO_BUILD_MODULE=OFF", "-DCMAKE_IGNORE_PREFIX_PATH=/usr", "-DLIBYUV_INCLUDE_DIR=/usr/include",
                  "-DLIBYUV_LIBRARY=/usr/lib/libyuv.so"], "nlohmann-json3-dev"),
    ("python", ["-DTRELVO_BUILD_MODULE=ON", "-DCMAKE_IGNORE_PREFIX_PATH=/usr", "-DPython_EXECUTABLE=/nonexistent",
                "-DLIBYUV_INCLUDE_DIR=/usr/include", "-DLIBYUV_LIBRARY=/usr/lib/libyuv.so"], "python3.13-dev"),
])
def test_a_missing_build_dependency_names_its_package(tmp_path, missing, cmake_args, package):
    if shutil.which("cmake") is None or shutil.which("pkg-config") is None:
        pytest.skip("needs cmake and pkg-config")
    left_out = {"ffmpeg": {"libavcodec.pc", "libavutil.pc", "libswscale.pc"}, "libyuv": {"libyuv.pc"}}.get(missing, set())
    env = dict(os.environ, PKG_CONFIG_LIBDIR=_pkg_config_dir_without(tmp_path, left_out), PKG_CONFIG_PATH="")
    done = subprocess.run(["cmake", "-S", ROOT, "-B", str(tmp_path / "build"), "-G", "Ninja", *cmake_args],
                          env=env, capture_output=True, text=True, timeout=120)
    message = " ".join(done.stderr.split())
    assert done.returncode != 0 and f"sudo apt-get install {package}" in message, done.stderr
