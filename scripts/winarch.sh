#!/usr/bin/env bash
# Which Wine the Windows stage and the Wine demo use on this machine, decided
# once per run; prints one line: "32" or "64", then why.
#   32  the shipped 32-bit KelvRx.exe in a 32-bit prefix (Wine's 32-bit side)
#   64  the same sources built for x86_64, under wine64 in a 64-bit prefix:
#       for kernels that run no 32-bit programs ("32-bit emulation disabled")
# KELV_WIN_ARCH=32|64 forces a path; forcing 32 where no 32-bit program can
# run is an error (exit 1), said as such.
set -uo pipefail

# The smallest 32-bit x86 Linux program: exit(7) through int 0x80. Whether the
# kernel runs it is the question; no package is needed to ask it.
PROBE='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x07\x00\x00\x00\xcd\x80'

# Sets why and returns 0 when a 32-bit program runs here.
runs_32bit() {
  local dir out status
  # A temporary folder may be mounted noexec: then the project's own folder.
  for dir in "${TMPDIR:-/tmp}" "$(cd "$(dirname "$0")/.." && pwd)"; do
    local probe
    probe=$(mktemp "$dir/kelv-probe32.XXXXXX" 2>/dev/null) || continue
    printf "$PROBE" >"$probe" && chmod +x "$probe"
    out=$("$probe" 2>&1)
    status=$?
    rm -f "$probe"
    if ((status == 7)); then
      why="this machine runs 32-bit x86 programs"
      return 0
    fi
    if [[ $out == *"Exec format error"* || $out == *"cannot execute binary"* ]]; then
      why="this machine's kernel runs no 32-bit x86 programs (a 32-bit probe: Exec format error)"
      return 1
    fi
  done
  why="a 32-bit probe could not be run here (${out:-no folder to run it from})"
  return 1
}

case "${KELV_WIN_ARCH:-}" in
  "")
    if runs_32bit; then
      echo "32 $why: the shipped 32-bit KelvRx.exe under Wine's 32-bit side"
    else
      echo "64 $why: the same sources built for x86_64, under wine64 in a 64-bit prefix"
    fi ;;
  64)
    runs_32bit
    echo "64 KELV_WIN_ARCH=64 ($why): the same sources built for x86_64, under wine64" ;;
  32)
    if ! runs_32bit; then
      echo "winarch: KELV_WIN_ARCH=32, but $why; KELV_WIN_ARCH=64 or unset takes the 64-bit path" >&2
      exit 1
    fi
    echo "32 KELV_WIN_ARCH=32 ($why): the shipped 32-bit KelvRx.exe under Wine's 32-bit side" ;;
  *)
    echo "winarch: KELV_WIN_ARCH must be 32 or 64, not '$KELV_WIN_ARCH'" >&2
    exit 1 ;;
esac
