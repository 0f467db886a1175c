#!/usr/bin/env bash
# Builds and starts the program. Extra arguments go to the program
# (for example the window position: ./run.sh 120,80).
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELV_TESTS=OFF >/dev/null
cmake --build build --target KelvRx
exec build/app/KelvRx "$@"
