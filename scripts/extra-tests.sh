#!/usr/bin/env bash
# Windows stage of the suite: cross-builds the toolkit-free libraries and their
# tests with MinGW-w64 and runs them under Wine, headless:
#   test_core.exe  the portable suite (tests/core), unchanged
#   test_win.exe   the Windows-only tests (tests/win): the system's profile
#                  functions, and the serial backend on a pseudo-terminal that
#                  Wine presents as COM99 (scripts/pty-farend.py plays the far end)
# Never touches a real serial port: Wine's default COM ports lead to the
# machine's /dev/ttyS*, so the test port is mapped explicitly in a private Wine
# prefix and its target is checked before any test opens it.
# Exits non-zero when the build or any test fails.
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD=${KELV_WIN_BUILD:-build-win}
PORT=COM99
JOBS=2
status=0
summary=()

say() { echo "-- $*"; }
record() {  # name, result text
  summary+=("$(printf '%-16s %s' "$1" "$2")")
}

# ---- Tools (scripts/deps.sh test installs them).
CXX=$(command -v x86_64-w64-mingw32-g++-posix || true)
if [[ -x /usr/lib/wine/wine64 ]]; then WINE=/usr/lib/wine/wine64; else WINE=$(command -v wine64 || command -v wine || true); fi
if [[ -x /usr/lib/wine/wineserver64 ]]; then WINESERVER=/usr/lib/wine/wineserver64; else WINESERVER=$(command -v wineserver || true); fi
PYTHON=$(command -v python3 || true)
for tool in CXX WINE WINESERVER PYTHON; do
  if [[ -z ${!tool} ]]; then
    echo "Windows stage: ${tool,,} not found (run scripts/deps.sh test)"
    echo "0 passed, 1 failed"
    exit 1
  fi
done

# ---- Cross-build.
say "cross-building for Windows in $BUILD"
if ! cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
       -DKELV_WITH_QT=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null ||
   ! cmake --build "$BUILD" -j "$JOBS" --target test_core test_win; then
  echo "Windows stage: cross-build FAILED"
  echo "0 passed, 1 failed"
  exit 1
fi

# ---- A private, headless Wine.
BUILD=$(cd "$BUILD" && pwd)
PREFIX=$(mktemp -d "$BUILD/wineprefix.XXXXXX")
HELPER=""
cleanup() {
  if [[ -n $HELPER ]]; then kill "$HELPER" 2>/dev/null; wait "$HELPER" 2>/dev/null; fi
  WINEPREFIX=$PREFIX "$WINESERVER" -k 2>/dev/null
  rm -rf "$PREFIX"
}
trap cleanup EXIT
export WINEPREFIX=$PREFIX WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# The program's users run a Japanese Windows: code page 932 for the A
# functions, where the machine has the Japanese locale. Without it Wine falls
# back to the C locale, whose ASCII file names refuse every non-ASCII name: then
# C.UTF-8 (file names in UTF-8, ANSI code page 1252, which the program's own
# file and text layers must not depend on anyway).
if locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then WINE_LOCALE=ja_JP.UTF-8; else WINE_LOCALE=C.UTF-8; fi
in_wine() {  # seconds, program and arguments
  local t=$1; shift
  env LANG=$WINE_LOCALE LC_ALL=$WINE_LOCALE timeout -k 5 "$t" "$WINE" "$@"
}

say "setting up Wine in $PREFIX (locale $WINE_LOCALE)"
if ! in_wine 120 wineboot --init >/dev/null 2>&1 || ! timeout 60 "$WINESERVER" -w; then
  echo "Windows stage: Wine set-up FAILED"
  echo "0 passed, 1 failed"
  exit 1
fi

# ---- The test port: a pty, mapped into Wine as $PORT.
port_ok=0
"$PYTHON" scripts/pty-farend.py "$PREFIX/pty" 300 &
HELPER=$!
for _ in $(seq 100); do [[ -s $PREFIX/pty ]] && break; sleep 0.1; done
PTY=$(cat "$PREFIX/pty" 2>/dev/null || true)
if [[ $PTY == /dev/pts/* ]]; then
  in_wine 30 reg add 'HKLM\Software\Wine\Ports' /v "$PORT" /t REG_SZ /d "$PTY" /f >/dev/null 2>&1
  "$WINESERVER" -k 2>/dev/null
  timeout 30 "$WINESERVER" -w
  # Restarting Wine creates the device link from the registry.
  in_wine 30 reg query 'HKLM\Software\Wine\Ports' /v "$PORT" >/dev/null 2>&1
  link="$PREFIX/dosdevices/${PORT,,}"
  for _ in $(seq 100); do [[ $(readlink "$link") == "$PTY" ]] && break; sleep 0.1; done
  if [[ $(readlink "$link") == "$PTY" ]]; then
    port_ok=1
    say "$PORT -> $PTY (far end pid $HELPER)"
  else
    echo "Windows stage: $PORT leads to '$(readlink "$link")', not to $PTY: serial tests not run"
  fi
else
  echo "Windows stage: no pseudo-terminal for the test port: serial tests not run"
fi

# ---- Runs.
run() {  # label, exe, extra arguments...
  local label=$1 exe=$2; shift 2
  local log="$PREFIX/$label.log" rc
  say "running $label under Wine"
  in_wine 120 "$exe" "$@" >"$log" 2>&1
  rc=$?
  # Everything but the per-test chatter; failures and skip reasons stay.
  grep -vE '^\[ +(RUN|OK) +\]' "$log" | sed 's/\r$//'
  local passed failed skipped
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$log" | tail -1)
  failed=$(sed -n 's/^ *\([0-9]*\) FAILED TESTS\?.*/\1/p' "$log" | tail -1)
  skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' "$log" | tail -1)
  if [[ $rc -ne 0 ]]; then
    status=1
    [[ $rc -eq 124 || $rc -eq 137 ]] && failed="timed out;${failed:+ $failed}"
    record "$label" "FAILED (exit $rc): ${passed:-0} passed, ${failed:-?} failed, ${skipped:-0} skipped"
  else
    record "$label" "ok: ${passed:-0} passed, ${skipped:-0} skipped"
  fi
}

run test_core.exe "$BUILD/tests/test_core.exe"
# Wine passes the environment on to the Windows process.
if ((port_ok)); then
  KELV_TEST_COM=$PORT run test_win.exe "$BUILD/tests/test_win.exe"
else
  status=1
  record "serial (pty)" "FAILED: no test port"
  run test_win.exe "$BUILD/tests/test_win.exe" --gtest_filter=-Win32Serial.*
fi

echo "== Windows (Wine) summary"
for line in "${summary[@]}"; do echo "  $line"; done
if ((status)); then echo "  Windows stage FAILED"; else echo "  Windows stage passed"; fi
exit $status
