#!/usr/bin/env bash
# Renders the receive dialog at its first start on an X server of its own and
# saves it as a PNG (docs/dialog.png unless told otherwise).
# Usage: scripts/screenshot.sh [build-dir] [output.png]
# Needs xvfb, xdotool and imagemagick (scripts/deps.sh demo).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHONPATH=scripts${PYTHONPATH:+:$PYTHONPATH} exec python3 -m kelvdrive.picture "${1:-build}" "${2:-docs/dialog.png}"
