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
