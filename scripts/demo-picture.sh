#!/usr/bin/env bash
# Renders the picture of a finished demo receive (docs/demo-finished.png): runs
# scripts/demo.sh under a virtual X server in a temporary demo folder, presses
# Enter to start, waits for Rx.nc, grabs the screen, crops it to the window and
# presses Enter again to close.
# Usage: scripts/demo-picture.sh [build-dir] [output.png]
# Needs xvfb, xdotool and imagemagick (scripts/deps.sh test).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
out=${2:-docs/demo-finished.png}

for tool in xvfb-run xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/deps.sh test)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/xdg"

cat >"$work/grab.sh" <<'INNER'
set -euo pipefail
work=$1 build=$2
DEMO_DIR="$work/demo" XDG_RUNTIME_DIR="$work/xdg" QT_QPA_PLATFORM=xcb \
  scripts/demo.sh "$build" 20,20 >"$work/demo.log" 2>&1 &
demo=$!
trap 'kill "$demo" 2>/dev/null || true' EXIT
wid=$(timeout 60 xdotool search --sync --onlyvisible --name '^データ受信$' | head -n1)
[[ -n "$wid" ]] || { echo "the dialog did not appear" >&2; exit 1; }
xdotool windowfocus --sync "$wid"
xdotool key Return
for _ in $(seq 1 600); do
  [[ -f "$work/demo/Rx.nc" ]] && break
  sleep 0.1
done
[[ -f "$work/demo/Rx.nc" ]] || { cat "$work/demo.log" >&2; echo "no Rx.nc" >&2; exit 1; }
sleep 1  # the end state painted
eval "$(xdotool getwindowgeometry --shell "$wid")"
import -window root "$work/screen.png"
convert "$work/screen.png" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$work/finished.png"
xdotool key Return
wait "$demo"
INNER

xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" bash "$work/grab.sh" "$work" "$build"
mkdir -p "$(dirname "$out")"
cp "$work/finished.png" "$out"
echo "wrote $out"
