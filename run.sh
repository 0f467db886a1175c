#!/usr/bin/env bash
# Builds and starts the program. Extra arguments go to the program
# (for example the window position: ./run.sh 120,80).
# ./run.sh --demo: a whole transfer without hardware (scripts/demo.sh); without
# a display it runs on a virtual one and presses the keys itself.
# ./run.sh --demo --wine: the same with KelvRx.exe (cross-built) under Wine.
# KELV_BUILD_ROOT puts the build folder elsewhere (default: here).
set -euo pipefail
cd "$(dirname "$0")"
demo=0
wine=0
if [[ ${1:-} == --demo ]]; then demo=1; shift; fi
if ((demo)) && [[ ${1:-} == --wine ]]; then wine=1; shift; fi
display=0
[[ -n ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]] && display=1
# A platform chosen by hand that needs no display (offscreen, vnc, ...) is left to the user.
[[ -n ${QT_QPA_PLATFORM:-} && $QT_QPA_PLATFORM != xcb* && $QT_QPA_PLATFORM != wayland* ]] && display=1

if ((wine)); then
  # The Windows program under Wine: the line simulator for this machine and
  # KelvRx.exe; Wine shows the window on the display, or on one of its own.
  # Which Wine, decided once: the shipped 32-bit exe under Wine's 32-bit side,
  # or, where the kernel runs no 32-bit programs, a 64-bit build under wine64.
  arch_line=$(scripts/winarch.sh)
  export KELV_WIN_ARCH=${arch_line%% *} KELV_WIN_ARCH_WHY=${arch_line#* }
  echo "run.sh: the $KELV_WIN_ARCH-bit KelvRx.exe, because $KELV_WIN_ARCH_WHY"
  scripts/deps.sh demo-wine
  BUILD=${KELV_BUILD_ROOT:-.}/build-host
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELV_WITH_QT=OFF -DKELV_TESTS=OFF >/dev/null
  cmake --build "$BUILD" --target ncsend
  scripts/build-windows.sh --arch "$KELV_WIN_ARCH"
  # Wine's 32-bit side laid over /usr for the demo alone where it is not installed.
  [[ $KELV_WIN_ARCH == 32 ]] && exec scripts/wine32-ns.sh scripts/demo.sh --wine "$BUILD"
  exec scripts/demo.sh --wine "$BUILD"
fi
if ((!demo && !display)); then
  # Said before anything is installed or built: the toolkit would only abort.
  echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are unset), so the dialog cannot open; try ./run.sh --demo, which receives a sample program on a virtual display of its own" >&2
  exit 1
fi
if ((demo)) && [[ -z ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]]; then
  scripts/deps.sh demo
else
  scripts/deps.sh run
fi
BUILD=${KELV_BUILD_ROOT:-.}/build
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELV_TESTS=OFF >/dev/null
if ((demo)); then
  cmake --build "$BUILD" --target KelvRx ncsend
  exec scripts/demo.sh "$BUILD" "$@"
fi
cmake --build "$BUILD" --target KelvRx
exec "$BUILD/app/KelvRx" "$@"
