#!/usr/bin/env bash
# Cross-builds the Windows program on Debian with MinGW-w64: dist/KelvRx.exe,
# one statically linked 32-bit file an operator copies into a folder and
# starts, on 32-bit and 64-bit Windows alike.
# Usage: scripts/build-windows.sh [more targets...]
#   KELV_WIN_BUILD  build folder (default build-win)
#   KELV_WIN_TESTS  ON also configures the Windows test programs
# Exits non-zero when the build fails, the program is no 32-bit one, or it needs
# anything beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh windows
BUILD=${KELV_WIN_BUILD:-build-win}
TOOLCHAIN=cmake/mingw-w64-i686.cmake
# A folder configured with another toolchain (the earlier 64-bit one) cannot
# switch: it is made anew.
if [[ -f $BUILD/CMakeCache.txt ]] &&
  ! grep -qs "$TOOLCHAIN" "$BUILD"/CMakeFiles/*/CMakeSystem.cmake; then
  echo "build-windows: $BUILD was configured with another toolchain; making it anew" >&2
  rm -rf "$BUILD"
fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
  -DKELV_WITH_QT=OFF -DCMAKE_BUILD_TYPE=Release -DKELV_TESTS="${KELV_WIN_TESTS:-OFF}" >/dev/null
cmake --build "$BUILD" -j 2 --target KelvRx "$@"

exe="$BUILD/app/KelvRx.exe"
objdump=i686-w64-mingw32-objdump
# A 64-bit program does not start on a 32-bit Windows.
if ! $objdump -f "$exe" | grep -q 'file format pei-i386'; then
  echo "build-windows: KelvRx.exe is no 32-bit (i386) program: $($objdump -f "$exe" | grep format)" >&2
  exit 1
fi
# Only the system's own libraries may be imported: nothing to ship beside it.
system='^(KERNEL32|USER32|GDI32|COMDLG32|SHELL32|ADVAPI32|msvcrt|api-ms-win-.*)\.dll$'
extra=$($objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | grep -viE "$system" || true)
if [[ -n $extra ]]; then
  echo "build-windows: KelvRx.exe needs DLLs that are not part of Windows: $extra" >&2
  exit 1
fi
size=$(stat -c %s "$exe")
if ((size > 2 * 1024 * 1024)); then
  echo "build-windows: KelvRx.exe is $size bytes, over 2 MB" >&2
  exit 1
fi
mkdir -p dist
cp "$exe" dist/KelvRx.exe
echo "dist/KelvRx.exe ($size bytes, 32-bit, statically linked)"
