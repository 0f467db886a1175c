#!/usr/bin/env bash
# Builds and starts the program. Extra arguments go to the program
# (for example the window position: ./run.sh 120,80).
# ./run.sh --demo: a whole transfer without hardware (scripts/demo.sh).
# KELV_BUILD_ROOT puts the build folder elsewhere (default: here).
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh run
BUILD=${KELV_BUILD_ROOT:-.}/build
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELV_TESTS=OFF >/dev/null
if [[ ${1:-} == --demo ]]; then
  shift
  cmake --build "$BUILD" --target KelvRx ncsend
  exec scripts/demo.sh "$BUILD" "$@"
fi
cmake --build "$BUILD" --target KelvRx
if [[ -z ${DISPLAY:-}${WAYLAND_DISPLAY:-} && -z ${QT_QPA_PLATFORM:-} ]]; then
  echo "run.sh: no display found (DISPLAY/WAYLAND_DISPLAY unset); on a headless machine try: xvfb-run -a ./run.sh" >&2
fi
exec "$BUILD/app/KelvRx" "$@"
