#!/usr/bin/env bash
# Benchmarks trelvo against ffmpeg, GStreamer, OpenCV and a libavcodec floor on generated inputs,
# and writes bench/results/report.md, report.png and results.json.
#   scripts/bench.sh            full run (5 repetitions, about a quarter of an hour)
#   scripts/bench.sh --smoke    a few frames, one repetition, trelvo rows only
# Further options go to bench/run.py (--reps N, --seconds S, --out DIR, --no-peers).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/setup.sh"

BENCH_BUILD="$ROOT/build/bench"
TOOLS="$BENCH_BUILD/bin"
SMOKE=0
for arg in "$@"; do [ "$arg" = "--smoke" ] && SMOKE=1; done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
PEER_ARGS=()
if [ "$SMOKE" -eq 0 ]; then
    GST_PACKAGES=(gstreamer1.0-tools gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav)
    missing=()
    for pkg in "${GST_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    if ((${#missing[@]})); then
        echo "== installing Debian packages: ${missing[*]}"
        $SUDO apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
    # OpenCV and matplotlib live in an environment of their own, so the project's stays as it is.
    PEER_VENV="$BENCH_BUILD/venv"
    if [ ! -x "$PEER_VENV/bin/python" ]; then
        echo "== creating the peer environment"
        "$PYTHON313" -m venv "$PEER_VENV"
    fi
    "$PEER_VENV/bin/python" -m pip install -q opencv-python-headless matplotlib numpy
    PEER_ARGS=(--peer-python "$PEER_VENV/bin/python")

    echo "== building the probes build (stage breakdown)"
    cmake -S "$ROOT/bench" -B "$BENCH_BUILD/probes" -G Ninja >/dev/null
    cmake --build "$BENCH_BUILD/probes" -j "$(nproc)" >/dev/null
fi

echo "== building the bench tools"
mkdir -p "$TOOLS"
g++ -O2 -o "$TOOLS/floor_decode" "$ROOT/bench/floor_decode.cpp" $(pkg-config --cflags --libs libavcodec libavutil)
gcc -O2 -shared -fPIC -o "$TOOLS/libdelivery_poller.so" "$ROOT/bench/delivery_poller.c" -lpthread
[ -x "$BENCH_BUILD/probes/stage_bench" ] && cp "$BENCH_BUILD/probes/stage_bench" "$TOOLS/"

cd "$ROOT"
exec "$VENV/bin/python" bench/run.py --tools "$TOOLS" "${PEER_ARGS[@]}" "$@"
