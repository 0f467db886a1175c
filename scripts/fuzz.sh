#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each one for a
# short, bounded time on a copy of its seed corpus (the repository is not
# changed). Prints one summary line per target and exits non-zero when a target
# could not be built, crashed, or broke one of its properties.
#
# Usage: scripts/fuzz.sh [target...]      (default: every fuzz/*_fuzz.cpp)
#   FUZZ_SECONDS=n  time per target (default 8)
#   FUZZ_JOBS=n     parallel fuzzing processes per target (default 1)
#   FUZZ_NO_BUILD=1 run the binaries as they are in build-fuzz
set -uo pipefail
cd "$(dirname "$0")/.."

SECS=${FUZZ_SECONDS:-8}
JOBS=${FUZZ_JOBS:-1}
BUILD=${FUZZ_BUILD:-build-fuzz}
case $BUILD in /*) ;; *) BUILD=$PWD/$BUILD ;; esac
ARTIFACTS=$BUILD/fuzz-artifacts
LOGS=$BUILD/fuzz-logs

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not found (scripts/deps.sh test installs it)"
  exit 1
fi

if [[ $# -gt 0 ]]; then
  targets=("$@")
else
  targets=()
  for f in fuzz/*_fuzz.cpp; do
    n=${f##*/}
    targets+=("${n%_fuzz.cpp}")
  done
fi

mkdir -p "$BUILD"
if [[ ${FUZZ_NO_BUILD:-0} != 1 ]] &&
   ! { cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DCMAKE_CXX_COMPILER=clang++ -DKELV_FUZZ=ON -DKELV_WITH_QT=OFF -DKELV_TESTS=OFF \
         >"$BUILD/fuzz-configure.log" 2>&1 &&
       cmake --build "$BUILD" -j 2 --target fuzzers >"$BUILD/fuzz-build.log" 2>&1; }; then
  cat "$BUILD/fuzz-configure.log" "$BUILD/fuzz-build.log" 2>/dev/null | tail -40
  echo "fuzz: build FAILED (logs: $BUILD/fuzz-configure.log, $BUILD/fuzz-build.log)"
  exit 1
fi
mkdir -p "$ARTIFACTS" "$LOGS"

# Corpus copies and the settings files the profile target writes; in memory
# where possible, since that target syncs a file on every input.
work=$(mktemp -d -p /dev/shm kelv-fuzz.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp"
export TMPDIR=$work/tmp

status=0
for t in "${targets[@]}"; do
  bin=$BUILD/fuzz/fuzz_$t
  logdir=$LOGS/$t
  log=$logdir/run.log
  if [[ ! -x $bin ]]; then
    echo "fuzz $t: FAILED (no binary $bin: missing from fuzz/CMakeLists.txt?)"
    status=1
    continue
  fi
  rm -rf "$logdir" "$ARTIFACTS/$t"
  mkdir -p "$work/$t" "$ARTIFACTS/$t" "$logdir"
  if [[ -d fuzz/corpus/$t ]]; then cp fuzz/corpus/"$t"/* "$work/$t"/ 2>/dev/null; fi
  seeds=$(find "$work/$t" -type f | wc -l)

  args=(-max_total_time="$SECS" -rss_limit_mb=2048 -timeout=10 -max_len=4096
        -print_final_stats=1 -artifact_prefix="$ARTIFACTS/$t/")
  if ((JOBS > 1)); then args+=(-jobs="$JOBS" -workers="$JOBS"); fi
  start=$(date +%s)
  # With -jobs libFuzzer writes fuzz-N.log files into the working directory.
  (cd "$logdir" && exec "$bin" "${args[@]}" "$work/$t") >"$log" 2>&1
  rc=$?
  took=$(($(date +%s) - start))
  # With jobs, run.log repeats the jobs' own logs: count each run once.
  statlogs=("$log")
  if ((JOBS > 1)) && compgen -G "$logdir/fuzz-*.log" >/dev/null; then
    statlogs=("$logdir"/fuzz-*.log)
  fi

  runs=$(cat "${statlogs[@]}" | grep -o 'stat::number_of_executed_units: *[0-9]*' |
         awk '{s += $2} END {print s + 0}')
  cov=$(cat "${statlogs[@]}" | grep -o 'cov: [0-9]*' | awk '$2 > m {m = $2} END {print m}')
  corp=$(find "$work/$t" -type f | wc -l)
  if ((rc == 0)); then
    printf 'fuzz %-10s ok      %9s runs in %3ss, coverage %s, corpus %s -> %s\n' \
      "$t" "$runs" "$took" "${cov:-?}" "$seeds" "$corp"
  else
    status=1
    why=$(cat "${statlogs[@]}" | grep -m1 -E 'property violated|ERROR: (AddressSanitizer|libFuzzer|UndefinedBehaviorSanitizer)|runtime error|SUMMARY')
    input=$(cat "${statlogs[@]}" | grep -o "Test unit written to [^ ]*" | tail -1 | sed 's/Test unit written to //')
    printf 'fuzz %-10s FAILED  exit %s after %ss: %s\n' "$t" "$rc" "$took" "${why:-see log}"
    echo "    input: ${input:-none saved}; logs: $logdir"
    echo "    replay: $bin ${input:-<input>}"
  fi
done
exit $status
