#!/usr/bin/env bash
# Sets the machine up, then runs trelvo's main job: the cameras of this machine, and a relay.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/setup.sh"
cd "$ROOT"
python -m trelvo_tools demo "$@"
