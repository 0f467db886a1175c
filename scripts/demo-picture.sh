#!/usr/bin/env bash
# Renders the picture of a finished demo receive (docs/demo-finished.png): runs
# the demo without a display in a temporary folder, where scripts/demo.sh works
# the dialog itself on a virtual X server and saves it as it stands at the end.
# Usage: scripts/demo-picture.sh [build-dir] [output.png]
# Needs xvfb, xdotool and imagemagick (scripts/deps.sh demo).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
out=${2:-docs/demo-finished.png}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! env -u DISPLAY -u WAYLAND_DISPLAY DEMO_DIR="$work/demo" \
     scripts/demo.sh "$build" 20,20 >"$work/demo.log" 2>&1; then
  cat "$work/demo.log" >&2
  exit 1
fi
mkdir -p "$(dirname "$out")"
cp "$work/demo/finished.png" "$out"
echo "wrote $out"
