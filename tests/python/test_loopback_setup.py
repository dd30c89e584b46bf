"""What trelvo says and proposes when no v4l2loopback device can be used, on a made-up system: a
temporary root with sysfs entries, /dev nodes (FIFOs stand in for character devices where the
test only needs "not a character device") and os-release, and a fake `modinfo`."""
import os

import pytest

from trelvo_tools import cli, loopback
from trelvo_tools.relay import Relay, StartFailed

DEBIAN = 'ID=debian\nVERSION_ID="13"\n'


def make_system(root, os_release=DEBIAN, loaded=False, videos=(), nodes=()):
    """videos: (number, name, loopback) sysfs entries; nodes: /dev paths made as regular files."""
    (root / "etc").mkdir(parents=True, exist_ok=True)
    (root / "etc" / "os-release").write_text(os_release)
    if loaded:
        (root / "sys" / "module" / "v4l2loopback").mkdir(parents=True)
    cls = root / "sys" / "class" / "video4linux"
    cls.mkdir(parents=True, exist_ok=True)
    for number, name, is_loopback in videos:
        where = root / "sys" / "devices" / ("virtual" if is_loopback else "pci0000:00/usb1") / "video4linux" / f"video{number}"
        where.mkdir(parents=True)
        (where / "name").write_text(name + "\n")
        if not is_loopback:
            driver = root / "sys" / "bus" / "usb" / "drivers" / "uvcvideo"
            driver.mkdir(parents=True, exist_ok=True)
            (where / "device").mkdir()
            os.symlink(driver, where / "device" / "driver")
        os.symlink(where, cls / f"video{number}")
    (root / "dev").mkdir(exist_ok=True)
    for node in nodes:
        (root / node.lstrip("/")).write_text("")
    return str(root)


def modinfo(found):
    calls = []

    def run(argv):
        calls.append(list(argv))
        return 0 if found else 1
    run.calls = calls
    return run


@pytest.mark.parametrize("system, module_found, state, says", [
    (dict(), False, "not-installed", ["not installed", "sudo apt-get install v4l2loopback-dkms",
                                      loopback.LOAD_COMMAND]),
    (dict(os_release='ID=ubuntu\nID_LIKE=debian\n'), False, "not-installed",
     ["sudo apt-get install v4l2loopback-dkms"]),
    (dict(os_release='ID=fedora\n'), False, "not-installed", ["the distribution's v4l2loopback package"]),
    (dict(), True, "not-loaded", ["installed but not loaded", loopback.LOAD_COMMAND]),
    (dict(loaded=True), True, "no-device", ["loaded but made no device", "sudo modprobe -r v4l2loopback"]),
    # A camera is no loopback device; the loopback device's node is not a character device.
    (dict(loaded=True, videos=[(0, "Integrated Camera", False), (10, "trelvo", True)],
          nodes=["/dev/video10"]), True, "unusable",
     ["/dev/video10 (trelvo): /dev/video10 is not a character device"]),
])
def test_the_diagnosis_names_the_cause_and_the_next_command(tmp_path, system, module_found, state, says):
    run = modinfo(module_found)
    diagnosis = loopback.diagnose(make_system(tmp_path, **system), run)
    assert diagnosis.state == state
    for text in says:
        assert text in diagnosis.text, diagnosis.text
    if "apt-get" not in " ".join(says) and state == "not-installed":
        assert "apt-get" not in diagnosis.text


@pytest.mark.parametrize("value, system, says", [
    ("/dev/video10", dict(), ["--loopback /dev/video10: /dev/video10 does not exist", "not installed"]),
    ("video10", dict(), ["--loopback video10: /dev/video10 does not exist"]),
    ("10", dict(), ["--loopback 10: /dev/video10 does not exist"]),
    ("/dev/video10", dict(nodes=["/dev/video10"]), ["not a character device"]),
])
def test_loopback_option_errors_name_the_option_and_the_cause(tmp_path, value, system, says):
    problem = loopback.check_device(value, root=make_system(tmp_path, **system), run=modinfo(False))
    for text in says:
        assert text in problem
    assert "TRELVOHDCAM_LOOPBACK" not in problem


def test_a_character_device_that_is_no_loopback_device_is_named(tmp_path):
    # /dev/null stands in for a character device sysfs does not list; the test needs a real node.
    root = make_system(tmp_path, loaded=True, videos=[(10, "trelvo", True)])
    os.symlink("/dev/null", tmp_path / "dev" / "video0")
    problem = loopback.check_device("/dev/video0", root=root, run=modinfo(True))
    assert "is not a v4l2loopback device (not a video4linux device)" in problem
    assert "the v4l2loopback devices here: /dev/video10" in problem


def test_setup_steps_install_load_and_persist_only_what_is_missing(tmp_path):
    root = make_system(tmp_path)
    _, steps = loopback.setup_steps(root, modinfo(False))
    assert [s.argv[:2] for s in steps] == [["sudo", "apt-get"], ["sudo", "modprobe"], ["sudo", "tee"], ["sudo", "tee"]]
    assert steps[-1].stdin == f"options v4l2loopback {loopback.MODULE_OPTIONS}\n"
    # Loaded and kept across restarts: nothing left to do.
    root = make_system(tmp_path / "done", loaded=True, videos=[])
    for step in steps[2:]:
        path = tmp_path / "done" / step.argv[2].lstrip("/")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(step.stdin)
    _, steps = loopback.setup_steps(root, modinfo(True))
    assert [s.shell for s in steps] == ["sudo modprobe -r v4l2loopback", loopback.LOAD_COMMAND]


def test_setup_loopback_prints_the_steps_and_runs_nothing_without_run(monkeypatch, capsys, tmp_path):
    monkeypatch.setattr(loopback, "ROOT", make_system(tmp_path))
    ran = []

    class Done:
        returncode = 1

    monkeypatch.setattr(cli.subprocess, "run", lambda argv, **kwargs: ran.append(argv) or Done())
    assert cli.main(["setup-loopback"]) == 0
    out = capsys.readouterr().out
    assert "sudo apt-get install -y v4l2loopback-dkms" in out and loopback.LOAD_COMMAND in out
    assert "setup-loopback --run" in out
    assert ran == [["modinfo", "v4l2loopback"]]  # looked, changed nothing
    # With --run each step is shown, then run; the first failure stops the rest.
    ran.clear()
    assert cli.main(["setup-loopback", "--run"]) == cli.EXIT_FAILED
    out, err = capsys.readouterr()
    assert ran == [["modinfo", "v4l2loopback"], ["sudo", "apt-get", "install", "-y", "v4l2loopback-dkms"]]
    assert "$ sudo apt-get install" in out and "failed (exit status 1)" in err


def test_relay_refuses_a_bad_loopback_before_starting(sims, tmp_path):
    sims("sim://a")
    with pytest.raises(StartFailed, match=r"loopback='/dev/video9999': /dev/video9999 does not exist"):
        Relay("sim://a", loopback="video9999").start()
    with pytest.raises(StartFailed, match="is not a character device"):
        Relay("sim://a", loopback=str(tmp_path)).start()


@pytest.mark.parametrize("holders, says", [
    ({"4242": "chrome"}, "--loopback video10: /dev/video10 is busy, in use by process 4242 (chrome)"),
    ({}, "--loopback video10: /dev/video10 refused 640x480 YUY2"),
])
def test_a_device_that_did_not_take_the_pictures_is_called_busy_or_refusing(tmp_path, holders, says):
    root = make_system(tmp_path, loaded=True, videos=[(10, "trelvo", True)])
    for pid, name in holders.items():
        (tmp_path / "proc" / pid / "fd").mkdir(parents=True)
        (tmp_path / "proc" / pid / "comm").write_text(name + "\n")
        os.symlink("/dev/video10", tmp_path / "proc" / pid / "fd" / "3")
    assert loopback.refusal("video10", 640, 480, "YUY2", root=root).startswith(says)
