"""One trelvo measurement, in a process of its own: a simulated camera serves the given frames,
the real module relays them into the virtual camera, and a reader process reads the channel.

Prints one JSON line:
  seconds, pictures_sent, samples_delivered, cpu_ns (user+sys of this process over the window,
  minus the delivery poller's own thread), poller_cpu_ns, latencies_ns (per matched picture),
  peak_rss_added (peak RSS above the RSS after the camera was set up), peak_rss (absolute).
With "pictures": N the window lasts until N pictures were sent (at most "seconds"), without a
reader, and rss_curve lists [pictures sent, RSS bytes] once per "rss_interval" seconds.

    python relay_worker.py '{"input": ..., "subtype": "MJPEG", "width": 1280, "height": 720,
                             "type": 0, "paced": false, "seconds": 3, "warmup": 0.5,
                             "channel": "/name", "poller": "path/libdelivery_poller.so"}'
"""

from __future__ import annotations

import ctypes
import json
import os
import resource
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

SUBTYPE_GUIDS = {"MJPEG": "MJPG", "NV12": "NV12", "YUY2": "YUY2"}


def cpu_ns() -> int:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return int((r.ru_utime + r.ru_stime) * 1e9)


def recording_of(library: str):
    """The camera library's recording through trelvo_tools.vcam's binding. An earlier build
    measured for the before rows may predate that binding: then this tree's, on that build's
    library (the recording's layout has not changed)."""
    from trelvo_tools import vcam

    if not hasattr(vcam, "Recording"):
        import types

        path = os.path.join(os.path.dirname(common.here()), "trelvo_tools", "vcam.py")
        vcam = types.ModuleType("trelvo_tree_vcam")
        vcam.__file__ = path
        sys.modules[vcam.__name__] = vcam  # dataclasses look their module up
        with open(path, encoding="utf-8") as f:
            exec(compile(f.read(), path, "exec"), vcam.__dict__)
    return vcam.Recording(library)


def main() -> int:
    args = json.loads(sys.argv[1])
    os.environ["TRELVOHDCAM_CHANNEL"] = args["channel"]

    import trelvo
    from trelvo_tools import simcam

    width, height, subtype = args["width"], args["height"], args["subtype"]
    frames = common.load_frames(args["input"], subtype, width, height)
    count = len(frames)
    simcam.reset()
    link = "sim://bench"
    cam = simcam.SimCamera("Bench camera", link,
                           types=[(simcam.fourcc_guid(SUBTYPE_GUIDS[subtype]), width, height, 30, 1)],
                           frames=frames, paced=bool(args["paced"]))
    del frames

    try:
        from trelvo_tools.native import library_path
    except ImportError:  # an earlier build measured for the before rows keeps its libraries by the module
        def library_path(name: str) -> str:
            return os.path.join(os.path.dirname(os.path.abspath(trelvo.__file__)), name)

    record = recording_of(library_path("libtrelvohdcam.so"))

    def frames_sent() -> int:
        return int(record.counts().frames_sent)

    poller = None
    if args.get("poller") and os.path.exists(args["poller"]):
        poller = ctypes.CDLL(args["poller"])
        poller.poller_start.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_int64, ctypes.c_size_t]
        poller.poller_cpu_ns.restype = ctypes.c_int64
        poller.poller_stop.restype = ctypes.c_size_t
        poller.poller_take.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]

    target = int(args.get("pictures", 0))
    reader = None
    if not target:
        reader = subprocess.Popen([sys.executable, common.here("channel_reader.py"), args["channel"]],
                                  stdout=subprocess.PIPE, text=True)
        reader.stdout.readline()  # ready

    # Memory: what the relay adds above this point (the frames the camera serves are excluded).
    common.reset_peak_rss()
    rss_before = common.proc_status("VmRSS")

    if poller is not None:
        get_counters = ctypes.cast(simcam.library().mfcompat_sim_get_counters, ctypes.c_void_p).value
        poller.poller_start(get_counters, cam.id, int(args.get("poll_ns", 100_000)), 4_000_000)

    capture = trelvo.VideoCapture()
    ok = capture.start(link, "", width, height, 30, subtype, int(args["type"]))
    if not ok:
        print(json.dumps({"error": "start failed"}))
        return 1
    time.sleep(args.get("warmup", 0.5))

    sent0, delivered0 = frames_sent(), cam.counters().samples_delivered
    poll0 = poller.poller_cpu_ns() if poller else 0
    cpu0, t0 = cpu_ns(), time.monotonic_ns()
    rss_curve = []
    if target:
        deadline = t0 + int(args["seconds"] * 1e9)
        while True:
            sent = frames_sent() - sent0
            rss_curve.append([sent, common.proc_status("VmRSS")])
            if sent >= target or time.monotonic_ns() >= deadline:
                break
            time.sleep(float(args.get("rss_interval", 1.0)))
    else:
        time.sleep(args["seconds"])
    cpu1, t1 = cpu_ns(), time.monotonic_ns()
    poll1 = poller.poller_cpu_ns() if poller else 0
    sent1, delivered1 = frames_sent(), cam.counters().samples_delivered

    capture.stop()
    peak = common.proc_status("VmHWM")
    seen = []
    if reader is not None:
        reader.send_signal(signal.SIGTERM)
        seen = json.loads(reader.stdout.readline() or "{}").get("pictures", [])
        reader.wait(timeout=30)
    common.remove_channel(args["channel"])

    latencies, late_polls = [], 0
    if poller is not None:
        n = poller.poller_stop()
        counts = (ctypes.c_uint64 * max(n, 1))()
        times = (ctypes.c_int64 * max(n, 1))()
        poller.poller_take(counts, times, n)
        # Delivered sample k (0-based) is frame k % count of the list; its time is when the
        # poller first saw the counter reach k + 1 (or pass it: then the same time for all).
        delivery = {}
        previous = 0
        for i in range(n):
            for k in range(previous, counts[i]):
                delivery[k] = times[i]
            previous = counts[i]
        by_frame = {}
        for k, t in delivery.items():
            by_frame.setdefault(k % count, []).append(t)
        import bisect
        for timestamp, _, code in seen:
            if code < 0 or code >= count or not (t0 <= timestamp <= t1):
                continue
            # The delivery of that frame nearest in time; one recorded after the picture was
            # written means the poller woke late (it is not counted: late_polls).
            candidates = by_frame.get(code, [])
            i = bisect.bisect_right(candidates, timestamp)
            nearest = [c for c in candidates[max(i - 1, 0):i + 1]]
            if not nearest:
                continue
            best = min(nearest, key=lambda c: abs(timestamp - c))
            if best > timestamp:
                late_polls += 1
            else:
                latencies.append(timestamp - best)

    print(json.dumps({
        "seconds": (t1 - t0) / 1e9,
        "pictures_sent": sent1 - sent0,
        "samples_delivered": delivered1 - delivered0,
        "cpu_ns": (cpu1 - cpu0) - (poll1 - poll0),
        "poller_cpu_ns": poll1 - poll0,
        "pictures_read": len(seen),
        "latencies_ns": latencies,
        "late_polls": late_polls,
        "peak_rss_added": max(0, peak - rss_before),
        "peak_rss": peak,
        "frames_in_list": count,
        "rss_curve": rss_curve,
    }))
    sys.stdout.flush()
    cam.remove()
    return 0


if __name__ == "__main__":
    sys.exit(main())
