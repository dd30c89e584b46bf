#!/usr/bin/env bash
# Checks that the system's code still builds for 64-bit Windows: every unit and header of
# capture/, devices/, pipeline/, common/ and bindings/ is cross-compiled with mingw-w64 against its
# Windows SDK headers (not platform/mfcompat), FFmpeg's and libyuv's headers and trelvohdcam.h,
# with -Wall -Wextra -Werror and windows.h's min/max macros as MSVC defines them; the system's
# objects are then linked into a DLL against the real import libraries (mfplat, mfreadwrite, mf,
# mfuuid, ole32, uuid) with stand-ins for FFmpeg, libyuv and trelvohdcam.dll (tests/windows/).
# The binding units are only parsed (-fsyntax-only): there are no Windows Python headers here, so
# they are checked against this machine's Python headers. Fails on any error or warning.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$ROOT/build/windows"
CXX=x86_64-w64-mingw32-g++-posix
MINGW_PACKAGE=g++-mingw-w64-x86-64-posix

if ! command -v "$CXX" >/dev/null; then
    echo "== installing $MINGW_PACKAGE"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$MINGW_PACKAGE" >/dev/null
fi

PYTHON="$ROOT/.venv/bin/python"
PY_INCLUDES="$("$PYTHON" -c 'import sysconfig, pybind11; print(pybind11.get_include()); print(sysconfig.get_paths()["include"])' 2>/dev/null)" || {
    echo "the Windows check needs .venv with pybind11: run scripts/setup.sh first" >&2
    exit 1
}

# Only the third-party headers go on the include path: a whole /usr/include would put Linux's
# system headers in front of the Windows ones.
rm -rf "$OUT"
mkdir -p "$OUT/include" "$OUT/obj" "$OUT/units"
FFMPEG_INCLUDE="$(pkg-config --variable=includedir libavcodec)"
for lib in libavcodec libavutil libswscale; do
    [ -d "$FFMPEG_INCLUDE/$lib" ] || { echo "no $lib headers in $FFMPEG_INCLUDE" >&2; exit 1; }
    ln -s "$FFMPEG_INCLUDE/$lib" "$OUT/include/$lib"
done
YUV_INCLUDE="$(pkg-config --variable=includedir libyuv 2>/dev/null || echo /usr/include)"
[ -f "$YUV_INCLUDE/libyuv.h" ] || { echo "no libyuv headers in $YUV_INCLUDE" >&2; exit 1; }
ln -s "$YUV_INCLUDE/libyuv" "$OUT/include/libyuv"
ln -s "$YUV_INCLUDE/libyuv.h" "$OUT/include/libyuv.h"

FLAGS=(-std=c++17 -O2 -Wall -Wextra -Wno-unused-parameter -Werror
       -I"$ROOT" -I"$ROOT/platform/trelvohdcam/include" -isystem "$OUT/include")
# Debian's own Python headers choose pyconfig.h by the Linux target they are compiled for, which a
# Windows compiler is not: the binding units then get a copy of the folder with the machine's own.
# (A copy, not links: GCC reads a linked system header from its real folder.)
python_include() {
    local include="$1" multiarch config
    multiarch="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_config_var("MULTIARCH") or "")')"
    config="$(dirname "$include")/$multiarch/$(basename "$include")/pyconfig.h"
    if [ -z "$multiarch" ] || [ ! -f "$config" ]; then
        echo "$include"
        return
    fi
    mkdir -p "$OUT/python"
    cp -R "$include"/. "$OUT/python/"
    cp "$config" "$OUT/python/pyconfig.h"
    echo "$OUT/python"
}
{
    read -r pybind11_include
    read -r python_headers
} <<<"$PY_INCLUDES"
FLAGS+=(-isystem "$pybind11_include" -isystem "$(python_include "$python_headers")")
SYSTEM_FLAGS=("${FLAGS[@]}" -include "$ROOT/tests/windows/msvc_min_max.h")

cd "$ROOT"
mapfile -t SOURCES < <(find capture devices pipeline common bindings -name '*.cpp' | sort)
mapfile -t HEADERS < <(find capture devices pipeline common bindings -name '*.h' | sort)

# Compiles one unit in the background, at most JOBS at a time. Any message (an error, a warning,
# a note) fails the check; the log keeps it.
JOBS="$(nproc)"
compile() {
    local name="$1"
    shift
    "$CXX" "$@" >"$OUT/units/$name.log" 2>&1 || echo "exit status $?" >>"$OUT/units/$name.log"
}
run() {
    while (($(jobs -rp | wc -l) >= JOBS)); do wait -n || true; done
    compile "$@" &
}

objects=()
syntax_only=0
for src in "${SOURCES[@]}"; do
    name="${src//\//_}"
    case "$src" in
        bindings/*)
            run "$name" "${SYSTEM_FLAGS[@]}" -fsyntax-only "$src"
            syntax_only=$((syntax_only + 1))
            ;;
        *)
            objects+=("$OUT/obj/$name.o")
            run "$name" "${SYSTEM_FLAGS[@]}" -c -o "$OUT/obj/$name.o" "$src"
            ;;
    esac
done
# Each header on its own: it must bring what it needs on Windows too.
for header in "${HEADERS[@]}"; do
    name="${header//\//_}"
    printf '#include "%s"\n' "$header" >"$OUT/units/$name.cpp"
    run "$name" "${SYSTEM_FLAGS[@]}" -fsyntax-only "$OUT/units/$name.cpp"
done
run standins "${FLAGS[@]}" -c -o "$OUT/obj/standins.o" tests/windows/standins.cpp
run trelvohdcam "${FLAGS[@]}" -shared -o "$OUT/trelvohdcam.dll" tests/windows/trelvohdcam_standin.cpp \
    -Wl,--out-implib,"$OUT/libtrelvohdcam.dll.a"
wait

failed=0
for log in "$OUT"/units/*.log; do
    if [ -s "$log" ]; then
        echo "--- $(basename "$log" .log)"
        cat "$log"
        failed=1
    fi
done
if ((failed)); then
    echo "Windows check: the system's code does not compile cleanly for Windows (above)" >&2
    exit 1
fi

DLL="$OUT/trelvo-system.dll"
"$CXX" -shared -o "$DLL" "${objects[@]}" "$OUT/obj/standins.o" -L"$OUT" -ltrelvohdcam \
    -lmfplat -lmfreadwrite -lmf -lmfuuid -lole32 -luuid -static-libgcc -static-libstdc++ \
    -Wl,--no-undefined -Wl,--fatal-warnings
imports="$(x86_64-w64-mingw32-objdump -p "$DLL" | awk '/DLL Name:/ {print $3}' | sort -f | paste -sd' ')"
echo "Windows check: ${#objects[@]} units compiled and linked into $(basename "$DLL") (imports: $imports)," \
    "$syntax_only binding units and ${#HEADERS[@]} headers parsed, no warning"
