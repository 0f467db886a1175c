#!/usr/bin/env bash
# Windows stage of the suite: cross-builds dist/KelvRx.exe and the Windows test
# programs with MinGW-w64 and runs them, and a black-box receive by KelvRx.exe,
# under a private Wine on an X server of its own (scripts/kelvdrive/winstage.py
# says what runs). Never touches a real serial port: every COM name the
# program could open is mapped to a pseudo-terminal or to nowhere, and the
# links are checked before any program starts.
# KELV_WIN_BUILD: the build folder (default build-win).
# Exits non-zero when the build or any test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
if ! command -v python3 >/dev/null; then
  echo "Windows stage: python3 not found (run scripts/deps.sh test)"
  echo "0 passed, 1 failed"
  exit 1
fi
export PYTHONPATH=scripts${PYTHONPATH:+:$PYTHONPATH}
# The 32-bit path runs under Wine's 32-bit side, laid over /usr for the stage
# alone where Debian's wine32 is not installed.
if [[ ${KELV_WIN_ARCH:-} == 32 ]]; then
  exec scripts/wine32-ns.sh python3 -u -m kelvdrive.winstage
fi
exec python3 -u -m kelvdrive.winstage
