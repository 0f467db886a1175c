#!/usr/bin/env bash
# A whole transfer on a machine without a serial port or a CNC control: the
# built KelvRx in ./demo (or DEMO_DIR) with COM1 on a pseudo-terminal whose far
# end the line simulator plays. Without a display the demo works the dialog
# itself on an X server of its own (scripts/kelvdrive/demo.py says how).
#
# Usage: scripts/demo.sh [build-dir] [program arguments, e.g. 120,80]
#        scripts/demo.sh --wine [host-build-dir]
# (./run.sh --demo [--wine] builds and then calls this.) DEMO_PROGRAM: the file
# the control sends (default tools/sample/demo.nc). --wine: dist/KelvRx.exe
# under Wine in ./demo-wine (or DEMO_DIR), with the line simulator of the host
# build (default build-host); where the kernel runs no 32-bit programs
# (scripts/winarch.sh, KELV_WIN_ARCH), the 64-bit build in build-win64 under
# wine64.
set -euo pipefail
cd "$(dirname "$0")/.."
wine=0
if [[ ${1:-} == --wine ]]; then wine=1; shift; fi
build=${1:-$( ((wine)) && echo build-host || echo build)}
shift $(($# > 0 ? 1 : 0))
program=$(realpath "${DEMO_PROGRAM:-tools/sample/demo.nc}")
[[ -r $program ]] || { echo "demo.sh: cannot read $program" >&2; exit 1; }
if ((wine)); then
  demo=${DEMO_DIR:-demo-wine}
  mkdir -p "$demo"
  if [[ -z ${KELV_WIN_ARCH:-} ]]; then
    arch_line=$(scripts/winarch.sh)
    export KELV_WIN_ARCH=${arch_line%% *} KELV_WIN_ARCH_WHY=${arch_line#* }
  fi
  # The shipped 32-bit program, or its 64-bit build where no 32-bit program runs.
  exe=dist/KelvRx.exe
  [[ $KELV_WIN_ARCH == 64 ]] && exe=${KELV_WIN_BUILD64:-build-win64}/app/KelvRx.exe
  PYTHONPATH=scripts${PYTHONPATH:+:$PYTHONPATH} exec python3 -m kelvdrive.demo --wine \
    "$exe" "$build/tools/ncsend" "$demo" "$program"
fi
demo=${DEMO_DIR:-demo}
mkdir -p "$demo"
PYTHONPATH=scripts${PYTHONPATH:+:$PYTHONPATH} exec python3 -m kelvdrive.demo "$build" "$demo" "$program" "$@"
