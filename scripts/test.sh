#!/usr/bin/env bash
# Sets the machine up, then runs every test: the C++ suite in a normal, an ASan+UBSan and a TSan
# build, and the Python suite against the installed module.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/setup.sh"
# The type information is checked against the built module with mypy (stubtest).
"$VENV/bin/python" -m pip install -q mypy

JOBS="$(nproc)"
run_cpp_suite() {
    local name="$1" sanitize="$2"
    local dir="$ROOT/build/tests-$name"
    echo "== C++ tests ($name)"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DTRELVO_BUILD_TESTS=ON -DTRELVO_BUILD_MODULE=OFF \
        -DTRELVO_SANITIZE="$sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
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

echo "== Python tests"
cd "$ROOT"
# C stdout stays buffered, as on users' machines, whatever the calling environment says.
env -u PYTHONUNBUFFERED python -m pytest tests/python -q
