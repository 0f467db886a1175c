#!/usr/bin/env bash
# A whole transfer on a machine without a serial port or a CNC control.
#
# Makes the demo folder (./demo unless DEMO_DIR says otherwise), puts the built
# KelvRx there with a Kelv.ini whose COM1 is a pseudo-terminal, and starts the
# line simulator on the other end of it: it waits with the DC2 handshake, so
# pressing 受信開始 receives the sample program at 9600 baud and leaves it in
# demo/Rx.nc. The simulator is stopped when the program ends.
#
# Without a display (DISPLAY and WAYLAND_DISPLAY unset) nobody could press the
# button: scripts/xoperator.py then starts a virtual X display and works the
# dialog itself, saves the finished dialog as demo/finished.png, and Rx.nc must
# be the sample byte for byte. Exits non-zero, saying why, when anything failed.
#
# Usage: scripts/demo.sh [build-dir] [program arguments, e.g. 120,80]
# (./run.sh --demo builds and then calls this.) DEMO_PROGRAM: the file the
# control sends (default tools/sample/demo.nc).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift $(($# > 0 ? 1 : 0))
program=$(realpath "${DEMO_PROGRAM:-tools/sample/demo.nc}")

for f in "$build/app/KelvRx" "$build/tools/ncsend"; do
  [[ -x $f ]] || { echo "demo.sh: no $f; build the targets KelvRx and ncsend first" >&2; exit 1; }
done
[[ -r $program ]] || { echo "demo.sh: cannot read $program" >&2; exit 1; }

demo=${DEMO_DIR:-demo}
mkdir -p "$demo"
demo=$(realpath "$demo")
line=$demo/ttyNC

# Replaced in one step, so a copy that is still running does not block it.
cp "$build/app/KelvRx" "$demo/KelvRx.new"
mv -f "$demo/KelvRx.new" "$demo/KelvRx"
rm -f "$demo/Rx.nc" "$demo/finished.png"
# Preset 1: COM1, 9600 baud, ISO, starts and ends at "%". The program keeps
# the [Ports] section as it is when it saves its settings on closing.
printf '%s\r\n' "[Set]" "Active=0" "Port0=0" "baudRate0=4" "Start0=0" "CoadType0=0" \
  "[Ports]" "COM1=$line" >"$demo/Kelv.ini"

sender=""
cleanup() {
  if [[ -n $sender ]] && kill -0 "$sender" 2>/dev/null; then
    kill "$sender" 2>/dev/null || true
    wait "$sender" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

headless=0
[[ -z ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]] && headless=1
# An operator may take a while to press the button; the headless run does not.
wait_dc1=$((headless ? 60 : 0))
"$build/tools/ncsend" --pty "$line" --handshake --timeout "$wait_dc1" --linger-ms 5000 "$program" &
sender=$!
for _ in $(seq 1 200); do
  [[ -L $line ]] && break
  kill -0 "$sender" 2>/dev/null || { echo "demo.sh: the line simulator did not start" >&2; exit 1; }
  sleep 0.05
done
[[ -L $line ]] || { echo "demo.sh: $line did not appear" >&2; exit 1; }

lines=$(wc -l <"$program")
status=0
if ((headless)); then
  echo "demo.sh: no display; the demo starts a virtual one and presses the keys itself"
  echo "demo.sh: the control sends $(basename "$program") ($lines lines) to $demo/Rx.nc"
  python3 scripts/xoperator.py --tag demo.sh --exe "$demo/KelvRx" --line "$line" \
    --sender-pid "$sender" --expect "$program" --shot "$demo/finished.png" -- "$@" || status=$?
  # After a good run the simulator has ended; after a failed one it is stopped.
  if ((status == 0)); then
    wait "$sender" || { status=$?; echo "demo.sh: FAILED: the line simulator ended with status $status" >&2; }
    sender=""
  fi
else
  echo "demo.sh: press 受信開始; the control sends $(basename "$program") ($lines lines) to $demo/Rx.nc"
  "$demo/KelvRx" "$@" || status=$?
fi
if [[ -f $demo/Rx.nc ]]; then
  echo "demo.sh: received $(wc -l <"$demo/Rx.nc") lines into $demo/Rx.nc"
fi
if ((headless)); then
  if ((status)); then
    echo "demo.sh: the demo FAILED (logs: $demo/KelvRx.log, $demo/Xvfb.log)" >&2
  else
    echo "demo.sh: the demo went through; the finished dialog: $demo/finished.png"
  fi
fi
exit "$status"
