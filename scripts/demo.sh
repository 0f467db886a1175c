#!/usr/bin/env bash
# A whole transfer on a machine without a serial port or a CNC control: the
# built KelvRx in ./demo (or DEMO_DIR) with COM1 on a pseudo-terminal whose far
# end the line simulator plays. Without a display the demo works the dialog
# itself on an X server of its own (scripts/kelvdrive/demo.py says how).
#
# Usage: scripts/demo.sh [build-dir] [program arguments, e.g. 120,80]
# (./run.sh --demo builds and then calls this.) DEMO_PROGRAM: the file the
# control sends (default tools/sample/demo.nc).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift $(($# > 0 ? 1 : 0))
program=$(realpath "${DEMO_PROGRAM:-tools/sample/demo.nc}")
[[ -r $program ]] || { echo "demo.sh: cannot read $program" >&2; exit 1; }
demo=${DEMO_DIR:-demo}
mkdir -p "$demo"
PYTHONPATH=scripts${PYTHONPATH:+:$PYTHONPATH} exec python3 -m kelvdrive.demo "$build" "$demo" "$program" "$@"
