"""Peer: Python + OpenCV decoding the same JPEG pictures (cv2.imdecode to BGR), optionally
converting each to YUY2 in the loop. One thread. Prints one JSON line with the loop's CPU time.
With a rate, the loop is paced: picture k is taken at k / rate seconds, sleeping in between.

    python opencv_worker.py FILE bgr|yuy2 [RATE]
"""

from __future__ import annotations

import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cv2  # noqa: E402
import numpy as np  # noqa: E402

from common import split_jpegs  # noqa: E402


def bgr_to_yuy2(bgr):
    code = getattr(cv2, "COLOR_BGR2YUV_YUY2", None)
    if code is not None:
        return cv2.cvtColor(bgr, code)
    yuv = cv2.cvtColor(bgr, cv2.COLOR_BGR2YUV)
    out = np.empty((bgr.shape[0], bgr.shape[1] * 2), np.uint8)
    out[:, 0::2] = yuv[:, :, 0]
    out[:, 1::4] = yuv[:, 0::2, 1]
    out[:, 3::4] = yuv[:, 0::2, 2]
    return out


def main() -> int:
    path, mode = sys.argv[1], sys.argv[2]
    rate = float(sys.argv[3]) if len(sys.argv) > 3 else 0.0
    cv2.setNumThreads(1)
    with open(path, "rb") as f:
        pictures = [np.frombuffer(p, np.uint8) for p in split_jpegs(f.read())]
    cv2.imdecode(pictures[0], cv2.IMREAD_COLOR)  # untimed first picture
    done = 0
    cpu0, wall0 = time.process_time_ns(), time.monotonic_ns()
    for i, p in enumerate(pictures):
        if rate > 0:
            delay = wall0 + i * 1e9 / rate - time.monotonic_ns()
            if delay > 0:
                time.sleep(delay / 1e9)
        bgr = cv2.imdecode(p, cv2.IMREAD_COLOR)
        if mode == "yuy2":
            bgr_to_yuy2(bgr)
        done += 1
    cpu, wall = time.process_time_ns() - cpu0, time.monotonic_ns() - wall0
    print(json.dumps({"pictures": done, "cpu_ns": cpu, "wall_ns": wall}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
