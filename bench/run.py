"""trelvo benchmark: generates its inputs, measures trelvo and its peers on the same frames,
interleaved, and writes a report.

    python bench/run.py [--smoke] [--reps N] [--out DIR] [--tools DIR] [--peer-python PY]
                        [--baseline DIR --baseline-label NAME] [--rss-pictures N]

--tools: where the bench script built floor_decode, libdelivery_poller.so and stage_bench
(rows needing a missing tool are left out). --peer-python: an interpreter with OpenCV and
matplotlib (OpenCV rows and the PNG are left out without it). --baseline: a directory holding an
earlier build of trelvo installed as a package (pip --target); its rows ("before") run in the same
interleaved repetitions as the current build's, for a before/after table. --smoke: 1280x720
only, a few frames, one repetition, trelvo rows only, results under build/bench/smoke-results.
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


def paced_cli(full_argv, one_argv, pictures) -> dict:
    """CPU per second of wall time of a command-line tool fed in real time, its start-up (a
    1-picture run) subtracted from both."""
    cpu_full, wall_full, _ = run_with_rusage(full_argv)
    cpu_one, wall_one, _ = run_with_rusage(one_argv)
    wall = max(wall_full - wall_one, 1)
    return {"cpu_per_s_ns": max(cpu_full - cpu_one, 0) / (wall / 1e9),
            "pictures_per_s": max(pictures - 1, 1) / (wall / 1e9)}


def ffmpeg_argv(entry, path, out_format, paced=False):
    argv = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-threads", "1"]
    if paced:
        # Read at the input's own rate: 30 pictures a second.
        argv += ["-re", "-framerate", "30"]
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


def gst_paced_argv(entry, out_format, pictures):
    """The same decoder and converter fed in real time: jpegparse keeps no time stamps, so the
    pictures come one file each from multifilesrc, stamped at 30 per second, and the sink waits
    for each picture's time."""
    directory = entry["path"] + ".pictures"
    if not os.path.exists(os.path.join(directory, "done")):
        os.makedirs(directory, exist_ok=True)
        with open(entry["path"], "rb") as f:
            for i, picture in enumerate(common.split_jpegs(f.read())):
                with open(os.path.join(directory, f"{i:05d}.jpg"), "wb") as g:
                    g.write(picture)
        open(os.path.join(directory, "done"), "w").close()
    return ["gst-launch-1.0", "-q", "multifilesrc", f"location={directory}/%05d.jpg",
            "caps=image/jpeg,framerate=30/1", f"stop-index={pictures - 1}", "!", "jpegdec", "!",
            "videoconvert", "n-threads=1", "!", f"video/x-raw,format={out_format}", "!", "fakesink", "sync=true"]


def trelvo_row(entry, out_type, seconds, paced, tools, warmup=0.5, baseline="", extra=None) -> dict:
    args = {"input": entry["path"], "subtype": entry["subtype"], "width": entry["width"],
            "height": entry["height"], "type": out_type, "paced": paced, "seconds": seconds,
            "warmup": warmup, "channel": f"/trelvo-bench-{os.getpid()}-{uuid.uuid4().hex[:8]}",
            "poller": os.path.join(tools, "libdelivery_poller.so") if tools else ""}
    args.update(extra or {})
    env = dict(os.environ)
    if baseline:
        # The earlier build's package is found first.
        env["PYTHONPATH"] = baseline + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.run([sys.executable, common.here("relay_worker.py"), json.dumps(args)],
                          capture_output=True, text=True, timeout=seconds + 180, env=env)
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
        "rss_curve": r.get("rss_curve", []),
    }


def rss_slope(curve) -> dict:
    """Least-squares slope of RSS over pictures sent, after the first tenth of the run (warm-up)."""
    if len(curve) < 3:
        return None
    last = curve[-1][0]
    points = [(x, y) for x, y in curve if x >= last / 10] or curve
    n = len(points)
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    sxx = sum((x - mx) ** 2 for x, _ in points)
    slope = sum((x - mx) * (y - my) for x, y in points) / sxx if sxx else 0.0
    return {"bytes_per_picture": slope, "pictures": last, "rss_first": points[0][1], "rss_last": points[-1][1],
            "rss_max": max(y for _, y in points), "rss_min": min(y for _, y in points)}


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


BEFORE = "(before)"
STAGE_NAMES = ["decode", "rgb_conversion", "queue", "yuy2_conversion", "send"]


def build_report(results, stages, meta) -> str:
    """Markdown with the tables; also printed."""
    lines = [f"# trelvo benchmark", "",
             f"- date: {meta['date']}", f"- CPU: {meta['cpu']} ({meta['cores']} logical cores)",
             f"- repetitions per row: {meta['reps']} (median, min); MJPEG inputs {meta['frames']} frames, "
             f"raw inputs {meta['raw_frames']} frames; trelvo window {meta['seconds']} s per run",
             f"- paced rows: {meta.get('paced_reps', 0)} repetitions of {meta.get('paced_seconds', 0):g} s "
             f"(peers: the whole {meta['frames']}-picture input at 30 fps)",
             f"- mode: {'smoke' if meta['smoke'] else 'full'}"]
    if "load" in meta:
        (b1, b5, _), (e1, e5, _) = meta["load"]
        lines.append(f"- load average (1 min / 5 min): {b1:.2f} / {b5:.2f} at the start, {e1:.2f} / {e5:.2f} at the end")
    lines.append("")
    lines += ["## CPU per picture (µs, median / min) and ratios", "",
              "| input | row | CPU/picture median | min | pictures/s | dropped % | latency p50 ms | "
              "latency p99 ms | peak RSS added MB | trelvo ÷ best peer | trelvo ÷ floor | trelvo ÷ its stages |",
              "|---|---|---|---|---|---|---|---|---|---|---|---|"]
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
            ratio_peer = ratio_floor = ratio_stages = ""
            if row_name.startswith("trelvo") and BEFORE not in row_name:
                stage = stages.get((input_name, 0 if "type 0" in row_name else 1))
                if stage:
                    total = sum(stage["stages"][n]["ns"] for n in STAGE_NAMES) / max(stage["pictures_sent"], 1)
                    ratio_stages = f"{cpu['median'] / total:.2f}"
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
                f"{'' if not rss else f'{rss['median'] / 2**20:.1f}'} | {ratio_peer} | {ratio_floor} | {ratio_stages} |")
    paced = meta.get("paced") or {}
    if paced:
        lines += ["", "## Paced at 30 fps (CPU per second of wall time)", "",
                  "Every tool gets the same pictures in real time: trelvo's simulated camera delivers 30 a "
                  "second, ffmpeg reads with `-re`, GStreamer's sink synchronises to 30/1 time stamps, the "
                  "OpenCV loop sleeps until each picture's time.", "",
                  "| input | row | CPU ms per s median | min | pictures/s | latency p50 ms | latency p99 ms | "
                  "÷ ffmpeg | ÷ gstreamer |",
                  "|---|---|---|---|---|---|---|---|---|"]
        for (input_name, row_name), runs in paced.items():
            c = summarise([r["cpu_per_s_ns"] for r in runs])
            pps = summarise([r["pictures_per_s"] for r in runs])
            p50 = summarise([r.get("latency_p50_ns") for r in runs])
            p99 = summarise([r.get("latency_p99_ns") for r in runs])
            ratios = ["", ""]
            if row_name.startswith("trelvo"):
                out = "bgr" if "type 0" in row_name else "yuy2"
                for i, peer in enumerate(("ffmpeg", "gstreamer")):
                    other = next((v for (n, r), v in paced.items() if n == input_name and
                                  r.startswith(f"{peer} {out}")), None)
                    o = summarise([r["cpu_per_s_ns"] for r in other]) if other else None
                    if o and o["median"] > 0:
                        ratios[i] = f"{c['median'] / o['median']:.2f}"
            lines.append(f"| {input_name} | {row_name} | {c['median'] / 1e6:.0f} | {c['min'] / 1e6:.0f} | "
                         f"{pps['median']:.1f} | {'' if not p50 else f'{p50['median'] / 1e6:.1f}'} | "
                         f"{'' if not p99 else f'{p99['median'] / 1e6:.1f}'} | {ratios[0]} | {ratios[1]} |")
    rss = meta.get("rss") or {}
    if rss:
        lines += ["", "## Memory over a long unpaced run", "",
                  "| build | input | output | pictures sent | RSS first / last MB (after warm-up) | "
                  "RSS min / max MB | slope bytes per picture | slope KB per 100,000 pictures |",
                  "|---|---|---|---|---|---|---|---|"]
        for (label, input_name, out_type), r in rss.items():
            sl = rss_slope(r["rss_curve"])
            if not sl:
                continue
            lines.append(f"| {label} | {input_name} | type {out_type} | {sl['pictures']} | "
                         f"{sl['rss_first'] / 2**20:.1f} / {sl['rss_last'] / 2**20:.1f} | "
                         f"{sl['rss_min'] / 2**20:.1f} / {sl['rss_max'] / 2**20:.1f} | "
                         f"{sl['bytes_per_picture']:.3f} | {sl['bytes_per_picture'] * 100_000 / 1024:.1f} |")
    if any(BEFORE in row for rows in results.values() for row in rows):
        lines += ["", f"## Before / after (same run, interleaved; before = {meta.get('baseline_label', 'baseline')})", "",
                  "| input | output | CPU/picture µs before | after | after ÷ before | latency p50 ms before | after | "
                  "latency p99 ms before | after | paced CPU ms/s before | after |",
                  "|---|---|---|---|---|---|---|---|---|---|---|"]
        for input_name, rows in results.items():
            for out_type, out in ((0, "bgr"), (1, "yuy2")):
                after = rows.get(f"trelvo type {out_type} {out}")
                before = rows.get(f"trelvo type {out_type} {out} {BEFORE}")
                if not after or not before:
                    continue
                med = lambda runs, key: (summarise([r.get(key) for r in runs]) or {}).get("median")  # noqa: E731
                ca, cb = med(after, "cpu_per_picture_ns"), med(before, "cpu_per_picture_ns")
                pa = paced.get((input_name, f"trelvo type {out_type}"))
                pb = paced.get((input_name, f"trelvo type {out_type} {BEFORE}"))
                ms = lambda v: "" if v is None else f"{v / 1e6:.1f}"  # noqa: E731
                lines.append(
                    f"| {input_name} | type {out_type} | {fmt_us(cb)} | {fmt_us(ca)} | {ca / cb:.2f} | "
                    f"{ms(med(before, 'latency_p50_ns'))} | {ms(med(after, 'latency_p50_ns'))} | "
                    f"{ms(med(before, 'latency_p99_ns'))} | {ms(med(after, 'latency_p99_ns'))} | "
                    f"{'' if not pb else f'{med(pb, 'cpu_per_s_ns') / 1e6:.0f}'} | "
                    f"{'' if not pa else f'{med(pa, 'cpu_per_s_ns') / 1e6:.0f}'} |")
    if stages:
        names = STAGE_NAMES
        lines += ["", "## Where trelvo's time goes (probes build; µs per picture sent, thread CPU time inside each stage)",
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
    if meta.get("changes"):
        lines += ["", "## What changed", "", meta["changes"]]
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
    "thread) time their loop in-process. Paced peers: the same tools fed in real time (ffmpeg -re, "
    "GStreamer from one file per picture stamped at 30/1 into a synchronising fakesink, OpenCV sleeping "
    "until each picture's time), CPU per second of wall time with a 1-picture run subtracted. Before rows: "
    "the earlier build of trelvo named in the before/after heading, run by the same worker in the same "
    "repetitions. Memory: RSS of the relay process once a second over a long unpaced run without a reader; "
    "the slope is a least-squares fit after the first tenth of the run. On a shared 2-core machine the "
    "relay's threads compete with the reader process and with whatever else runs, so absolute figures are "
    "noisy (CPU time is the steadier measure); the ratios come from interleaved runs.")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--smoke", action="store_true")
    ap.add_argument("--reps", type=int)
    ap.add_argument("--seconds", type=float)
    ap.add_argument("--paced-seconds", type=float)
    ap.add_argument("--paced-reps", type=int)
    ap.add_argument("--rss-pictures", type=int)
    ap.add_argument("--baseline", default="", help="directory of an earlier trelvo installed with pip --target")
    ap.add_argument("--baseline-label", default="baseline")
    ap.add_argument("--changes", default="", help="file whose text becomes the report's 'What changed' section")
    ap.add_argument("--out")
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "bench", "inputs"))
    ap.add_argument("--tools", default=os.path.join(ROOT, "build", "bench", "bin"))
    ap.add_argument("--peer-python", default="")
    ap.add_argument("--no-peers", action="store_true")
    a = ap.parse_args()

    smoke = a.smoke
    reps = a.reps or (1 if smoke else 5)
    seconds = a.seconds or (1.0 if smoke else 1.5)
    paced_seconds = a.paced_seconds or (0 if smoke else 10.0)
    paced_reps = a.paced_reps or (0 if smoke else 3)
    rss_pictures = a.rss_pictures if a.rss_pictures is not None else (0 if smoke else 200_000)
    # A smoke run never replaces the committed report.
    out_dir = a.out or (os.path.join(ROOT, "build", "bench", "smoke-results") if smoke else common.here("results"))
    baseline = os.path.abspath(a.baseline) if a.baseline else ""
    frames, raw_frames = (12, 12) if smoke else (300, 60)
    sizes = [(1280, 720)] if smoke else [(640, 480), (1280, 720), (1920, 1080)]
    # Other work on the machine skews every row: the report says how loaded it was.
    load_before = os.getloadavg()
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
                row = f"trelvo type {out_type} {'bgr' if out_type == 0 else 'yuy2'}"
                add(name, row, trelvo_row(entry, out_type, seconds, False, tools))
                if baseline and entry["subtype"] == "MJPEG":
                    attempt(name, f"{row} {BEFORE}", lambda: trelvo_row(entry, out_type, seconds, False, tools,
                                                                     baseline=baseline))
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
        if paced_seconds > 0 and rep < paced_reps:
            for entry in (e for e in inputs.values() if e["kind"] == "mjpeg420"):
                name = entry["name"]
                print(f"   paced 30 fps, {name}", flush=True)

                def add_paced(row, fn):
                    try:
                        paced.setdefault((name, row), []).append(fn())
                    except Exception as e:  # noqa: BLE001 - a missing peer leaves its row out
                        print(f"   paced {row} on {name}: {e}", flush=True)

                for out_type in (0, 1):
                    add_paced(f"trelvo type {out_type}", lambda: trelvo_row(
                        entry, out_type, paced_seconds, True, tools, warmup=1.0))
                    if baseline:
                        add_paced(f"trelvo type {out_type} {BEFORE}", lambda: trelvo_row(
                            entry, out_type, paced_seconds, True, tools, warmup=1.0, baseline=baseline))
                if not peers:
                    continue
                n = entry["frames"]
                for out, pix, fmt in (("bgr", "bgr24", "BGR"), ("yuy2", "yuyv422", "YUY2")):
                    if have_ffmpeg:
                        add_paced(f"ffmpeg {out} (-re)", lambda: paced_cli(
                            ffmpeg_argv(entry, entry["path"], pix, paced=True),
                            ffmpeg_argv(entry, entry["first"], pix, paced=True), n))
                    if have_gst:
                        add_paced(f"gstreamer {out} (sync)", lambda: paced_cli(
                            gst_paced_argv(entry, fmt, n), gst_paced_argv(entry, fmt, 1), n))
                    if a.peer_python:
                        def opencv_paced():
                            _, _, text = run_with_rusage([a.peer_python, common.here("opencv_worker.py"),
                                                          entry["path"], out, "30"])
                            r = json.loads(text.strip().splitlines()[-1])
                            return {"cpu_per_s_ns": r["cpu_ns"] / (r["wall_ns"] / 1e9),
                                    "pictures_per_s": r["pictures"] / (r["wall_ns"] / 1e9)}
                        add_paced(f"opencv {out} (paced loop)", opencv_paced)

    rss = {}
    if rss_pictures > 0:
        rss_inputs = generate_inputs(os.path.join(a.work, "full"), [(640, 480)], frames, raw_frames, ["mjpeg420"])
        entry = next(iter(rss_inputs.values()))
        for label, where in (("after", ""), (a.baseline_label, baseline)):
            if label != "after" and not where:
                continue
            print(f"== memory: {rss_pictures} pictures, {entry['name']}, {label}", flush=True)
            try:
                rss[(label, entry["name"], 0)] = trelvo_row(
                    entry, 0, 3600.0, False, "", warmup=1.0, baseline=where,
                    extra={"pictures": rss_pictures, "rss_interval": 1.0})
            except Exception as e:  # noqa: BLE001
                print(f"   memory run failed: {e}", flush=True)

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
            "seconds": seconds, "smoke": smoke, "paced": paced, "rss": rss, "notes": NOTES,
            "baseline_label": a.baseline_label, "paced_reps": paced_reps, "paced_seconds": paced_seconds,
            "load": (load_before, os.getloadavg())}
    if a.changes and os.path.exists(a.changes):
        with open(a.changes) as f:
            meta["changes"] = f.read().strip()
    report = build_report(results, stages, meta)
    print(report)
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "report.md"), "w") as f:
        f.write(report)
    raw = {"meta": {k: v for k, v in meta.items() if k not in ("paced", "rss")},
           "paced": {f"{k[0]} | {k[1]}": v for k, v in paced.items()},
           "rss": {f"{k[0]} | {k[1]} | type {k[2]}": v for k, v in rss.items()},
           "results": results, "stages": {f"{k[0]} | type {k[1]}": v for k, v in stages.items()}}
    with open(os.path.join(out_dir, "results.json"), "w") as f:
        json.dump(raw, f, indent=1)
    if a.peer_python:
        subprocess.run([a.peer_python, common.here("plot.py"), os.path.join(out_dir, "results.json"),
                        os.path.join(out_dir, "report.png")], check=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
