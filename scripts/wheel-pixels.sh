#!/usr/bin/env bash
# Relays the same camera frames through two installs of trelvo and compares the pictures that
# reach the virtual camera byte for byte: every input subtype (Motion-JPEG 4:2:0 and 4:2:2, NV12,
# YUY2, I420, RGB24, P010) into both output types.
#   scripts/wheel-pixels.sh PYTHON_A PYTHON_B WORK_DIR
set -euo pipefail
PY_A="$1" PY_B="$2" WORK="$3"
mkdir -p "$WORK"
W=320 H=240
make_input() {  # name, ffmpeg output options
    local name="$1"; shift
    [ -s "$WORK/$name" ] || ffmpeg -v error -y -f lavfi -i "testsrc2=size=${W}x${H}:rate=1" -frames:v 1 "$@" "$WORK/$name"
}
make_input mjpeg420.jpg -c:v mjpeg -pix_fmt yuvj420p -q:v 3 -f mjpeg
make_input mjpeg422.jpg -c:v mjpeg -pix_fmt yuvj422p -q:v 3 -f mjpeg
make_input nv12.raw -pix_fmt nv12 -f rawvideo
make_input yuy2.raw -pix_fmt yuyv422 -f rawvideo
make_input i420.raw -pix_fmt yuv420p -f rawvideo
make_input rgb24.raw -pix_fmt bgr24 -f rawvideo
make_input p010.raw -pix_fmt p010le -f rawvideo

relay_digests() {  # python -> one line per case: name type sha256
    (cd "$WORK" && TRELVOHDCAM_LOOPBACK=off TRELVOHDCAM_CHANNEL="/trelvo-pixels-$$" "$1" - "$W" "$H" <<'PY'
import hashlib, sys
from trelvo_tools import Relay, simcam, vcam

width, height = int(sys.argv[1]), int(sys.argv[2])
cases = [("mjpeg420.jpg", simcam.MJPG, "MJPEG"), ("mjpeg422.jpg", simcam.MJPG, "MJPEG"),
         ("nv12.raw", simcam.NV12, "NV12"), ("yuy2.raw", simcam.YUY2, "YUY2"),
         ("i420.raw", simcam.I420, "I420"), ("rgb24.raw", simcam.RGB24, "RGB24"),
         ("p010.raw", simcam.P010, "P10")]
for name, guid, subtype in cases:
    with open(name, "rb") as f:
        frame = f.read()
    with simcam.SimCamera(name, "sim://pixels", types=[(guid, width, height, 30, 1)], frames=[frame]):
        for out_type in (0, 1):
            with Relay("sim://pixels", subtype=subtype, output_type=out_type):
                picture = vcam.VirtualCameraReader().read(timeout=5)
                assert picture is not None and (picture.width, picture.height, picture.type) == (width, height, out_type)
                print(name, out_type, hashlib.sha256(picture.data).hexdigest())
PY
    )
    rm -f "/dev/shm/trelvo-pixels-$$"
}
relay_digests "$PY_A" > "$WORK/a.txt"
relay_digests "$PY_B" > "$WORK/b.txt"
if ! diff -u "$WORK/a.txt" "$WORK/b.txt"; then
    echo "the pictures differ between the two builds (above)" >&2
    exit 1
fi
echo "   $(wc -l < "$WORK/a.txt") pictures identical in both builds (${W}x${H}; 7 input subtypes x 2 output types)"
