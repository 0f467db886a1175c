#!/usr/bin/env bash
# Builds KelvRx, ncsend and the two helpers in Release (build-bench) and prints
# the benchmark table of bench/bench.py on standard output (progress and build
# messages go to standard error), for example: bench/run.sh > /tmp/table.md
# Needs valgrind (callgrind counts the instructions per received byte).
# Usage: bench/run.sh [--megabytes N] [--callgrind-megabytes N] [--only STEP] [--keep]
#        bench/run.sh --windows [--keep]
#   --windows: the Windows program under Wine beside this build (bench/wine_bench.py):
#   CPU, wake-ups, and its calls per line and per byte; KelvRx.exe is the one the
#   Windows stage runs on this machine (scripts/winarch.sh).
# KELV_BUILD_ROOT puts the build folder elsewhere (default: here).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test >&2
BUILD=${KELV_BUILD_ROOT:-.}/build-bench
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELV_TESTS=OFF -DKELV_BENCH=ON >&2
cmake --build "$BUILD" -j2 --target KelvRx ncsend kelvstall kelvsleepfloor >&2
if [[ ${1:-} == --windows ]]; then
  shift
  arch_line=$(scripts/winarch.sh)
  export KELV_WIN_ARCH=${arch_line%% *} KELV_WIN_ARCH_WHY=${arch_line#* }
  scripts/build-windows.sh --arch "$KELV_WIN_ARCH" >&2
  exe=dist/KelvRx.exe
  [[ $KELV_WIN_ARCH == 64 ]] && exe=${KELV_WIN_BUILD64:-build-win64}/app/KelvRx.exe
  ns=()
  [[ $KELV_WIN_ARCH == 32 ]] && ns=(scripts/wine32-ns.sh)  # Wine's 32-bit side, unpacked
  exec "${ns[@]}" python3 bench/wine_bench.py --exe "$exe" --linux "$BUILD/app/KelvRx" \
    --ncsend "$BUILD/tools/ncsend" "$@"
fi
exec python3 bench/bench.py --build "$BUILD" "$@"
