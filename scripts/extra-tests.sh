#!/usr/bin/env bash
# Windows stage of the suite: cross-builds dist/KelvRx.exe and the Windows test
# programs with MinGW-w64 (scripts/build-windows.sh) and runs them under a
# private Wine on a virtual X server of its own:
#   test_core.exe   the portable suite (every *_test.cpp without a runner suffix)
#   test_win.exe    the Windows-only tests (*_win_test.cpp): the settings file and
#                   the serial backend on a pseudo-terminal that Wine presents
#                   as COM99 (scripts/pty-farend.py plays the far end)
#   test_winui.exe  the dialog on the Win32 front end (*_winui_test.cpp)
#   KelvRx.exe      a black-box receive (tests/blackbox/receive_wine.py): the program in a
#                   fresh folder, Enter to start, a program written to COM1's
#                   far end, Enter to close; Rx.nc and Kelv.ini checked
# Never touches a real serial port: Wine's default COM ports lead to the
# machine's /dev/ttyS*, so every COM name the program could open is mapped in
# the private prefix, and the links are checked before any program starts.
# Exits non-zero when the build or any test fails.
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD=${KELV_WIN_BUILD:-build-win}
PORT=COM99
status=0
summary=()

say() { echo "-- $*"; }
record() {  # name, result text
  summary+=("$(printf '%-16s %s' "$1" "$2")")
}

# ---- Tools (scripts/deps.sh test installs them).
if [[ -x /usr/lib/wine/wine64 ]]; then WINE=/usr/lib/wine/wine64; else WINE=$(command -v wine64 || command -v wine || true); fi
if [[ -x /usr/lib/wine/wineserver64 ]]; then WINESERVER=/usr/lib/wine/wineserver64; else WINESERVER=$(command -v wineserver || true); fi
PYTHON=$(command -v python3 || true)
XVFB=$(command -v Xvfb || true)
for tool in WINE WINESERVER PYTHON XVFB; do
  if [[ -z ${!tool} ]]; then
    echo "Windows stage: ${tool,,} not found (run scripts/deps.sh test)"
    echo "0 passed, 1 failed"
    exit 1
  fi
done

# ---- Cross-build.
say "cross-building for Windows in $BUILD"
if ! KELV_WIN_BUILD=$BUILD KELV_WIN_TESTS=ON scripts/build-windows.sh test_core test_win test_winui; then
  echo "Windows stage: cross-build FAILED"
  echo "0 passed, 1 failed"
  exit 1
fi

# ---- A private Wine on its own X server.
BUILD=$(cd "$BUILD" && pwd)
PREFIX=$(mktemp -d "$BUILD/wineprefix.XXXXXX")
HELPER=""
XPID=""
cleanup() {
  if [[ -n $HELPER ]]; then kill "$HELPER" 2>/dev/null; wait "$HELPER" 2>/dev/null; fi
  WINEPREFIX=$PREFIX "$WINESERVER" -k 2>/dev/null
  if [[ -n $XPID ]]; then kill "$XPID" 2>/dev/null; wait "$XPID" 2>/dev/null; fi
  rm -rf "$PREFIX"
}
trap cleanup EXIT
export WINEPREFIX=$PREFIX WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WAYLAND_DISPLAY
# The program's users run a Japanese Windows: code page 932 for the A
# functions, where the machine has the Japanese locale (scripts/deps.sh test
# makes it). Without it Wine falls back to the C locale, whose ASCII file names
# refuse every non-ASCII name: then C.UTF-8 (file names in UTF-8, ANSI code
# page 1252, which the program's own file and text layers do not depend on).
if locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then WINE_LOCALE=ja_JP.UTF-8; else WINE_LOCALE=C.UTF-8; fi
export WINE_LOCALE
in_wine() {  # seconds, program and arguments
  local t=$1; shift
  env LANG=$WINE_LOCALE LC_ALL=$WINE_LOCALE timeout -k 5 "$t" "$WINE" "$@"
}

# A display picked at random from a high range (the low ones belong to a
# shared machine's own servers); Xvfb tells its number once it takes clients.
start_x() {
  local n
  for _ in $(seq 20); do
    n=$((RANDOM % 700 + 200))
    [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
    rm -f "$PREFIX/display"
    "$XVFB" ":$n" -screen 0 1024x768x24 -dpi 96 -nolisten tcp -displayfd 3 \
      3>"$PREFIX/display" >"$PREFIX/Xvfb.log" 2>&1 &
    XPID=$!
    for _ in $(seq 100); do
      [[ -s $PREFIX/display ]] && break
      kill -0 "$XPID" 2>/dev/null || break
      sleep 0.1
    done
    if [[ $(cat "$PREFIX/display" 2>/dev/null) == "$n" ]]; then
      export DISPLAY=":$n"
      return 0
    fi
    kill "$XPID" 2>/dev/null; wait "$XPID" 2>/dev/null; XPID=""
  done
  return 1
}

if ! start_x; then
  echo "Windows stage: no X server could be started"
  echo "0 passed, 1 failed"
  exit 1
fi
say "X server on $DISPLAY"

# Every Wine command runs with this display from the first on: a wineserver
# started headless gives later programs no window.
say "setting up Wine in $PREFIX (locale $WINE_LOCALE)"
if ! in_wine 120 wineboot --init >/dev/null 2>&1 || ! timeout 60 "$WINESERVER" -w; then
  echo "Windows stage: Wine set-up FAILED"
  echo "0 passed, 1 failed"
  exit 1
fi

# ---- The test ports: COM99 a pty whose far end answers, COM1 a link the
# black-box test points at a pty of its own, COM2..COM9 nowhere.
"$PYTHON" scripts/pty-farend.py "$PREFIX/pty" 600 &
HELPER=$!
for _ in $(seq 100); do [[ -s $PREFIX/pty ]] && break; sleep 0.1; done
PTY=$(cat "$PREFIX/pty" 2>/dev/null || true)
LINE="$PREFIX/ttyNC"
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  # Stand-ins for the faces the dialog asks for.
  printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
  printf '"MS UI Gothic"="IPAPGothic"\r\n"ＭＳ Ｐゴシック"="IPAPGothic"\r\n"ＭＳ ゴシック"="IPAGothic"\r\n'
  printf '"MS PGothic"="IPAPGothic"\r\n"MS Gothic"="IPAGothic"\r\n\r\n'
  # Without a window manager, Wine's own frames: boxes close at once and no
  # key is lost.
  printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n'
  printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
  printf '"%s"="%s"\r\n' "$PORT" "$PTY" COM1 "$LINE"
  for n in 2 3 4 5 6 7 8 9; do printf '"COM%d"="%s"\r\n' "$n" "$PREFIX/nocom$n"; done
} | iconv -f UTF-8 -t UTF-16LE >"$PREFIX/setup.body"
{ printf '\xff\xfe'; cat "$PREFIX/setup.body"; } >"$PREFIX/setup.reg"
cp /usr/share/wine/fonts/marlett.ttf "$PREFIX/drive_c/windows/Fonts/" 2>/dev/null
in_wine 60 regedit /S "Z:${PREFIX//\//\\}\\setup.reg" >/dev/null 2>&1
"$WINESERVER" -k 2>/dev/null
timeout 30 "$WINESERVER" -w
# From now on one server for the whole stage: a server that ends a moment
# after its last program may still be going down when the next one connects
# ("wine client error: recvmsg"). The clean-up ends it.
"$WINESERVER" -p >"$PREFIX/wineserver.log" 2>&1
# Restarting Wine makes the device links from the registry.
in_wine 30 reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1

port_ok=0
if [[ $PTY == /dev/pts/* ]]; then
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
ports_safe=1
for n in 1 2 3 4 5 6 7 8 9; do
  target=$(readlink "$PREFIX/dosdevices/com$n" 2>/dev/null || true)
  if [[ -n $target && $target != "$LINE" && $target != "$PREFIX/nocom$n" ]]; then
    echo "Windows stage: COM$n leads to '$target': no program that opens COM ports is run"
    ports_safe=0
  fi
done

# ---- Runs.
run() {  # label, exe, extra arguments...
  local label=$1 exe=$2; shift 2
  local log="$PREFIX/$label.log" rc
  say "running $label under Wine"
  in_wine 300 "$exe" "$@" >"$log" 2>&1
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
if ((port_ok && ports_safe)); then
  KELV_TEST_COM=$PORT run test_win.exe "$BUILD/tests/test_win.exe"
else
  status=1
  record "serial (pty)" "FAILED: no test port"
  run test_win.exe "$BUILD/tests/test_win.exe" --gtest_filter=-Win32Serial.*
fi
run test_winui.exe "$BUILD/tests/test_winui.exe"

if ((ports_safe)); then
  say "black-box receive with KelvRx.exe"
  if timeout -k 5 300 "$PYTHON" tests/blackbox/receive_wine.py \
      --exe dist/KelvRx.exe --wine "$WINE" --prefix "$PREFIX" --line "$LINE" \
      --program tools/sample/demo.nc --folder "受信プログラム" --shot "$BUILD/dialog-windows.png"; then
    record "KelvRx.exe" "ok: received byte for byte (picture: $BUILD/dialog-windows.png)"
  else
    status=1
    record "KelvRx.exe" "FAILED: black-box receive"
  fi
else
  status=1
  record "KelvRx.exe" "FAILED: COM ports not safely mapped"
fi

echo "== Windows (Wine) summary"
for line in "${summary[@]}"; do echo "  $line"; done
if ((status)); then echo "  Windows stage FAILED"; else echo "  Windows stage passed"; fi
exit $status
