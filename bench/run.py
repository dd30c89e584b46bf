"""trelvo benchmark: generates its inputs, measures trelvo and its peers on the same frames,
interleaved, and writes a report.

    python bench/run.py [--smoke] [--reps N] [--out DIR] [--tools DIR] [--peer-python PY]

--tools: where the bench script built floor_decode, libdelivery_poller.so and stage_bench
(rows needing a missing tool are left out). --peer-python: an interpreter with OpenCV and
matplotlib (OpenCV rows and the PNG are left out without it). --smoke: 1280x720 only, a few
frames, one repetition, trelvo rows only.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


# --- inputs -----------------------------------------------------------------------------------

def generate_inputs(directory: str, sizes, frames: int, raw_frames: int, kinds) -> dict:
    """ffmpeg's moving testsrc2 pattern, the frame index coded into each picture's top rows, then
    encoded as MJPEG 4:2:0 / 4:2:2 (concatenated JPEGs) and as raw NV12 / YUY2 frames."""
    import numpy as np

    os.makedirs(directory, exist_ok=True)
    inputs = {}
    encoders = {
        "mjpeg420": ("MJPEG", ["-c:v", "mjpeg", "-pix_fmt", "yuvj420p", "-q:v", "3", "-f", "mjpeg"], frames),
        "mjpeg422": ("MJPEG", ["-c:v", "mjpeg", "-pix_fmt", "yuvj422p", "-q:v", "3", "-f", "mjpeg"], frames),
        "nv12": ("NV12", ["-pix_fmt", "nv12", "-f", "rawvideo"], raw_frames),
        "yuy2": ("YUY2", ["-pix_fmt", "yuyv422", "-f", "rawvideo"], raw_frames),
    }
    for width, height in sizes:
        wanted = {k: v for k, v in encoders.items() if k in kinds}
        paths = {k: os.path.join(directory, f"{k}_{width}x{height}.{'mjpeg' if v[0] == 'MJPEG' else 'raw'}")
                 for k, v in wanted.items()}
        stamp = os.path.join(directory, f"stamp_{width}x{height}_{frames}_{raw_frames}_{'_'.join(sorted(wanted))}")
        if not os.path.exists(stamp):
            source = subprocess.Popen(
                ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "lavfi",
                 "-i", f"testsrc2=size={width}x{height}:rate=30", "-frames:v", str(frames),
                 "-f", "rawvideo", "-pix_fmt", "bgr24", "-"], stdout=subprocess.PIPE)
            sinks = {k: subprocess.Popen(
                ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "rawvideo",
                 "-pix_fmt", "bgr24", "-s", f"{width}x{height}", "-r", "30", "-i", "-"] + v[1] + [paths[k]],
                stdin=subprocess.PIPE) for k, v in wanted.items()}
            size = width * height * 3
            index = 0
            while True:
                data = source.stdout.read(size)
                if len(data) < size:
                    break
                picture = np.frombuffer(data, np.uint8).reshape(height, width, 3).copy()
                common.draw_frame_code(picture, index)
                for k, sink in sinks.items():
                    if sink.stdin and index < wanted[k][2]:
                        sink.stdin.write(picture.tobytes())
                        if index + 1 == wanted[k][2]:
                            sink.stdin.close()
                            sink.stdin = None
                index += 1
            source.wait()
            for sink in sinks.values():
                if sink.stdin:
                    sink.stdin.close()
                if sink.wait() != 0:
                    raise RuntimeError("ffmpeg could not encode the inputs")
            open(stamp, "w").close()
        for k, v in wanted.items():
            entry = {"name": f"{k} {width}x{height}", "kind": k, "subtype": v[0], "width": width,
                     "height": height, "path": paths[k]}
            if v[0] == "MJPEG":
                one = paths[k] + ".first"
                if not os.path.exists(one):
                    with open(paths[k], "rb") as f:
                        first = common.split_jpegs(f.read())[0]
                    with open(one, "wb") as f:
                        f.write(first)
                entry["first"] = one
                with open(paths[k], "rb") as f:
                    entry["frames"] = len(common.split_jpegs(f.read()))
            else:
                frame = common.FRAME_BYTES[v[0]](width, height)
                entry["frames"] = os.path.getsize(paths[k]) // frame
                one = paths[k] + ".first"
                if not os.path.exists(one):
                    with open(paths[k], "rb") as f, open(one, "wb") as g:
                        g.write(f.read(frame))
                entry["first"] = one
            inputs[entry["name"]] = entry
    return inputs


# --- measuring ----------------------------------------------------------------------------------

def run_with_rusage(argv, timeout=300) -> tuple:
    """(cpu ns, wall ns, stdout) of one child process, from wait4's rusage."""
    t0 = time.monotonic_ns()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out = proc.stdout.read()
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic_ns() - t0
    if proc.returncode != 0:
        raise RuntimeError(f"{os.path.basename(argv[0])} failed: {err.decode(errors='replace')[-400:]}")
    return int((usage.ru_utime + usage.ru_stime) * 1e9), wall, out.decode()


def startup_subtracted(full_argv, one_argv, pictures) -> dict:
    """CPU per picture of a command-line tool, its start-up cost (a 1-picture run) subtracted."""
    cpu_full, wall_full, _ = run_with_rusage(full_argv)
    cpu_one, wall_one, _ = run_with_rusage(one_argv)
    n = max(pictures - 1, 1)
    return {"cpu_per_picture_ns": max(cpu_full - cpu_one, 0) / n,
            "pictures_per_s": n / max((wall_full - wall_one) / 1e9, 1e-9)}


def ffmpeg_argv(entry, path, out_format, frames=None):
    argv = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-threads", "1"]
    if entry["subtype"] == "MJPEG":
        argv += ["-f", "mjpeg"]
    else:
        pix = "nv12" if entry["subtype"] == "NV12" else "yuyv422"
        argv += ["-f", "rawvideo", "-pix_fmt", pix, "-s", f"{entry['width']}x{entry['height']}"]
    argv += ["-i", path, "-filter_threads", "1", "-pix_fmt", out_format, "-f", "rawvideo", "-y", "/dev/null"]
    return argv


def gst_argv(path, out_format):
    return ["gst-launch-1.0", "-q", "filesrc", f"location={path}", "!", "jpegparse", "!", "jpegdec", "!",
            "videoconvert", "n-threads=1", "!", f"video/x-raw,format={out_format}", "!", "fakesink", "sync=false"]


def trelvo_row(entry, out_type, seconds, paced, tools, warmup=0.5) -> dict:
    args = {"input": entry["path"], "subtype": entry["subtype"], "width": entry["width"],
            "height": entry["height"], "type": out_type, "paced": paced, "seconds": seconds,
            "warmup": warmup, "channel": f"/trelvo-bench-{os.getpid()}-{uuid.uuid4().hex[:8]}",
            "poller": os.path.join(tools, "libdelivery_poller.so") if tools else ""}
    proc = subprocess.run([sys.executable, common.here("relay_worker.py"), json.dumps(args)],
                          capture_output=True, text=True, timeout=seconds + 180)
    lines = [l for l in proc.stdout.splitlines() if l.startswith("{")]
    if proc.returncode != 0 or not lines:
        raise RuntimeError(f"relay worker failed: {proc.stdout[-300:]} {proc.stderr[-600:]}")
    r = json.loads(lines[-1])
    sent = max(r["pictures_sent"], 1)
    lat = sorted(r["latencies_ns"])
    return {
        "cpu_per_picture_ns": r["cpu_ns"] / sent,
        "cpu_per_s_ns": r["cpu_ns"] / r["seconds"],
        "pictures_per_s": r["pictures_sent"] / r["seconds"],
        # Pictures in flight at the window's edges can make the difference slightly negative.
        "dropped": max(r["samples_delivered"] - r["pictures_sent"], 0),
        "dropped_share": max(r["samples_delivered"] - r["pictures_sent"], 0) / max(r["samples_delivered"], 1),
        "latency_p50_ns": lat[len(lat) // 2] if lat else None,
        "latency_p99_ns": lat[min(len(lat) - 1, int(len(lat) * 0.99))] if lat else None,
        "latency_samples": len(lat),
        "peak_rss_added": r["peak_rss_added"],
        "peak_rss": r["peak_rss"],
        "poller_cpu_share": r["poller_cpu_ns"] / max(r["cpu_ns"] + r["poller_cpu_ns"], 1),
    }


# --- report ---------------------------------------------------------------------------------------

def summarise(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"median": statistics.median(values), "min": min(values), "n": len(values)}


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def fmt_us(ns):
    return "—" if ns is None else f"{ns / 1000:.0f}"


def build_report(results, stages, meta) -> str:
    """Markdown with the tables; also printed."""
    lines = [f"# trelvo benchmark", "",
             f"- date: {meta['date']}", f"- CPU: {meta['cpu']} ({meta['cores']} logical cores)",
             f"- repetitions per row: {meta['reps']} (median, min); MJPEG inputs {meta['frames']} frames, "
             f"raw inputs {meta['raw_frames']} frames; trelvo window {meta['seconds']} s per run",
             f"- mode: {'smoke' if meta['smoke'] else 'full'}", ""]
    lines += ["## CPU per picture (µs, median / min) and ratios", "",
              "| input | row | CPU/picture median | min | pictures/s | dropped % | latency p50 ms | "
              "latency p99 ms | peak RSS added MB | trelvo ÷ best peer | trelvo ÷ floor |",
              "|---|---|---|---|---|---|---|---|---|---|---|"]
    headline = []
    for input_name, rows in results.items():
        peers = {k: v for k, v in rows.items() if not k.startswith("trelvo") and k != "floor (libavcodec decode)"}
        floor = rows.get("floor (libavcodec decode)")
        for row_name, runs in rows.items():
            cpu = summarise([r["cpu_per_picture_ns"] for r in runs])
            if cpu is None:
                continue
            pps = summarise([r.get("pictures_per_s") for r in runs])
            drop = summarise([r.get("dropped_share") for r in runs])
            p50 = summarise([r.get("latency_p50_ns") for r in runs])
            p99 = summarise([r.get("latency_p99_ns") for r in runs])
            rss = summarise([r.get("peak_rss_added") for r in runs])
            ratio_peer = ratio_floor = ""
            if row_name.startswith("trelvo"):
                out = "bgr" if "type 0" in row_name else "yuy2"
                same = {k: summarise([r["cpu_per_picture_ns"] for r in v]) for k, v in peers.items()
                        if k.endswith(out)}
                same = {k: v for k, v in same.items() if v}
                if same:
                    best_name, best = min(same.items(), key=lambda kv: kv[1]["median"])
                    ratio_peer = f"{cpu['median'] / best['median']:.2f} ({best_name})"
                    headline.append((input_name, row_name, cpu["median"] / best["median"], best_name))
                fl = summarise([r["cpu_per_picture_ns"] for r in floor]) if floor else None
                if fl:
                    ratio_floor = f"{cpu['median'] / fl['median']:.2f}"
            lines.append(
                f"| {input_name} | {row_name} | {fmt_us(cpu['median'])} | {fmt_us(cpu['min'])} | "
                f"{'' if not pps else f'{pps['median']:.0f}'} | "
                f"{'' if not drop else f'{100 * drop['median']:.1f}'} | "
                f"{'' if not p50 else f'{p50['median'] / 1e6:.1f}'} | "
                f"{'' if not p99 else f'{p99['median'] / 1e6:.1f}'} | "
                f"{'' if not rss else f'{rss['median'] / 2**20:.1f}'} | {ratio_peer} | {ratio_floor} |")
    if meta.get("paced"):
        lines += ["", "## Paced at 30 fps (CPU per second of wall time)", "",
                  "| input | row | CPU ms per s median | min | pictures/s | latency p50 ms | latency p99 ms |",
                  "|---|---|---|---|---|---|---|"]
        for (input_name, row_name), runs in meta["paced"].items():
            c = summarise([r["cpu_per_s_ns"] for r in runs])
            pps = summarise([r["pictures_per_s"] for r in runs])
            p50 = summarise([r.get("latency_p50_ns") for r in runs])
            p99 = summarise([r.get("latency_p99_ns") for r in runs])
            lines.append(f"| {input_name} | {row_name} | {c['median'] / 1e6:.0f} | {c['min'] / 1e6:.0f} | "
                         f"{pps['median']:.1f} | {'' if not p50 else f'{p50['median'] / 1e6:.1f}'} | "
                         f"{'' if not p99 else f'{p99['median'] / 1e6:.1f}'} |")
    if stages:
        names = ["decode", "rgb_conversion", "queue_copy", "yuy2_conversion", "send"]
        lines += ["", "## Where trelvo's time goes (probes build; µs per picture sent, wall time inside each stage)",
                  "", "| input | output | " + " | ".join(names) + " | sum | pictures/s |",
                  "|---|---|" + "---|" * (len(names) + 2)]
        for (input_name, out_type), s in stages.items():
            sent = max(s["pictures_sent"], 1)
            per = [s["stages"][n]["ns"] / sent for n in names]
            lines.append(f"| {input_name} | type {out_type} | " + " | ".join(fmt_us(p) for p in per) +
                         f" | {fmt_us(sum(per))} | {s['pictures_sent'] / s['seconds']:.0f} |")
    if headline:
        lines += ["", "## Headline: trelvo CPU per picture ÷ best peer (same input, same output)", ""]
        for input_name, row_name, ratio, best in headline:
            lines.append(f"- {input_name}, {row_name}: {ratio:.2f} × {best}")
    lines += ["", "Notes: " + meta["notes"], ""]
    return "\n".join(lines)


NOTES = (
    "trelvo rows run the installed module in a fresh process per run: a simulated camera serves the "
    "frames unpaced (or paced at 30 fps), the relay writes the virtual camera, a reader process reads "
    "the channel. CPU = user+sys of the relay process over a window after warm-up (camera serving "
    "included: the simulated camera copies each frame into a sample), minus the delivery poller's own "
    "thread, divided by the pictures the virtual camera took (scSendFrame successes). Dropped = samples "
    "the camera delivered in the window minus pictures sent. Latency: from the moment a sample was "
    "delivered (a poller thread samples the camera's delivered-sample counter every 0.1 ms) to the "
    "channel's time stamp written inside scSendFrame, matched by the frame number coded in the picture; "
    "only pictures the reader saw are counted. Peak RSS added = peak RSS during the run minus RSS after "
    "the camera was set up (the served frames excluded). Peers: ffmpeg CLI with -threads 1 and the "
    "GStreamer pipeline (jpegdec, videoconvert n-threads=1, fakesink) as processes, CPU from wait4, a "
    "1-picture run subtracted for start-up; OpenCV and the floor (libavcodec MJPEG decode alone, one "
    "thread) time their loop in-process. On a shared 2-core machine the trelvo relay's two busy threads "
    "(the output worker polls with yields) compete with the reader process, so absolute figures are noisy; "
    "the ratios come from interleaved runs.")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--smoke", action="store_true")
    ap.add_argument("--reps", type=int)
    ap.add_argument("--seconds", type=float)
    ap.add_argument("--paced-seconds", type=float)
    ap.add_argument("--out", default=common.here("results"))
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "bench", "inputs"))
    ap.add_argument("--tools", default=os.path.join(ROOT, "build", "bench", "bin"))
    ap.add_argument("--peer-python", default="")
    ap.add_argument("--no-peers", action="store_true")
    a = ap.parse_args()

    smoke = a.smoke
    reps = a.reps or (1 if smoke else 5)
    seconds = a.seconds or (1.0 if smoke else 1.5)
    paced_seconds = a.paced_seconds or (0 if smoke else 20.0)
    frames, raw_frames = (12, 12) if smoke else (300, 60)
    sizes = [(1280, 720)] if smoke else [(1280, 720), (1920, 1080)]
    kinds = ["mjpeg420", "nv12"] if smoke else ["mjpeg420", "mjpeg422", "nv12", "yuy2"]
    peers = not (smoke or a.no_peers)
    tools = a.tools if os.path.isdir(a.tools) else ""
    has = lambda name: bool(tools) and os.path.exists(os.path.join(tools, name))  # noqa: E731

    print(f"== generating inputs in {a.work}", flush=True)
    inputs = generate_inputs(os.path.join(a.work, "smoke" if smoke else "full"), sizes, frames, raw_frames, kinds)

    results = {name: {} for name in inputs}
    paced = {}

    def add(input_name, row, value):
        results[input_name].setdefault(row, []).append(value)

    def attempt(input_name, row, fn):
        try:
            add(input_name, row, fn())
        except Exception as e:  # a peer that is not installed or fails: the row is left out
            print(f"   {row} on {input_name}: {e}", flush=True)

    have_ffmpeg, have_gst = shutil.which("ffmpeg"), shutil.which("gst-launch-1.0")
    for rep in range(reps):
        print(f"== repetition {rep + 1}/{reps}", flush=True)
        for name, entry in inputs.items():
            print(f"   {name}", flush=True)
            for out_type in (0, 1):
                add(name, f"trelvo type {out_type} {'bgr' if out_type == 0 else 'yuy2'}",
                    trelvo_row(entry, out_type, seconds, False, tools))
            if not peers:
                continue
            n = entry["frames"]
            if have_ffmpeg:
                for out, pix in (("bgr", "bgr24"), ("yuy2", "yuyv422")):
                    attempt(name, f"ffmpeg {out}", lambda: startup_subtracted(
                        ffmpeg_argv(entry, entry["path"], pix), ffmpeg_argv(entry, entry["first"], pix), n))
            if entry["subtype"] != "MJPEG":
                continue
            if have_gst:
                for out, fmt in (("bgr", "BGR"), ("yuy2", "YUY2")):
                    attempt(name, f"gstreamer {out}", lambda: startup_subtracted(
                        gst_argv(entry["path"], fmt), gst_argv(entry["first"], fmt), n))
            if a.peer_python:
                for out in ("bgr", "yuy2"):
                    def opencv():
                        _, _, text = run_with_rusage([a.peer_python, common.here("opencv_worker.py"),
                                                      entry["path"], out])
                        r = json.loads(text.strip().splitlines()[-1])
                        return {"cpu_per_picture_ns": r["cpu_ns"] / r["pictures"],
                                "pictures_per_s": r["pictures"] / (r["wall_ns"] / 1e9)}
                    attempt(name, f"opencv {out}", opencv)
            if has("floor_decode"):
                def floor():
                    _, _, text = run_with_rusage([os.path.join(tools, "floor_decode"), entry["path"]])
                    r = json.loads(text.strip().splitlines()[-1])
                    return {"cpu_per_picture_ns": r["cpu_ns"] / r["pictures"],
                            "pictures_per_s": r["pictures"] / (r["wall_ns"] / 1e9)}
                attempt(name, "floor (libavcodec decode)", floor)
        if paced_seconds > 0:
            entry = inputs.get("mjpeg420 1280x720") or next(iter(inputs.values()))
            for out_type in (0, 1):
                print(f"   paced 30 fps, {entry['name']}, type {out_type}", flush=True)
                paced.setdefault((entry["name"], f"trelvo type {out_type}"), []).append(
                    trelvo_row(entry, out_type, paced_seconds, True, tools, warmup=1.0))

    stages = {}
    if has("stage_bench"):
        print("== stage breakdown (probes build)", flush=True)
        for name, entry in inputs.items():
            for out_type in (0, 1):
                proc = subprocess.run([os.path.join(tools, "stage_bench"), entry["path"], entry["subtype"],
                                       str(entry["width"]), str(entry["height"]), str(out_type), str(seconds)],
                                      capture_output=True, text=True, timeout=120,
                                      env=dict(os.environ, TRELVOHDCAM_CHANNEL=f"/trelvo-bench-stages-{os.getpid()}"))
                common.remove_channel(f"/trelvo-bench-stages-{os.getpid()}")
                line = [l for l in proc.stdout.splitlines() if l.startswith("{")]
                if proc.returncode == 0 and line:
                    stages[(name, out_type)] = json.loads(line[-1])
                else:
                    print(f"   stage_bench failed on {name}: {proc.stderr[-300:]}", flush=True)

    meta = {"date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"), "cpu": cpu_model(),
            "cores": os.cpu_count(), "reps": reps, "frames": frames, "raw_frames": raw_frames,
            "seconds": seconds, "smoke": smoke, "paced": paced, "notes": NOTES}
    report = build_report(results, stages, meta)
    print(report)
    os.makedirs(a.out, exist_ok=True)
    with open(os.path.join(a.out, "report.md"), "w") as f:
        f.write(report)
    raw = {"meta": {k: v for k, v in meta.items() if k != "paced"},
           "paced": {f"{k[0]} | {k[1]}": v for k, v in paced.items()},
           "results": results, "stages": {f"{k[0]} | type {k[1]}": v for k, v in stages.items()}}
    with open(os.path.join(a.out, "results.json"), "w") as f:
        json.dump(raw, f, indent=1)
    if a.peer_python:
        subprocess.run([a.peer_python, common.here("plot.py"), os.path.join(a.out, "results.json"),
                        os.path.join(a.out, "report.png")], check=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
