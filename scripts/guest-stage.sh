#!/usr/bin/env bash
# The stage "Real serial drivers (Linux guest)": the dialog's tests in
# tests/app/realline_qt_test.cpp run inside a small Linux guest under QEMU on
# the kernel's 16550 and FT232 USB-adapter drivers, while this machine plays
# the control on the far ends (scripts/kelvdrive/guestline.py says what runs).
# Only the guest's emulated ports are opened, never one of this machine.
# The guest's kernel and initramfs are made once into KELV_CACHE (default build-cache),
# which the Windows stage's guest shares.
# Usage: scripts/guest-stage.sh [build-dir]   (default: build; needs test_ui and ncsend)
# KELV_GUEST_KVM=0 keeps KVM off. Exits non-zero when the guest cannot be made
# or started, or when any case fails.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if ! command -v python3 >/dev/null; then
  echo "guest stage: python3 not found (run scripts/deps.sh test)"
  exit 1
fi
PYTHONPATH=scripts${PYTHONPATH:+:$PYTHONPATH} exec python3 -u -m kelvdrive.guestline "$build"
