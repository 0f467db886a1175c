#!/usr/bin/env bash
# Builds KelvRx, ncsend and the two helpers in Release (build-bench) and prints
# the benchmark table of bench/bench.py on standard output (progress and build
# messages go to standard error), for example: bench/run.sh > /tmp/table.md
# Needs valgrind (callgrind counts the instructions per received byte).
# Usage: bench/run.sh [--megabytes N] [--callgrind-megabytes N] [--only STEP] [--keep]
# KELV_BUILD_ROOT puts the build folder elsewhere (default: here).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test >&2
BUILD=${KELV_BUILD_ROOT:-.}/build-bench
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELV_TESTS=OFF -DKELV_BENCH=ON >&2
cmake --build "$BUILD" -j2 --target KelvRx ncsend kelvstall kelvsleepfloor >&2
exec python3 bench/bench.py --build "$BUILD" "$@"
