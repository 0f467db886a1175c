#!/usr/bin/env bash
# Receives a program the way an operator does (the black-box test of
# tests/blackbox/receive_test.py with a code, a start mode and a program of
# your choice, at 38400 baud): the built program in a fresh folder on an X
# server of its own, COM1 a pseudo-terminal whose far end the line simulator
# plays; Rx.nc and Kelv.ini are checked afterwards.
#
# Usage: scripts/rx-blackbox.sh [build-dir] [iso|eia] [mode 0..3] [program]
# NCSEND_ARGS adds options for the simulator (e.g. --flat-out --overrun 16).
# SHOT=file.png saves the dialog as it stands after the reception.
set -euo pipefail
shot=${SHOT:+$(realpath -m "$SHOT")}
program=$(realpath "${4:-$(dirname "$0")/../tools/sample/demo.nc}")
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
sender_args=()
# shellcheck disable=SC2086  # NCSEND_ARGS is a list of options
for a in --quiet ${NCSEND_ARGS:-}; do sender_args+=("--sender-arg=$a"); done
exec python3 tests/blackbox/receive_test.py --kelvrx "$build/app/KelvRx" \
  --ncsend "$build/tools/ncsend" --program "$program" --code "${2:-iso}" --mode "${3:-0}" \
  --baud 38400 ${shot:+--shot "$shot"} "${sender_args[@]}"
