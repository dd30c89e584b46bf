"""The kernel check's checks, run as root inside the VM that scripts/check-kernel.sh boots: trelvo
against the kernel's vivid capture driver and a v4l2loopback device read by ffmpeg, GStreamer and
(with TRELVO_CHECK_BROWSER=1) Chromium. One PASS/FAIL line per check; the exit status is the
number of failed checks (capped)."""
import glob
import os
import re
import signal
import subprocess
import sys
import time
from typing import List, Optional, Sequence, Tuple

from trelvo_tools import vcam
from trelvo_tools.relay import OUTPUT_TYPES, Relay

HERE = os.path.dirname(os.path.abspath(__file__))
LOOPBACK = "/dev/video10"
WIDTH, HEIGHT = 640, 480
# vivid's default pattern, left to right: 75% colour bars (white, yellow, cyan, green, magenta,
# red, blue, black) in full-range RGB.
BARS = [(191, 191, 191), (191, 191, 0), (0, 191, 191), (0, 191, 0),
        (191, 0, 191), (191, 0, 0), (0, 0, 191), (0, 0, 0)]
# Two YUV conversions with limited-range rounding on the way.
TOLERANCE = 24
RED, BLUE = (255, 0, 0), (0, 0, 255)
# A relay's first picture under software emulation; everything else waits far less.
START_WAIT = 40.0

failures: List[str] = []
_last_report = time.monotonic()


def report(name: str, ok: bool, detail: str = "") -> bool:
    """One line per check, with the seconds since the previous one."""
    global _last_report
    now = time.monotonic()
    print(f"{'PASS' if ok else 'FAIL'}: {name}" + (f": {detail}" if detail else "")
          + f" [{now - _last_report:.1f} s]", flush=True)
    _last_report = now
    if not ok:
        failures.append(name)
    return ok


def run(args: Sequence[str], timeout: float = 60.0, env: Optional[dict] = None) -> subprocess.CompletedProcess:
    return subprocess.run(list(args), capture_output=True, timeout=timeout, env=env)


def load_vivid(n_devs: int) -> List[Tuple[str, str]]:
    """(Re)loads vivid; returns (node, by-path id) of each of its video capture nodes."""
    # udev may still hold a node open from the last bind, which keeps the module in use.
    for _ in range(5):
        run(["udevadm", "settle"])
        if run(["modprobe", "-r", "vivid"]).returncode == 0:
            break
        time.sleep(0.5)
    run(["modprobe", "vivid", f"n_devs={n_devs}"])
    # settle alone can return before udev has even seen the new devices' events.
    run(["udevadm", "trigger", "--action=add", "--subsystem-match=video4linux", "--settle"])
    nodes = []
    for sys_dir in sorted(glob.glob("/sys/class/video4linux/video*")):
        with open(os.path.join(sys_dir, "name")) as f:
            if not re.fullmatch(r"vivid-\d+-vid-cap", f.read().strip()):
                continue
        node = "/dev/" + os.path.basename(sys_dir)
        links = [l for l in glob.glob("/dev/v4l/by-path/*") if os.path.realpath(l) == node]
        nodes.append((node, links[0] if links else ""))
    return sorted(nodes, key=lambda n: n[1])


def pixel(rgb: bytes, width: int, x: int, y: int) -> Tuple[int, int, int]:
    i = (y * width + x) * 3
    return rgb[i], rgb[i + 1], rgb[i + 2]


def bars_error(rgb: bytes, width: int, height: int) -> Optional[str]:
    """None when the centres of the eight bars have their colours, else what differs."""
    if len(rgb) != width * height * 3:
        return f"{len(rgb)} bytes, not a {width}x{height} RGB picture"
    for i, want in enumerate(BARS):
        got = pixel(rgb, width, (2 * i + 1) * width // 16, height // 2)
        if max(abs(a - b) for a, b in zip(got, want)) > TOLERANCE:
            return f"bar {i + 1} is {got}, not {want}"
    return None


def colour_error(rgb: bytes, width: int, height: int, want: Tuple[int, int, int]) -> Optional[str]:
    got = pixel(rgb, width, width // 2, height // 2)
    return None if max(abs(a - b) for a, b in zip(got, want)) <= TOLERANCE else f"{got}, not {want}"


def ffmpeg_picture(frames: int = 5) -> Tuple[Optional[bytes], str]:
    """The last of the first frames ffmpeg reads from the loopback, as RGB, and its messages."""
    done = run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "v4l2", "-i", LOOPBACK,
                "-frames:v", str(frames), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"])
    size = WIDTH * HEIGHT * 3
    if done.returncode != 0 or len(done.stdout) < size:
        return None, done.stderr.decode(errors="replace").strip()[-300:] or f"{len(done.stdout)} bytes"
    return done.stdout[-size:], ""


def gstreamer_env() -> dict:
    """GStreamer with just the plugins the pipeline uses: a fresh registry of all of them takes
    half a minute under emulation."""
    plugins = "/tmp/gst-plugins"
    if not os.path.isdir(plugins):
        os.mkdir(plugins)
        for lib in glob.glob("/usr/lib/*/gstreamer-1.0/libgst*.so"):
            if os.path.basename(lib) in ("libgstvideo4linux2.so", "libgstvideoconvertscale.so",
                                         "libgstvideoconvert.so", "libgstcoreelements.so"):
                os.symlink(lib, os.path.join(plugins, os.path.basename(lib)))
    return dict(os.environ, GST_PLUGIN_SYSTEM_PATH_1_0=plugins, GST_REGISTRY_1_0="/tmp/gst-registry.bin")


def gstreamer_picture(frames: int = 5) -> Tuple[Optional[bytes], str]:
    out = "/tmp/gst.rgb"
    done = run(["gst-launch-1.0", "-q", "v4l2src", f"device={LOOPBACK}", f"num-buffers={frames}", "!",
                "videoconvert", "!", "video/x-raw,format=RGB", "!", "filesink", f"location={out}"],
               env=gstreamer_env())
    data = open(out, "rb").read() if os.path.exists(out) else b""
    size = WIDTH * HEIGHT * 3
    if done.returncode != 0 or len(data) < size:
        return None, (done.stderr + done.stdout).decode(errors="replace").strip()[-300:] or f"{len(data)} bytes"
    return data[-size:], ""


def check_reader(name: str, got: Tuple[Optional[bytes], str]) -> bool:
    picture, why = got
    return report(name, picture is not None and bars_error(picture, WIDTH, HEIGHT) is None,
                  why if picture is None else (bars_error(picture, WIDTH, HEIGHT) or ""))


def wait_for_picture(reader: vcam.VirtualCameraReader, timeout: float,
                     after: Optional[int] = None) -> Optional[vcam.Picture]:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        picture = reader.read(timeout=min(1.0, max(0.01, deadline - time.monotonic())), after=after)
        if picture is not None and picture.state == vcam.STATE_LIVE:
            return picture
    return None


def start_cli_relay(device: str, *extra: str) -> subprocess.Popen:
    return subprocess.Popen(["trelvo", "relay", "--device", device, "--width", str(WIDTH), "--height",
                             str(HEIGHT), "--seconds", "900", *extra],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)


def stop_cli_relay(relay: subprocess.Popen) -> str:
    if relay.poll() is None:
        relay.send_signal(signal.SIGINT)
    try:
        out, _ = relay.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        relay.kill()
        out, _ = relay.communicate()
    return out.decode(errors="replace")


def check_list(vivid_node: str, vivid_id: str) -> None:
    """a: while a relay writes the loopback, `trelvo list` shows vivid once by its by-path id
    and none of the loopback's or vivid's other nodes."""
    done = run(["trelvo", "list"])
    out = done.stdout.decode(errors="replace")
    ids = re.findall(r"^\s+id: (\S+)$", out, re.M)
    others = []
    for sys_dir in glob.glob("/sys/class/video4linux/*"):
        node = "/dev/" + os.path.basename(sys_dir)
        if node == vivid_node:
            continue
        names = {node} | {l for l in glob.glob("/dev/v4l/by-*/*") if os.path.realpath(l) == node}
        others += [i for i in ids if i in names]
    report("a. trelvo list: vivid once by its by-path id, no loopback or other vivid node",
           done.returncode == 0 and ids.count(vivid_id) == 1 and not others and vivid_id.startswith("/dev/v4l/by-path/"),
           f"ids listed: {ids}" + (f"; not cameras: {others}" if others else ""))


def check_first_relay(device: str, vivid_node: str, reader: vcam.VirtualCameraReader) -> None:
    """b (and a while it runs): YUYV in, the CLI's default output (YUY2) into the loopback."""
    relay = start_cli_relay(device, "--subtype", "YUY2")
    try:
        picture = wait_for_picture(reader, START_WAIT)
        if not report("b. relay vivid YUYV 640x480 with the CLI's defaults", picture is not None
                      and (picture.width, picture.height, picture.type) == (WIDTH, HEIGHT, vcam.TYPE_YUY2),
                      "no picture" if picture is None else f"{picture.width}x{picture.height} type {picture.type}"):
            return
        check_list(vivid_node, device)
        check_reader("b. ffmpeg -f v4l2 reads the loopback: colour bars", ffmpeg_picture())
        view = run(["trelvo", "view", "--out", "/tmp/view.png"])
        text = (view.stdout + view.stderr).decode(errors="replace").strip()
        report("b. trelvo view", view.returncode == 0 and f"{WIDTH}x{HEIGHT}" in text, text)
        check_reader("b. GStreamer v4l2src reads the loopback: colour bars", gstreamer_picture())
    finally:
        out = stop_cli_relay(relay)
    print("  relay said: " + " | ".join(out.strip().splitlines()[-2:]), flush=True)


def check_again(device: str, reader: vcam.VirtualCameraReader) -> None:
    """c: more relays on the same loopback device without reloading the module."""
    for number, subtype, out_type in ((2, "NV12", vcam.TYPE_BGR24), (3, "I420", vcam.TYPE_YUY2)):
        name = f"c. relay {number} on the same loopback ({subtype} in, {OUTPUT_TYPES[out_type]} out): ffmpeg reads the colour bars"
        relay = Relay(device, width=WIDTH, height=HEIGHT, subtype=subtype, output_type=out_type, loopback=LOOPBACK)
        try:
            relay.start()
        except Exception as failure:  # the check reports any refusal as its failure
            report(name, False, f"{type(failure).__name__}: {failure}")
            continue
        try:
            if wait_for_picture(reader, START_WAIT) is None:
                report(name, False, "no picture reached the virtual camera")
                continue
            check_reader(name, ffmpeg_picture())
        finally:
            relay.stop()


def check_browser(device: str, reader: vcam.VirtualCameraReader) -> None:
    """Chromium (headless, camera permission granted) finds "trelvo" among its cameras and reads
    10 frames of the bars from it (tests/kernel/browser.html, served on 127.0.0.1)."""
    import http.server
    import json
    import threading

    name = "browser: Chromium lists \"trelvo\" and getUserMedia on it shows the colour bars"
    page = open(os.path.join(HERE, "browser.html"), "rb").read()
    results: List[dict] = []
    got = threading.Event()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self) -> None:
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(page)

        def do_POST(self) -> None:
            results.append(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
            self.send_response(204)
            self.end_headers()
            got.set()

        def log_message(self, *args: object) -> None:
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    relay = Relay(device, width=WIDTH, height=HEIGHT, subtype="YUY2", loopback=LOOPBACK)
    browser = None
    try:
        relay.start()
        if wait_for_picture(reader, START_WAIT) is None:
            report(name, False, "no picture reached the virtual camera")
            return
        browser = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--use-fake-ui-for-media-stream", "--disable-gpu",
             "--no-first-run", "--user-data-dir=/tmp/chromium", f"http://127.0.0.1:{server.server_port}/"],
            stdout=subprocess.DEVNULL, stderr=open("/tmp/chromium.log", "wb"))
        if not got.wait(300):
            tail = open("/tmp/chromium.log", errors="replace").read().strip().splitlines()[-8:]
            report(name, False, "the page reported nothing within 300 s; Chromium said: " + " | ".join(tail))
            return
        result = results[0]
        print(f"  browser saw: {json.dumps(result)}", flush=True)
        bad = [i + 1 for i, (have, want) in enumerate(zip(result.get("bars") or [], BARS))
               if max(abs(a - b) for a, b in zip(have, want)) > TOLERANCE]
        ok = (result.get("error") is None and any("trelvo" in l for l in result.get("labels", [])) and result.get("frames", 0) >= 10
              and result.get("size") == [WIDTH, HEIGHT] and len(result.get("bars") or []) == 8 and not bad)
        report(name, ok, result.get("error") or (f"bars {bad} differ" if bad else f"{result.get('frames')} frames"))
    except Exception as failure:
        report(name, False, f"{type(failure).__name__}: {failure}")
    finally:
        if browser is not None:
            browser.kill()
            browser.wait()
        relay.stop()
        server.shutdown()


def vivid_sysfs(action: str) -> None:
    with open(f"/sys/bus/platform/drivers/vivid/{action}", "w") as f:
        f.write("vivid.0")


def check_unplug(device: str, reader: vcam.VirtualCameraReader) -> None:
    """d: vivid unbound and bound again during a relay, then unbound for good."""
    relay = start_cli_relay(device, "--subtype", "YUY2")
    name = "d. unbind/bind during a relay: reconnected, new pictures within 6 s of bind"
    try:
        if wait_for_picture(reader, START_WAIT) is None:
            report(name, False, "the relay delivered no picture")
            return
        vivid_sysfs("unbind")
        time.sleep(1.5)
        before = reader.info()
        vivid_sysfs("bind")
        bound = time.monotonic()
        after = None
        while before is not None and time.monotonic() < bound + 6.0:
            after = wait_for_picture(reader, bound + 6.0 - time.monotonic())
            if after is None or after.timestamp > before.timestamp:
                break
        took = time.monotonic() - bound
        ok = after is not None and before is not None and after.timestamp > before.timestamp
        report(name, ok, f"new picture {took:.1f} s after bind" if ok else "no new picture within 6 s")
        run(["udevadm", "settle"])
        wait_for_picture(reader, 3.0)
        vivid_sysfs("unbind")
        gone = time.monotonic()
        # The relay closes the channel once it has seen its session end; the interpreter's exit
        # after that is no part of the session. The session gives up after its two 5 s
        # reconnection waits; the relay looks once a second, and software emulation adds its share.
        while reader.state == vcam.STATE_LIVE and relay.poll() is None and time.monotonic() < gone + 15:
            time.sleep(0.1)
        ended = time.monotonic() - gone
        try:
            relay.wait(timeout=15)
        except subprocess.TimeoutExpired:
            pass
        report("d. unbind for good: the session ends by itself within 12 s", relay.poll() == 1 and ended <= 12.0,
               f"ended after {ended:.1f} s, the relay exited with status {relay.poll()}")
    finally:
        out = stop_cli_relay(relay)
        try:
            vivid_sysfs("bind")
        except OSError:
            pass
    wanted = ["ReadSample failed", "Try reconnect device 0...", "Reconnect device 0 success"]
    report("d. the relay reports the loss and the reconnection", all(w in out for w in wanted),
           "missing: " + ", ".join(w for w in wanted if w not in out) if not all(w in out for w in wanted) else "")


def set_pattern(node: str, label: str) -> bool:
    """Sets vivid's test pattern by its menu label (its numbering differs between kernels)."""
    listing = run(["v4l2-ctl", "-d", node, "-L"]).stdout.decode(errors="replace")
    menu = listing.split("test_pattern", 1)[-1]
    match = re.search(r"^\s+(\d+): " + re.escape(label) + r"$", menu, re.M)
    return match is not None and run(["v4l2-ctl", "-d", node, "-c", f"test_pattern={match.group(1)}"]).returncode == 0


def check_switch(reader: vcam.VirtualCameraReader) -> None:
    """e: two vivid cameras, solid red and solid blue; every switch flips the colour."""
    name = "e. Relay(first, second).switch() flips red/blue at the virtual camera"
    import trelvo

    cams = load_vivid(2)
    # Both vivid instances hang off one platform device, so udev gives them one by-path name:
    # the camera ids are the ones the module lists (a by-path link, else the node).
    listed = [c.device_id for c in trelvo.VideoCapture().enumerate_cameras()]
    ids = [next((i for i in listed if os.path.realpath(i) == node), "") for node, _ in cams]
    if len(cams) != 2 or not all(ids) or ids[0] == ids[1]:
        report(name, False, f"vivid n_devs=2 gave {cams}, the module lists {listed}")
        return
    if not (set_pattern(cams[0][0], "100% Red") and set_pattern(cams[1][0], "100% Blue")):
        report(name, False, "vivid's test_pattern control has no 100% Red/100% Blue")
        return
    print(f"  two cameras: {ids}", flush=True)
    relay = Relay(ids[0], ids[1], width=WIDTH, height=HEIGHT, subtype="YUY2", loopback=LOOPBACK)
    seen = []
    try:
        relay.start()
        picture = wait_for_picture(reader, START_WAIT)
        for switch in range(5):
            want = RED if switch % 2 == 0 else BLUE
            # Pictures already on their way may still show the camera before the switch.
            deadline = time.monotonic() + 3.0
            error = "no picture"
            while picture is not None and time.monotonic() < deadline:
                error = colour_error(vcam.to_rgb(picture), picture.width, picture.height, want)
                if error is None:
                    break
                picture = wait_for_picture(reader, 1.0, after=picture.sequence)
            seen.append("red" if want == RED else "blue")
            if error is not None:
                report(name, False, f"after {switch} switch(es): {error}")
                return
            if switch < 4:
                relay.switch()
                picture = wait_for_picture(reader, 3.0, after=picture.sequence)
    except Exception as failure:
        report(name, False, f"{type(failure).__name__}: {failure}")
        return
    finally:
        relay.stop()
    report(name, True, " -> ".join(seen))


def main() -> int:
    started = time.monotonic()

    def step(label: str, since: float) -> float:
        now = time.monotonic()
        print(f"  [{label}: {now - since:.1f} s]", flush=True)
        return now

    t = started
    for args in (["modprobe", "v4l2loopback", "devices=1", "video_nr=10", "card_label=trelvo", "exclusive_caps=1"],):
        done = run(args)
        if done.returncode != 0:
            report("v4l2loopback loads", False, done.stderr.decode(errors="replace").strip())
            return 1
    cams = load_vivid(1)
    if not report("vivid loads with a by-path id", len(cams) == 1 and bool(cams[0][1]), f"{cams}"):
        return 1
    node, device = cams[0]
    t = step("drivers loaded", t)
    reader = vcam.VirtualCameraReader()
    check_first_relay(device, node, reader)
    t = step("a, b", t)
    check_again(device, reader)
    t = step("c", t)
    if os.environ.get("TRELVO_CHECK_BROWSER") == "1":
        check_browser(device, reader)
        t = step("browser", t)
    check_unplug(device, reader)
    t = step("d", t)
    check_switch(reader)
    t = step("e", t)
    print(f"  [checks: {time.monotonic() - started:.1f} s; {len(failures)} failed]", flush=True)
    return min(len(failures), 100)


if __name__ == "__main__":
    sys.exit(main())
