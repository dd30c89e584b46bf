#!/usr/bin/env bash
# Sets the machine up, then runs every test: the C++ suite in a normal, an ASan+UBSan and a TSan
# build, and the Python suite against the installed module.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Every build made here, the module's included, treats a warning as an error.
export TRELVO_WERROR=ON
source "$ROOT/scripts/setup.sh"
# The type information is checked against the built module with mypy (stubtest).
"$VENV/bin/python" -m pip install -q mypy

JOBS="$(nproc)"
run_cpp_suite() {
    local name="$1" sanitize="$2"
    local dir="$ROOT/build/tests-$name"
    echo "== C++ tests ($name)"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DTRELVO_BUILD_TESTS=ON -DTRELVO_BUILD_MODULE=OFF \
        -DTRELVO_SANITIZE="$sanitize" -DTRELVO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$dir" -j "$JOBS"
    # TSan cannot map its shadow memory under full address-space randomisation.
    local launcher=()
    [ "$sanitize" = "thread" ] && launcher=(setarch "$(uname -m)" -R)
    (cd "$dir" && "${launcher[@]}" ctest --output-on-failure -j "$JOBS" --no-tests=error)
}

# Tests never write into a real loopback camera or the default channel of a running relay.
export TRELVOHDCAM_LOOPBACK=off
export TRELVOHDCAM_CHANNEL="/trelvo-tests-$$"
# The channel outlives a failed or interrupted run unless it is removed on every exit.
trap 'rm -f "/dev/shm/trelvo-tests-$$"' EXIT
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export ASAN_OPTIONS="detect_leaks=1"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
run_cpp_suite release ""
run_cpp_suite asan address
run_cpp_suite tsan thread

# ---- Fuzzing: the frame path, the replay descriptions, the channel ----------------------------
# A clang build of the libFuzzer targets (ASan+UBSan): every committed seed and reproducer once,
# then a time-boxed run of each from its seeds (frame path 45 s, replay descriptions 25 s, the
# shared-memory channel 20 s). A crash, leak or sanitizer report fails the run.
echo "== Fuzzing the frame path, the replay descriptions and the channel"
install_debian_packages clang libclang-rt-dev
FUZZ_DIR="$ROOT/build/fuzz"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$FUZZ_DIR" -G Ninja -DTRELVO_BUILD_FUZZER=ON -DTRELVO_BUILD_MODULE=OFF \
    -DTRELVO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$FUZZ_DIR" -j "$JOBS" --target frame_path_fuzzer replay_description_fuzzer channel_reader_fuzzer
FUZZER="$FUZZ_DIR/fuzz/frame_path_fuzzer"
REPLAY_FUZZER="$FUZZ_DIR/fuzz/replay_description_fuzzer"
FUZZ_WORK="$(mktemp -d)"
mkdir -p "$FUZZ_WORK/corpus" "$FUZZ_WORK/replay_corpus" "$FUZZ_WORK/channel_corpus" "$FUZZ_WORK/artifacts"
# The unsupported-subtype inputs print a line each; the fuzzer keeps stdout closed.
"$FUZZER" -close_fd_mask=1 -artifact_prefix="$FUZZ_WORK/artifacts/" "$ROOT"/fuzz/reproducers/* "$ROOT"/fuzz/corpus/*
"$FUZZER" -close_fd_mask=1 -max_total_time=45 -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$FUZZ_WORK/artifacts/" "$FUZZ_WORK/corpus" "$ROOT/fuzz/corpus"
"$REPLAY_FUZZER" -artifact_prefix="$FUZZ_WORK/artifacts/" "$ROOT"/fuzz/replay_corpus/*
"$REPLAY_FUZZER" -max_total_time=25 -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$FUZZ_WORK/artifacts/" "$FUZZ_WORK/replay_corpus" "$ROOT/fuzz/replay_corpus"
# The shared-memory channel's contents as any process of the user may leave them.
"$FUZZ_DIR/fuzz/channel_reader_fuzzer" -max_total_time=20 -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$FUZZ_WORK/artifacts/" "$FUZZ_WORK/channel_corpus" "$ROOT/fuzz/channel_corpus"
rm -rf "$FUZZ_WORK"

echo "== Windows check (the system's code against mingw-w64's Windows SDK headers)"
"$ROOT/scripts/check-windows.sh"

echo "== Kernel check (vivid and v4l2loopback on Debian's own kernel, under QEMU)"
# Chromium joins only with hardware virtualization: under software emulation it takes minutes.
KERNEL_CHECK_ARGS=()
grep -qE '\b(vmx|svm)\b' /proc/cpuinfo && KERNEL_CHECK_ARGS+=(--browser)
TRELVO_SETUP_DONE=1 "$ROOT/scripts/check-kernel.sh" "${KERNEL_CHECK_ARGS[@]}"

echo "== Python tests"
cd "$ROOT"
# C stdout stays buffered, as on users' machines, whatever the calling environment says.
env -u PYTHONUNBUFFERED python -m pytest tests/python -q
