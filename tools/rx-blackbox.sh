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

for tool in xvfb-run xdotool python3 ${shot:+import}; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/deps.sh test)" >&2; exit 1; }
done
for exe in app/KelvRx tools/ncsend; do
  [[ -x "$build/$exe" ]] || { echo "no $build/$exe: build it first" >&2; exit 1; }
done
case $code in iso) code_type=0 ;; eia) code_type=1 ;; *) echo "code: iso or eia" >&2; exit 2 ;; esac
[[ $mode =~ ^[0-3]$ ]] || { echo "mode: 0 to 3" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$build/app/KelvRx" "$work/"
mkdir -m 700 "$work/xdg"
# Preset 1: COM1 at 38400 with the chosen code and mode. COM1 is the link the
# simulator makes, so nothing but our pseudo-terminal is ever opened.
printf '[Set]\r\nActive=0\r\nPort0=0\r\nbaudRate0=7\r\nStart0=%s\r\nCoadType0=%s\r\n[Ports]\r\nCOM1=%s\r\n' \
  "$mode" "$code_type" "$work/COM1" >"$work/Kelv.ini"

# What "Rx.nc" must hold: the program's lines, blanks and control codes gone
# from both ends, each ended by CR LF. In mode 2 the LF of the opening "%"
# line starts the reception, so that line is received as an empty one.
python3 - "$program" "$mode" >"$work/expected" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
lines = data.split(b"\n")
if lines and lines[-1] == b"":
    lines.pop()
strip = bytes(range(0x21))
lines = [l.strip(strip) for l in lines]
if sys.argv[2] == "2":
    lines[0] = b""
sys.stdout.buffer.write(b"".join(l + b"\r\n" for l in lines))
PY

cat >"$work/operate.sh" <<'INNER'
set -euo pipefail
work=$1 build=$2 code=$3 mode=$4 program=$5 extra=$6 shot=$7
say() { echo "  $*"; }
wait_for() {  # seconds, command...
  local n=$(( $1 * 20 )); shift
  for _ in $(seq 1 "$n"); do "$@" && return 0; sleep 0.05; done
  return 1
}

"$build/tools/ncsend" --pty "$work/COM1" --handshake --code "$code" --mode "$mode" \
  --baud 38400 --timeout 30 --linger-ms 3000 --quiet $extra "$program" >"$work/ncsend.out" 2>"$work/ncsend.log" &
sender=$!
wait_for 10 test -L "$work/COM1" || { echo "the simulator made no line" >&2; exit 1; }

cd "$work"
env -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$work/xdg" QT_QPA_PLATFORM=xcb ./KelvRx 20,20 &
rx=$!
trap 'kill "$rx" "$sender" 2>/dev/null || true' EXIT
wid=""
find_window() { wid=$(xdotool search --onlyvisible --name 'データ受信' 2>/dev/null | head -n1); [[ -n $wid ]]; }
wait_for 15 find_window || { echo "the dialog did not appear" >&2; exit 1; }
sleep 0.5
xdotool windowfocus --sync "$wid"
say "dialog up; Enter starts the reception"
xdotool key Return

if ! wait "$sender"; then
  echo "the simulator failed:" >&2; cat "$work/ncsend.out" "$work/ncsend.log" >&2; exit 1
fi
# Its summary; one line per DC3 stop is too much here.
while IFS= read -r l; do say "simulator: $l"; done < <(grep -v ': DC3 [0-9]* at ' "$work/ncsend.out")
if [[ $mode == 2 ]]; then
  sleep 1
  say "no end marker in mode 2: Esc ends the reception"
  xdotool key Escape
fi
wait_for 15 test -f "$work/Rx.nc" || { echo "no Rx.nc after the reception" >&2; exit 1; }
sleep 0.3
if [[ -n $shot ]]; then
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shot"
  say "dialog saved as $shot"
fi
say "Rx.nc written; Enter closes the dialog"
xdotool key Return
wait_for 10 bash -c "! kill -0 $rx 2>/dev/null" || { echo "the program did not end" >&2; exit 1; }
wait "$rx" || { echo "the program ended with status $?" >&2; exit 1; }
trap - EXIT
say "program ended"
INNER

echo "rx-blackbox: $code, mode $mode, $(basename "$program")"
xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" \
  bash "$work/operate.sh" "$work" "$build" "$code" "$mode" "$program" "${NCSEND_ARGS:-}" "$shot"

if ! cmp -s "$work/expected" "$work/Rx.nc"; then
  echo "Rx.nc differs from the program sent:" >&2
  diff <(tr -d '\r' <"$work/expected") <(tr -d '\r' <"$work/Rx.nc") | head -20 >&2 || true
  exit 1
fi
grep -q '^Name1=' "$work/Kelv.ini" || { echo "the settings were not saved at close" >&2; exit 1; }
grep -q "^COM1=$work/COM1" "$work/Kelv.ini" || { echo "the Ports section was lost" >&2; exit 1; }
echo "rx-blackbox: Rx.nc holds the program ($(wc -l <"$work/Rx.nc") lines, $(wc -c <"$work/Rx.nc") bytes); settings saved"
