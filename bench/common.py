"""Helpers shared by the benchmark's scripts: input files, the frame-number code."""

from __future__ import annotations

import os

FRAME_BYTES = {"NV12": lambda w, h: w * h * 3 // 2, "YUY2": lambda w, h: w * h * 2}
CODE_BLOCK = 16
CODE_BITS = 32


def split_jpegs(data: bytes) -> list:
    """Concatenated JPEG pictures, split at each end-of-image marker (0xFF 0xD9 cannot occur in
    the entropy-coded data, where every 0xFF byte is followed by 0x00 or a restart marker)."""
    pictures, begin = [], 0
    while True:
        end = data.find(b"\xff\xd9", begin)
        if end < 0:
            return pictures
        pictures.append(data[begin:end + 2])
        begin = end + 2


def load_frames(path: str, subtype: str, width: int, height: int) -> list:
    with open(path, "rb") as f:
        data = f.read()
    if subtype == "MJPEG":
        return split_jpegs(data)
    size = FRAME_BYTES[subtype](width, height)
    return [data[i:i + size] for i in range(0, len(data) - size + 1, size)]


def draw_frame_code(bgr, value: int) -> None:
    """Draws `value` into a BGR picture (numpy array, height x width x 3) the way the simulated
    camera's moving pattern codes its frame number: 32 blocks of 16 x 16 pixels from the top-left
    corner, left to right then top to bottom, most significant bit first, white 1, black 0."""
    per_row = bgr.shape[1] // CODE_BLOCK
    for i in range(CODE_BITS):
        bit = (value >> (CODE_BITS - 1 - i)) & 1
        y, x = (i // per_row) * CODE_BLOCK, (i % per_row) * CODE_BLOCK
        bgr[y:y + CODE_BLOCK, x:x + CODE_BLOCK, :] = 255 if bit else 0


def code_rows(width: int) -> int:
    """Picture rows that hold the whole code."""
    per_row = width // CODE_BLOCK
    return -(-CODE_BITS // per_row) * CODE_BLOCK


def proc_status(field: str) -> int:
    """A kB field of /proc/self/status (VmRSS, VmHWM) in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak_rss() -> bool:
    """Sets VmHWM back to the current RSS (Linux clear_refs 5)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def here(*parts: str) -> str:
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), *parts)


def remove_channel(name: str) -> None:
    """The virtual camera leaves its shared-memory channel in place for later readers; a run's
    private channel is removed once the run is over."""
    try:
        os.unlink("/dev/shm/" + name.lstrip("/"))
    except FileNotFoundError:
        pass
