#!/usr/bin/env bash
# Installs the Debian packages this project needs, and only those missing.
# Usage: scripts/deps.sh run|test
set -euo pipefail

RUN_PKGS=(cmake ninja-build g++ qt6-base-dev libgl-dev fonts-ipafont-gothic fonts-noto-cjk)
TEST_PKGS=(libgtest-dev googletest xvfb xauth xdotool clang libclang-rt-14-dev
           g++-mingw-w64-x86-64-posix wine wine64 python3 imagemagick)

want=("${RUN_PKGS[@]}")
if [[ "${1:-run}" == test ]]; then want+=("${TEST_PKGS[@]}"); fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null; then
      echo "Missing packages: ${missing[*]}; run as root or install sudo." >&2
      exit 1
    fi
    SUDO="sudo"
  fi
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
