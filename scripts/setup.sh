#!/usr/bin/env bash
# Prepares a fresh Debian machine: system packages, a Python 3.13 virtual environment with the
# build and test tools, and trelvo built and installed into it. Safe to run again.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

DEBIAN_PACKAGES=(g++ make pkg-config libavcodec-dev libavutil-dev libswscale-dev libyuv-dev libgtest-dev libjpeg-dev ffmpeg)

install_debian_packages() {
    local missing=()
    for pkg in "${DEBIAN_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    if ((${#missing[@]})); then
        echo "== installing Debian packages: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# Prints the path of a working interpreter of the given minor version (3.13, 3.12), or nothing.
find_python() {
    local version="$1" candidate
    for candidate in "python$version" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version"; do
        if "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" \
            >/dev/null 2>&1; then
            "$candidate" -c "import sys; print(sys.executable)"
            return 0
        fi
    done
    return 1
}

install_debian_packages

PYTHON313="$(find_python 3.13)" || {
    echo "trelvo needs Python 3.13: install it (python3.13 on PATH, or pyenv's 3.13.x)" >&2
    exit 1
}
export PYTHON313
PYTHON312="$(find_python 3.12 || true)"
export PYTHON312

if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c "import sys; sys.exit(sys.version_info[:2] != (3, 13))"; then
    echo "== creating the virtual environment with $PYTHON313"
    rm -rf "$VENV"
    "$PYTHON313" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.0,<4" "cmake>=3.24" ninja pytest numpy

echo "== building and installing trelvo"
"$VENV/bin/python" -m pip install -q --no-build-isolation "$ROOT"
export PATH="$VENV/bin:$PATH"
