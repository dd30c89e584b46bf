#!/usr/bin/env bash
# Prepares a fresh Debian machine: system packages, a Python 3.13 virtual environment with the
# build and test tools, and trelvo built and installed into it. Safe to run again.
# TRELVO_WERROR=ON (set by scripts/test.sh) builds the module with warnings as errors.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

DEBIAN_PACKAGES=(g++ make pkg-config libavcodec-dev libavutil-dev libswscale-dev libyuv-dev nlohmann-json3-dev libgtest-dev libjpeg-dev ffmpeg)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
APT_UPDATED=""

apt_update_once() {
    [ -n "$APT_UPDATED" ] && return 0
    $SUDO apt-get update -qq
    APT_UPDATED=1
}

# Installs those of the given Debian packages that are not installed yet (the other scripts that
# source this one use it too).
install_debian_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    if ((${#missing[@]})); then
        echo "== installing Debian packages: ${missing[*]}"
        apt_update_once
        $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# True when this Debian release packages Python 3.13 (Debian 13 and later).
debian_has_python313() {
    local policy
    policy="$(apt-cache policy python3.13 2>/dev/null)"
    [[ "$policy" == *"Candidate: "[0-9]* ]]
}

# Prints the path of an interpreter of the given minor version (3.13, 3.12) that can create a
# virtual environment with pip and has its C headers, or nothing. Debian's own comes first, then
# python3.13 on PATH, then pyenv's.
find_python() {
    local version="$1" candidate
    for candidate in "/usr/bin/python$version" "python$version" \
        "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version"; do
        if "$candidate" - "$version" >/dev/null 2>&1 <<'PYCHECK'
import ensurepip, os, sys, sysconfig, venv
wanted = tuple(map(int, sys.argv[1].split(".")))
sys.exit(sys.version_info[:2] != wanted
         or not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
PYCHECK
        then
            "$candidate" -c "import sys; print(sys.executable)"
            return 0
        fi
    done
    return 1
}

# Scripts that run after a set-up (scripts/test.sh's) take only the functions above.
[ "${TRELVO_SETUP_FUNCTIONS_ONLY:-}" = 1 ] && return 0

install_debian_packages "${DEBIAN_PACKAGES[@]}"

# Python 3.13 with venv and headers comes from Debian where Debian has it, else from PATH or pyenv.
if ! debian_has_python313 && ! find_python 3.13 >/dev/null; then
    apt_update_once  # the package lists may predate this release's python3.13
fi
if debian_has_python313; then
    install_debian_packages python3.13 python3.13-venv python3.13-dev
fi
PYTHON313="$(find_python 3.13)" || {
    echo "trelvo needs Python 3.13 with venv and its C headers. This Debian release does not" \
        "package it: install it with pyenv (pyenv install 3.13), or put a python3.13 that has" \
        "them on PATH, then run this again." >&2
    exit 1
}
export PYTHON313
PYTHON312="$(find_python 3.12 || true)"
export PYTHON312

# A virtual environment of another Python, without pip, or whose interpreter has gone is rebuilt.
if ! "$VENV/bin/python" -c "import sys, pip; sys.exit(sys.version_info[:2] != (3, 13))" >/dev/null 2>&1; then
    echo "== creating the virtual environment with $PYTHON313"
    rm -rf "$VENV"
    "$PYTHON313" -m venv "$VENV" || {
        rm -rf "$VENV"
        echo "could not create the virtual environment in $VENV with $PYTHON313" >&2
        exit 1
    }
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.0,<4" "cmake>=3.24" ninja pytest numpy

echo "== building and installing trelvo"
"$VENV/bin/python" -m pip install -q --no-build-isolation \
    -Ccmake.define.TRELVO_WERROR="${TRELVO_WERROR:-OFF}" "$ROOT"
export PATH="$VENV/bin:$PATH"
