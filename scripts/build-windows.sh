#!/usr/bin/env bash
# Cross-builds the Windows program on Debian with MinGW-w64: dist/KelvRx.exe,
# one statically linked 32-bit file an operator copies into a folder and
# starts, on 32-bit and 64-bit Windows alike.
# Usage: scripts/build-windows.sh [--arch 32|64] [more targets...]
#   --arch 64  the same sources for x86_64 in KELV_WIN_BUILD64 (default
#              build-win64), for running the Windows tests under wine64 where
#              the kernel runs no 32-bit programs; dist/ still ships the 32-bit one
#   KELV_WIN_BUILD  build folder of the 32-bit program (default build-win)
#   KELV_WIN_TESTS  ON also configures the Windows test programs
# Exits non-zero when the build fails, the program is not of the architecture
# asked for, it needs anything beside it, or it is over 2 MB.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=32
if [[ ${1:-} == --arch ]]; then arch=$2; shift 2; fi
case $arch in
  32) scripts/deps.sh windows
      BUILD=${KELV_WIN_BUILD:-build-win}
      TOOLCHAIN=cmake/mingw-w64-i686.cmake
      objdump=i686-w64-mingw32-objdump
      format=pei-i386 ;;
  64) scripts/deps.sh windows64
      BUILD=${KELV_WIN_BUILD64:-build-win64}
      TOOLCHAIN=cmake/mingw-w64-x86_64.cmake
      objdump=x86_64-w64-mingw32-objdump
      format=pei-x86-64 ;;
  *) echo "build-windows: --arch must be 32 or 64, not '$arch'" >&2; exit 2 ;;
esac
# A folder configured with another toolchain cannot switch: it is made anew.
if [[ -f $BUILD/CMakeCache.txt ]] &&
  ! grep -qs "$TOOLCHAIN" "$BUILD"/CMakeFiles/*/CMakeSystem.cmake; then
  echo "build-windows: $BUILD was configured with another toolchain; making it anew" >&2
  rm -rf "$BUILD"
fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
  -DKELV_WITH_QT=OFF -DCMAKE_BUILD_TYPE=Release -DKELV_TESTS="${KELV_WIN_TESTS:-OFF}" >/dev/null
cmake --build "$BUILD" -j 2 --target KelvRx "$@"

exe="$BUILD/app/KelvRx.exe"
# A 64-bit program does not start on a 32-bit Windows: what ships is checked.
if ! $objdump -f "$exe" | grep -q "file format $format\$"; then
  echo "build-windows: $exe is no $format program: $($objdump -f "$exe" | grep format)" >&2
  exit 1
fi
# Only the system's own libraries may be imported: nothing to ship beside it.
system='^(KERNEL32|USER32|GDI32|COMDLG32|SHELL32|ADVAPI32|msvcrt|api-ms-win-.*)\.dll$'
extra=$($objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | grep -viE "$system" || true)
if [[ -n $extra ]]; then
  echo "build-windows: $exe needs DLLs that are not part of Windows: $extra" >&2
  exit 1
fi
size=$(stat -c %s "$exe")
if ((size > 2 * 1024 * 1024)); then
  echo "build-windows: $exe is $size bytes, over 2 MB" >&2
  exit 1
fi
if [[ $arch == 32 ]]; then
  mkdir -p dist
  cp "$exe" dist/KelvRx.exe
  echo "dist/KelvRx.exe ($size bytes, 32-bit, statically linked)"
else
  echo "$exe ($size bytes, 64-bit, statically linked; for the tests under wine64, not shipped)"
fi
