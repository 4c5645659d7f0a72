#!/usr/bin/env bash
# Hunts flaky tests: runs the whole CTest suite of the normal and of the
# AddressSanitizer build, and every test program under valgrind, ROUNDS
# times while stress-ng keeps every core busy.  Counts runs and failures;
# the log of each failed run is kept in OUT (default build/flake-hunt).
#
#   scripts/flake-hunt.sh [ROUNDS]      (default 20)
#   STAGES="normal asan" scripts/flake-hunt.sh    only those stages
#   STAGES=tsan scripts/flake-hunt.sh             the ThreadSanitizer lane
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
rounds=${1:-20}
out=${OUT:-build/flake-hunt}
jobs=$(nproc)
mkdir -p "$out"

# Not install-deps.sh: it would swap packages under whoever shares the machine.
command -v stress-ng >/dev/null || { echo "flake-hunt: needs stress-ng (scripts/install-deps.sh)"; exit 1; }
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVO_BUILD_FUZZ=ON >/dev/null
cmake --build build/test -j"$jobs" >/dev/null
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DHALVO_SANITIZE=ON -DHALVO_BUILD_FUZZ=ON >/dev/null
cmake --build build/asan -j"$jobs" >/dev/null

stress-ng --cpu "$jobs" --quiet &
hog=$!
trap 'kill $hog 2>/dev/null || true' EXIT

stage() {
  case $1 in
    normal) ctest --test-dir build/test -j"$jobs" --output-on-failure ;;
    asan) ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
          LSAN_OPTIONS=suppressions=$top/tests/lsan.supp:print_suppressions=0 \
          ctest --test-dir build/asan -j"$jobs" --output-on-failure ;;
    valgrind) scripts/valgrind.sh build/test ;;
    tsan) scripts/tsan.sh build/tsan ;;
  esac
}

runs=0 failures=0 start=$SECONDS
for ((round = 1; round <= rounds; round++)); do
  for s in ${STAGES:-normal asan valgrind}; do
    log=$out/round-$round-$s.log
    runs=$((runs + 1))
    if stage "$s" >"$log" 2>&1; then
      rm -f "$log"
      echo "round $round $s: passed"
    else
      failures=$((failures + 1))
      [ "$s" = valgrind ] && cp -r build/test/valgrind "$out/round-$round-valgrind"
      echo "round $round $s: FAILED (log: $log)"
      grep -E '^\s*[0-9]+ - |valgrind: .* FAILED' "$log" | sed 's/^/    /' || true
    fi
  done
done
echo "flake hunt: $rounds rounds, $runs runs under load, $failures failed, $(((SECONDS - start) / 60)) min"
[ "$failures" -eq 0 ]
