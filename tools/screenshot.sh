#!/usr/bin/env bash
# Renders the receive dialog under a virtual X server and saves it as a PNG.
# Usage: tools/screenshot.sh [build-dir] [output.png]
# The program runs from a fresh temporary directory, so it shows the defaults
# of a first start (no Kelv.ini), and it is stopped without closing, so
# nothing is written.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-docs/dialog.png}

for tool in xvfb-run xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/deps.sh test)" >&2; exit 1; }
done
[[ -x "$build/app/KelvRx" ]] || { echo "no $build/app/KelvRx: build it first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$build/app/KelvRx" "$work/"
mkdir -m 700 "$work/xdg"

# Inside the X server: start the program at (20, 20), wait for its window to be
# mapped and painted, grab the screen, crop to the window.
cat >"$work/grab.sh" <<'INNER'
set -euo pipefail
work=$1
env -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$work/xdg" QT_QPA_PLATFORM=xcb "$work/KelvRx" 20,20 &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT
wid=""
for _ in $(seq 1 200); do
  wid=$(xdotool search --onlyvisible --name 'データ受信' 2>/dev/null | head -n1 || true)
  [[ -n "$wid" ]] && break
  sleep 0.05
done
[[ -n "$wid" ]] || { echo "the dialog did not appear" >&2; exit 1; }
sleep 1  # let the first paint finish
eval "$(xdotool getwindowgeometry --shell "$wid")"
import -window root "$work/screen.png"
convert "$work/screen.png" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$work/dialog.png"
INNER

xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" bash "$work/grab.sh" "$work"
mkdir -p "$(dirname "$out")"
cp "$work/dialog.png" "$out"
echo "wrote $out"
