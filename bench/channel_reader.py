"""Reads the virtual camera's shared-memory channel from its own process while a relay runs.

For every newly published picture it copies the header and only the top rows that hold the
frame-number code, and records (channel time stamp, channel frame number, code). Stops on SIGTERM
and prints the records as one JSON line.

    python channel_reader.py CHANNEL
"""

from __future__ import annotations

import json
import mmap
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import code_rows  # noqa: E402
from trelvo_tools import simcam, vcam  # noqa: E402

_stop = False


def _on_term(signum, frame):
    global _stop
    _stop = True


def main() -> int:
    signal.signal(signal.SIGTERM, _on_term)
    path = "/dev/shm/" + vcam.channel_name(sys.argv[1])[1:]
    records, torn = [], 0
    m, identity, last = None, None, 0
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    while not _stop:
        if m is None:
            try:
                fd = os.open(path, os.O_RDONLY)
            except OSError:
                time.sleep(0.002)
                continue
            try:
                st = os.fstat(fd)
                if st.st_size >= vcam.HEADER_SIZE:
                    m = mmap.mmap(fd, st.st_size, mmap.MAP_SHARED, mmap.PROT_READ)
                    identity = (st.st_dev, st.st_ino)
            finally:
                os.close(fd)
            if m is None:
                time.sleep(0.002)
                continue
        s1 = vcam._SEQUENCE.unpack_from(m, vcam._SEQUENCE_OFFSET)[0]
        if s1 == last or s1 & 1:
            time.sleep(0.0005)
            continue
        fields = vcam._HEADER.unpack_from(m, 0)
        magic, header_size, width, height, ptype = fields[0], fields[2], fields[6], fields[7], fields[8]
        frame_number, timestamp = fields[11], fields[12]
        if magic != vcam.MAGIC or frame_number == 0 or width <= 0:
            time.sleep(0.0005)
            continue
        pixel = 3 if ptype == vcam.TYPE_BGR24 else 2
        rows = min(code_rows(width), height)
        end = header_size + rows * width * pixel
        if end > len(m):
            m.close()
            m = None
            continue
        top = m[header_size:end]
        if vcam._SEQUENCE.unpack_from(m, vcam._SEQUENCE_OFFSET)[0] != s1:
            torn += 1
            continue
        last = s1
        records.append((timestamp, frame_number, top, width, rows, pixel))
    # Decode after the run, so that the reader costs as little as possible while it runs.
    out = []
    for timestamp, frame_number, top, width, rows, pixel in records:
        code = simcam.decode_frame_code(top, width, rows, width * pixel, pixel, 0)
        out.append((timestamp, frame_number, -1 if code is None else code))
    sys.stdout.write(json.dumps({"pictures": out, "torn": torn}) + "\n")
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
