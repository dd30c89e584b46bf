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

# ---- Fuzzing the frame path ------------------------------------------------------------------
# A clang build of the libFuzzer target (ASan+UBSan): every committed seed and reproducer once,
# then about a minute of fuzzing from the seeds. A crash, leak or sanitizer report fails the run.
echo "== Fuzzing the frame path"
install_debian_packages clang libclang-rt-dev
FUZZ_DIR="$ROOT/build/fuzz"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$FUZZ_DIR" -G Ninja -DTRELVO_BUILD_FUZZER=ON -DTRELVO_BUILD_MODULE=OFF \
    -DTRELVO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$FUZZ_DIR" -j "$JOBS" --target frame_path_fuzzer
FUZZER="$FUZZ_DIR/fuzz/frame_path_fuzzer"
FUZZ_WORK="$(mktemp -d)"
mkdir -p "$FUZZ_WORK/corpus" "$FUZZ_WORK/artifacts"
# The unsupported-subtype inputs print a line each; the fuzzer keeps stdout closed.
"$FUZZER" -close_fd_mask=1 -artifact_prefix="$FUZZ_WORK/artifacts/" "$ROOT"/fuzz/reproducers/* "$ROOT"/fuzz/corpus/*
"$FUZZER" -close_fd_mask=1 -max_total_time=60 -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$FUZZ_WORK/artifacts/" "$FUZZ_WORK/corpus" "$ROOT/fuzz/corpus"
# The shared-memory channel's contents as any process of the user may leave them.
cmake --build "$FUZZ_DIR" -j "$JOBS" --target channel_reader_fuzzer
mkdir -p "$FUZZ_WORK/channel_corpus"
"$FUZZ_DIR/fuzz/channel_reader_fuzzer" -max_total_time=30 -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
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
