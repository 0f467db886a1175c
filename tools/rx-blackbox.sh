#!/usr/bin/env bash
# Receives a program the way an operator does: the built program runs from a
# fresh folder under a virtual X server, with COM1 leading to a pseudo-terminal
# whose far end the line simulator plays as the CNC control. Enter starts the
# reception, the control punches the program out (waiting for the DC1 answer
# to its DC2 first), Enter closes the dialog; then "Rx.nc" is compared with the
# program as it should have been stored.
#
# Usage: tools/rx-blackbox.sh [build-dir] [iso|eia] [mode 0..3] [program]
# Mode 2 has no end marker: the reception is ended with Esc once all is sent.
# NCSEND_ARGS adds options for the simulator (e.g. --flat-out --overrun 16).
# SHOT=file.png saves the dialog as it stands after the reception.
# Exits non-zero, saying why, when anything differs.
set -euo pipefail
# Paths given are taken from here; the build folder from the source tree, as
# the other tools do.
shot=${SHOT:+$(realpath -m "$SHOT")}
program=$(realpath "${4:-$(dirname "$0")/sample/demo.nc}")
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
code=${2:-iso}
mode=${3:-0}

for tool in Xvfb xdotool python3 ${shot:+import}; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/deps.sh demo)" >&2; exit 1; }
done
for exe in app/KelvRx tools/ncsend; do
  [[ -x "$build/$exe" ]] || { echo "no $build/$exe: build it first" >&2; exit 1; }
done
case $code in iso) code_type=0 ;; eia) code_type=1 ;; *) echo "code: iso or eia" >&2; exit 2 ;; esac
[[ $mode =~ ^[0-3]$ ]] || { echo "mode: 0 to 3" >&2; exit 2; }

work=$(mktemp -d)
sender=""
cleanup() {
  [[ -n $sender ]] && kill "$sender" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cp "$build/app/KelvRx" "$work/"
# Preset 1: COM1 at 38400 with the chosen code and mode. COM1 is the link the
# simulator makes, so nothing but our pseudo-terminal is ever opened.
printf '[Set]\r\nActive=0\r\nPort0=0\r\nbaudRate0=7\r\nStart0=%s\r\nCoadType0=%s\r\n[Ports]\r\nCOM1=%s\r\n' \
  "$mode" "$code_type" "$work/COM1" >"$work/Kelv.ini"

echo "rx-blackbox: $code, mode $mode, $(basename "$program")"
# shellcheck disable=SC2086  # NCSEND_ARGS is a list of options
"$build/tools/ncsend" --pty "$work/COM1" --handshake --code "$code" --mode "$mode" \
  --baud 38400 --timeout 30 --linger-ms 3000 --quiet ${NCSEND_ARGS:-} "$program" \
  >"$work/ncsend.out" 2>"$work/ncsend.log" </dev/null &
sender=$!
for _ in $(seq 1 200); do
  [[ -L $work/COM1 ]] && break
  sleep 0.05
done
[[ -L $work/COM1 ]] || { cat "$work/ncsend.log" >&2; echo "the simulator made no line" >&2; exit 1; }

# Enter starts, Esc ends in mode 2, Enter closes; Rx.nc must hold the program
# (the operator compares it).
python3 scripts/xoperator.py --tag "  rx-blackbox" --exe "$work/KelvRx" --line "$work/COM1" \
  --sender-pid "$sender" --mode "$mode" --expect "$program" ${shot:+--shot "$shot"} -- 20,20 ||
  exit 1
status=0
wait "$sender" || status=$?
sender=""
if ((status)); then
  echo "the simulator failed (status $status):" >&2; cat "$work/ncsend.out" "$work/ncsend.log" >&2; exit 1
fi
# Its summary; one line per DC3 stop is too much here.
while IFS= read -r l; do echo "  simulator: $l"; done < <(grep -v ': DC3 [0-9]* at ' "$work/ncsend.out")
grep -q '^Name1=' "$work/Kelv.ini" || { echo "the settings were not saved at close" >&2; exit 1; }
grep -q "^COM1=$work/COM1" "$work/Kelv.ini" || { echo "the Ports section was lost" >&2; exit 1; }
echo "rx-blackbox: Rx.nc holds the program ($(wc -l <"$work/Rx.nc") lines, $(wc -c <"$work/Rx.nc") bytes); settings saved"
