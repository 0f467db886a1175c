#!/usr/bin/env bash
# Builds and runs the whole suite: first under AddressSanitizer + UBSan, then the
# threaded tests under ThreadSanitizer, then the normal build, whose ctest
# summary closes the output. Exits non-zero when any run failed.
set -uo pipefail
cd "$(dirname "$0")"
scripts/deps.sh test || exit 1

export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=offscreen
JOBS=2
status=0

build() {  # dir, cmake options...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir" -j "$JOBS"
}

echo "== AddressSanitizer + UBSan build"
if build build-asan -DCMAKE_BUILD_TYPE=Debug -DKELV_SANITIZE=ON; then
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan -j "$JOBS" --output-on-failure --timeout 300 || status=1
else
  status=1
fi

echo "== ThreadSanitizer build (threaded tests)"
if build build-tsan -DCMAKE_BUILD_TYPE=Debug -DKELV_TSAN=ON -DKELV_WITH_QT=OFF; then
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build-tsan -j "$JOBS" -L threaded --output-on-failure --timeout 300 || status=1
else
  status=1
fi

if [[ -x scripts/extra-tests.sh ]]; then
  echo "== Extra test stages"
  scripts/extra-tests.sh || status=1
fi

echo "== Normal build"
if build build -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  ctest --test-dir build -j "$JOBS" --output-on-failure --timeout 300 || status=1
else
  echo "0 passed, 1 failed"
  status=1
fi
exit $status
