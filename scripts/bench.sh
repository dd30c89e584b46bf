#!/usr/bin/env bash
# Benchmarks trelvo against ffmpeg, GStreamer, OpenCV and a libavcodec floor on generated inputs,
# and writes bench/results/report.md, report.png and results.json.
#   scripts/bench.sh            full run (5 repetitions, about a quarter of an hour)
#   scripts/bench.sh --smoke    a few frames, one repetition, trelvo rows only (results under
#                               build/bench/smoke-results; the committed report stays as it is)
#   scripts/bench.sh --baseline-rev REV
#                               also measures the trelvo of git revision REV (built into
#                               build/bench/baseline-REV) in the same run, for a before/after table
# Further options go to bench/run.py (--reps N, --seconds S, --out DIR, --no-peers, --rss-pictures N).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/setup.sh"

BENCH_BUILD="$ROOT/build/bench"
TOOLS="$BENCH_BUILD/bin"
SMOKE=0
BASELINE_REV=""
RUN_ARGS=()
while (($#)); do
    case "$1" in
        --smoke) SMOKE=1; RUN_ARGS+=("$1") ;;
        --baseline-rev) BASELINE_REV="$2"; shift ;;
        *) RUN_ARGS+=("$1") ;;
    esac
    shift
done

PEER_ARGS=()
if [ "$SMOKE" -eq 0 ]; then
    install_debian_packages gstreamer1.0-tools gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav
    # OpenCV and matplotlib live in an environment of their own, so the project's stays as it is.
    PEER_VENV="$BENCH_BUILD/venv"
    if [ ! -x "$PEER_VENV/bin/python" ]; then
        echo "== creating the peer environment"
        "$PYTHON313" -m venv "$PEER_VENV"
    fi
    "$PEER_VENV/bin/python" -m pip install -q opencv-python-headless matplotlib numpy
    PEER_ARGS=(--peer-python "$PEER_VENV/bin/python")

    echo "== building the probes build (stage breakdown)"
    cmake -S "$ROOT/bench" -B "$BENCH_BUILD/probes" -G Ninja -DTRELVO_WERROR="${TRELVO_WERROR:-OFF}" >/dev/null
    cmake --build "$BENCH_BUILD/probes" -j "$(nproc)" >/dev/null
fi

echo "== building the bench tools"
mkdir -p "$TOOLS"
WARNINGS=(-Wall -Wextra)
[ "${TRELVO_WERROR:-OFF}" = ON ] && WARNINGS+=(-Werror)  # as scripts/test.sh asks
g++ -O2 "${WARNINGS[@]}" -o "$TOOLS/floor_decode" "$ROOT/bench/floor_decode.cpp" \
    $(pkg-config --cflags --libs libavcodec libavutil)
gcc -O2 "${WARNINGS[@]}" -shared -fPIC -o "$TOOLS/libdelivery_poller.so" "$ROOT/bench/delivery_poller.c" -lpthread
[ -x "$BENCH_BUILD/probes/stage_bench" ] && cp "$BENCH_BUILD/probes/stage_bench" "$TOOLS/"

if [ -n "$BASELINE_REV" ]; then
    BASE="$BENCH_BUILD/baseline-$BASELINE_REV"
    if [ ! -e "$BASE/site/trelvo_tools" ]; then
        echo "== building trelvo at $BASELINE_REV for the before/after rows"
        rm -rf "$BASE"
        mkdir -p "$BASE/src"
        git -C "$ROOT" archive "$BASELINE_REV" | tar -x -C "$BASE/src"
        "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps --target "$BASE/site" "$BASE/src"
    fi
    PEER_ARGS+=(--baseline "$BASE/site" --baseline-label "$BASELINE_REV")
fi
if [ "$SMOKE" -eq 0 ] && [ -f "$ROOT/bench/results/what-changed.md" ]; then
    PEER_ARGS+=(--changes "$ROOT/bench/results/what-changed.md")
fi

cd "$ROOT"
exec "$VENV/bin/python" bench/run.py --tools "$TOOLS" "${PEER_ARGS[@]}" "${RUN_ARGS[@]}"
