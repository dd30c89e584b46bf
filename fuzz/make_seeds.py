#!/usr/bin/env python3
"""Writes the frame path fuzzer's seed corpus (fuzz/corpus) and its reproducers (fuzz/reproducers).

Run from anywhere; needs cjpeg (libjpeg-turbo-progs). The files are committed, so this only has to
run again when the input layout of frame_path_fuzzer.cpp changes.

With --size-matrix DIR it writes instead, into DIR, one input per picture size x subtype (raw
samples in buffers that end exactly at the picture, JPEGs of every sampling layout), for replaying
under valgrind or Electric Fence: frame_path_replay DIR/*
"""
import argparse
import pathlib
import struct
import subprocess
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
SUBTYPES = {"MJPG": 0, "NV12": 1, "YUY2": 2, "I420": 3, "RGB24": 4, "P010": 5, "OTHER": 6}


def header(subtype, width, height, buffers=1, spare=0, out_type=0, size_from_jpeg=False, twice=False,
           split=0):
    flags = (buffers - 1) | spare << 2 | out_type << 4 | (0x40 if size_from_jpeg else 0) | (0x80 if twice else 0)
    return struct.pack("<BHHBH", SUBTYPES[subtype], width - 1, height - 1, flags, split)


def test_pattern(width, height):
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            row += bytes(((x * 255) // max(width - 1, 1), (y * 255) // max(height - 1, 1), ((x ^ y) * 16) & 0xFF))
        rows.append(bytes(row))
    return b"P6\n%d %d\n255\n" % (width, height) + b"".join(rows)


def cjpeg(width, height, *options):
    with tempfile.NamedTemporaryFile(suffix=".ppm") as ppm:
        ppm.write(test_pattern(width, height))
        ppm.flush()
        return subprocess.run(["cjpeg", "-quality", "85", *options, ppm.name], check=True,
                              capture_output=True).stdout


class BitWriter:
    def __init__(self):
        self.out, self.bits, self.count = bytearray(), 0, 0

    def put(self, value, length):
        for i in range(length - 1, -1, -1):
            self.bits = (self.bits << 1) | ((value >> i) & 1)
            self.count += 1
            if self.count == 8:
                self.out.append(self.bits)
                if self.bits == 0xFF:
                    self.out.append(0)  # byte stuffing
                self.bits, self.count = 0, 0

    def finish(self):
        if self.count:
            self.put((1 << (8 - self.count)) - 1, 8 - self.count)  # pad with ones
        return bytes(self.out)


def segment(marker, payload):
    return struct.pack(">BBH", 0xFF, marker, len(payload) + 2) + payload


def small_jpeg(width, height, sampling, precision=8, component_ids=(1, 2, 3), adobe_transform=None):
    """A sequential JPEG of flat 8x8 blocks whose brightness steps from block to block, written here
    rather than by an encoder, so that it can take the layouts and precisions encoders do not
    offer: 12 bits, 4:4:0, RGB and YCCK components. `sampling` is (h, v) per component."""
    hmax, vmax = max(h for h, _ in sampling), max(v for _, v in sampling)
    mcus_x, mcus_y = -(-width // (8 * hmax)), -(-height // (8 * vmax))
    out = b"\xFF\xD8"
    if adobe_transform is not None:
        out += segment(0xEE, b"Adobe" + struct.pack(">HHHB", 100, 0, 0, adobe_transform))
    out += segment(0xDB, bytes([0]) + bytes([1] * 64))  # table 0, every step 1
    out += segment(0xC1 if precision == 12 else 0xC0,
                   struct.pack(">BHHB", precision, height, width, len(sampling)) +
                   b"".join(bytes([cid, (h << 4) | v, 0]) for cid, (h, v) in zip(component_ids, sampling)))
    # DC: categories 0-15 in five-bit codes 00000-01111; AC: end of block only, code 0.
    out += segment(0xC4, bytes([0x00]) + bytes([0, 0, 0, 0, 16] + [0] * 11) + bytes(range(16)))
    out += segment(0xC4, bytes([0x10]) + bytes([1] + [0] * 15) + bytes([0]))
    out += segment(0xDA, bytes([len(sampling)]) + b"".join(bytes([cid, 0x00]) for cid in component_ids) +
                   bytes([0, 63, 0]))
    bits = BitWriter()
    previous = [0] * len(sampling)
    step = 1 << (precision - 6)
    for my in range(mcus_y):
        for mx in range(mcus_x):
            for c, (h, v) in enumerate(sampling):
                for by in range(v):
                    for bx in range(h):
                        x, y = mx * h + bx, my * v + by
                        dc = ((x * 5 + y * 3 + c * 7) % 16 - 8) * step * 8
                        diff, previous[c] = dc - previous[c], dc
                        category = abs(diff).bit_length()
                        bits.put(category, 5)
                        if category:
                            bits.put(diff if diff > 0 else diff + (1 << category) - 1, category)
                        bits.put(0, 1)  # end of block
    return out + bits.finish() + b"\xFF\xD9"


# Layouts libyuv has no routine for, which the conversion hands to libswscale.
EXTENDED_JPEGS = {
    "jpeg-12bit-420": dict(sampling=[(2, 2), (1, 1), (1, 1)], precision=12),
    "jpeg-12bit-444": dict(sampling=[(1, 1), (1, 1), (1, 1)], precision=12),
    "jpeg-440-handmade": dict(sampling=[(1, 2), (1, 1), (1, 1)]),
    "jpeg-rgb-adobe": dict(sampling=[(1, 1), (1, 1), (1, 1)], adobe_transform=0),
    "jpeg-rgb-component-ids": dict(sampling=[(1, 1), (1, 1), (1, 1)], component_ids=(ord("R"), ord("G"), ord("B"))),
    "jpeg-ycck-adobe": dict(sampling=[(1, 1), (1, 1), (1, 1), (1, 1)], component_ids=(1, 2, 3, 4), adobe_transform=2),
}


def write_extended_jpegs():
    w, h = 48, 32
    for name, options in EXTENDED_JPEGS.items():
        write("corpus", name, header("MJPG", w, h, size_from_jpeg=True, twice=True, out_type=1) +
              small_jpeg(w, h, **options))


def without_huffman_tables(jpeg):
    """Drops every DHT segment, as many UVC cameras send their frames."""
    out = bytearray(jpeg[:2])
    at = 2
    while at + 4 <= len(jpeg):
        marker = jpeg[at + 1]
        length = struct.unpack(">H", jpeg[at + 2:at + 4])[0]
        if marker == 0xDA:
            out += jpeg[at:]
            break
        if marker != 0xC4:
            out += jpeg[at:at + 2 + length]
        at += 2 + length
    return bytes(out)


def raw_picture(subtype, width, height):
    cw, ch = (width + 1) // 2, (height + 1) // 2
    size = {"NV12": width * height + 2 * cw * ch, "I420": width * height + 2 * cw * ch, "YUY2": 4 * cw * height,
            "RGB24": 3 * width * height, "P010": 2 * width * height + 4 * cw * ch}[subtype]
    return bytes((i * 37 + 11) & 0xFF for i in range(size))


def write(folder, name, data):
    path = HERE / folder / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def main():
    w, h = 48, 32
    jpegs = {
        "jpeg-420": cjpeg(w, h, "-sample", "2x2"),
        "jpeg-422": cjpeg(w, h, "-sample", "2x1"),
        "jpeg-444": cjpeg(w, h, "-sample", "1x1"),
        "jpeg-440": cjpeg(w, h, "-sample", "1x2"),
        "jpeg-411": cjpeg(w, h, "-sample", "4x1"),
        "jpeg-grey": cjpeg(w, h, "-grayscale"),
        "jpeg-progressive": cjpeg(w, h, "-progressive"),
        "jpeg-restart": cjpeg(w, h, "-restart", "1B"),
        "jpeg-odd-size": cjpeg(33, 17, "-sample", "2x2"),
    }
    jpegs["jpeg-no-huffman-tables"] = without_huffman_tables(jpegs["jpeg-422"])
    jpegs["jpeg-no-end-marker"] = jpegs["jpeg-420"][:-2]
    jpegs["jpeg-cut"] = jpegs["jpeg-420"][: len(jpegs["jpeg-420"]) * 2 // 3]
    for name, jpeg in jpegs.items():
        width, height = (33, 17) if name == "jpeg-odd-size" else (w, h)
        write("corpus", name, header("MJPG", width, height, size_from_jpeg=True, twice=True, out_type=1) + jpeg)
    write("corpus", "jpeg-split-in-three",
          header("MJPG", w, h, buffers=3, spare=1, split=1234, size_from_jpeg=True) + jpegs["jpeg-422"])

    for subtype in ("NV12", "YUY2", "I420", "RGB24", "P010"):
        for width, height in ((2, 2), (17, 5), (24, 8)):
            write("corpus", f"raw-{subtype.lower()}-{width}x{height}",
                  header(subtype, width, height, out_type=(width % 3)) + raw_picture(subtype, width, height))
    write("corpus", "raw-other-subtype", header("OTHER", 8, 8) + bytes(96))

    # The samples that read or wrote out of bounds before the frame path padded its buffers.
    write("reproducers", "nv12-16x8-exact-buffer", header("NV12", 16, 8) + raw_picture("NV12", 16, 8))
    write("reproducers", "yuy2-1x8-two-buffers",
          header("YUY2", 1, 8, buffers=2, split=16) + raw_picture("YUY2", 1, 8))
    write("reproducers", "nv12-176x144-exact-buffer", header("NV12", 176, 144) + raw_picture("NV12", 176, 144))
    write("reproducers", "i420-424x240-written-past-the-picture",
          header("I420", 424, 240, twice=True) + raw_picture("I420", 424, 240))
    write("reproducers", "i420-8x8-written-past-the-picture", header("I420", 8, 8) + raw_picture("I420", 8, 8))
    write_extended_jpegs()


MATRIX_SIZES = [(424, 240), (360, 640), (600, 800), (1080, 1080), (8, 8), (2, 2), (176, 144), (16, 8), (1, 8),
                (321, 241), (1, 1), (33, 17), (640, 480)]
JPEG_LAYOUTS = {"420": ["-sample", "2x2"], "422": ["-sample", "2x1"], "444": ["-sample", "1x1"],
                "440": ["-sample", "1x2"], "411": ["-sample", "4x1"], "grey": ["-grayscale"]}


def size_matrix(folder):
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for width, height in MATRIX_SIZES:
        for subtype in ("NV12", "YUY2", "I420", "RGB24", "P010"):
            for out_type in (0, 1):
                (folder / f"{subtype.lower()}-{width}x{height}-type{out_type}").write_bytes(
                    header(subtype, width, height, out_type=out_type, twice=True) + raw_picture(subtype, width, height))
        for layout, options in JPEG_LAYOUTS.items():
            jpeg = cjpeg(width, height, *options)
            for out_type in (0, 1):
                (folder / f"mjpg{layout}-{width}x{height}-type{out_type}").write_bytes(
                    header("MJPG", width, height, out_type=out_type, twice=True) + jpeg)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-matrix", metavar="DIR")
    arguments = parser.parse_args()
    if arguments.size_matrix:
        size_matrix(arguments.size_matrix)
    else:
        main()
