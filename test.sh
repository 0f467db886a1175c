#!/usr/bin/env bash
# Builds and runs the whole suite: first under AddressSanitizer + UBSan, then the
# threaded tests under ThreadSanitizer, then the normal build with the real
# serial drivers in a QEMU guest (scripts/guest-stage.sh), whose ctest summary
# closes the output. Exits non-zero when any run failed.
# KELV_BUILD_ROOT puts the build folders elsewhere (default: here).
set -uo pipefail
cd "$(dirname "$0")"
# Which Wine runs the Windows stage on this machine, decided once for the run
# (scripts/winarch.sh; KELV_WIN_ARCH=32|64 forces a path).
arch_line=$(scripts/winarch.sh) || exit 1
export KELV_WIN_ARCH=${arch_line%% *} KELV_WIN_ARCH_WHY=${arch_line#* }
echo "== Windows stage path: $KELV_WIN_ARCH-bit, because $KELV_WIN_ARCH_WHY"
scripts/deps.sh test || exit 1

# A runtime directory of our own: under sudo the caller's may belong to another user.
XDG_RUNTIME_DIR=$(mktemp -d) || exit 1
export XDG_RUNTIME_DIR
trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
export QT_QPA_PLATFORM=offscreen
JOBS=2
ROOT=${KELV_BUILD_ROOT:-.}
export KELV_WIN_BUILD=${KELV_WIN_BUILD:-$ROOT/build-win}
export KELV_WIN_BUILD64=${KELV_WIN_BUILD64:-$ROOT/build-win64}
# What is fetched once and kept: the guest's kernel, Debian's 32-bit Wine unpacked.
export KELV_CACHE=${KELV_CACHE:-$ROOT/build-cache}
# The Linux program of the release archives the Windows stage checks.
export KELV_RELEASE_BUILD=${KELV_RELEASE_BUILD:-$ROOT/build-release}
failed=()

build() {  # dir, targets ("" = all), cmake options... (tests on: ./run.sh turns them off)
  local dir=$1 targets=$2; shift 2
  cmake -S . -B "$dir" -G Ninja -DKELV_TESTS=ON "$@" >/dev/null &&
    cmake --build "$dir" -j "$JOBS" ${targets:+--target $targets}
}

echo "== AddressSanitizer + UBSan build"
# The soak tests are built by the normal build only: no stage here runs them.
if build "$ROOT/build-asan" "" -DCMAKE_BUILD_TYPE=Debug -DKELV_SANITIZE=ON -DKELV_SOAK=OFF; then
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$ROOT/build-asan" -j "$JOBS" -LE soak --output-on-failure --timeout 300 ||
    failed+=(asan)
else
  failed+=("asan build")
fi

echo "== ThreadSanitizer build (threaded tests)"
if build "$ROOT/build-tsan" "test_serial test_core" -DCMAKE_BUILD_TYPE=Debug -DKELV_TSAN=ON -DKELV_WITH_QT=OFF; then
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$ROOT/build-tsan" -j "$JOBS" -L threaded --output-on-failure --timeout 300 ||
    failed+=(tsan)
else
  failed+=("tsan build")
fi

if [[ -x scripts/windows-stage.sh ]]; then
  echo "== Windows stage"
  scripts/windows-stage.sh || failed+=(windows)
fi
echo "== Fuzz targets (short bounded run)"
FUZZ_BUILD="$ROOT/build-fuzz" scripts/fuzz.sh || failed+=(fuzz)

echo "== Normal build"
normal_built=false
if build "$ROOT/build" "" -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  normal_built=true
  # The program's line on the kernel's real serial drivers, in a QEMU guest.
  echo "== Real serial drivers (Linux guest)"
  scripts/guest-stage.sh "$ROOT/build" || failed+=(guest)
fi
if ((${#failed[@]})); then echo "== FAILED so far: ${failed[*]}"; fi

if $normal_built; then
  ctest --test-dir "$ROOT/build" -j "$JOBS" -LE soak --output-on-failure --timeout 300 ||
    failed+=(normal)
else
  failed+=("normal build")
  echo "0 passed, 1 failed"
fi
((${#failed[@]} == 0))
