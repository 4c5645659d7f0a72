#!/usr/bin/env bash
# Runs every libFuzzer target of a clang build for a bounded time, two at a
# time, from the committed corpus (which it does not modify; new inputs go
# to a scratch directory).  Prints executions per target; a crash fails the
# run and its input is kept in BUILD_DIR/fuzz-artifacts/.
#
#   scripts/fuzz.sh BUILD_DIR SECONDS_PER_TARGET [TARGET...]
#
# With HALVO_FUZZ_SEED set, each target instead makes HALVO_FUZZ_RUNS
# executions (default 100000) from that seed, SECONDS being only a cap: all
# but the same inputs on every machine (the targets' threads and temporary
# names still vary coverage a little), and no further on a faster one.  The
# test suite fuzzes that way; fuzz without a seed, and for longer, to look
# for new findings, then commit what they teach to the corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
build=${1:?usage: scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]}
seconds=${2:?usage: scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]}
shift 2
out=$build/fuzz-artifacts
mkdir -p "$out"
rm -rf "$out"/*

if [ $# -gt 0 ]; then
  targets=("${@/#/fuzz-}")
  targets=("${targets[@]/#fuzz-fuzz-/fuzz-}")
else
  # The targets of the tree, not whatever an older build left behind.
  mapfile -t targets < <(cd fuzz && printf '%s\n' fuzz-*.cpp | sed 's/\.cpp$//')
fi

fuzz_one() {
  local name=$1 short scratch log
  short=${name#fuzz-}
  scratch=$(mktemp -d)
  log=$out/$short.log
  mkdir -p "$out/$short"
  local bound=(-max_total_time="$seconds")
  if [ -n "${HALVO_FUZZ_SEED:-}" ]; then
    bound+=(-seed="$HALVO_FUZZ_SEED" -runs="${HALVO_FUZZ_RUNS:-100000}")
  fi
  # Leak checks after each input are costly where GDBus's worker thread
  # allocates (fifteen times fewer executions), so the fuzzing runs
  # without them and every input it kept is then run once with them.
  # GLib's one-time allocations are not leaks; see tests/lsan.supp.
  if ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     LSAN_OPTIONS=suppressions=$top/tests/lsan.supp:print_suppressions=0 G_DEBUG=fatal-criticals \
     "$build/fuzz/$name" "${bound[@]}" -timeout=20 -rss_limit_mb=2048 -max_len=8192 \
       -detect_leaks=0 -print_final_stats=1 -artifact_prefix="$out/$short/" \
       "$scratch" "$top/fuzz/corpus/$short" >"$log" 2>&1 &&
     ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 LSAN_OPTIONS=suppressions=$top/tests/lsan.supp:print_suppressions=0 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 G_DEBUG=fatal-criticals \
     "$build/fuzz/$name" -runs=0 -detect_leaks=1 -timeout=20 -artifact_prefix="$out/$short/" \
       "$scratch" >>"$log" 2>&1; then
    printf 'fuzz: %-22s %10s executions, no finding\n' "$short" \
      "$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | head -1)"
    rm -rf "$scratch"
  else
    printf 'fuzz: %-22s FINDING (log %s, input in %s)\n' "$short" "$log" "$out/$short"
    grep -E "ERROR|SUMMARY|abort|Failure|guard|expected" "$log" | head -10
    rm -rf "$scratch"
    return 1
  fi
}
export -f fuzz_one
export build out seconds top

printf '%s\n' "${targets[@]}" | xargs -P "${FUZZ_JOBS:-$(nproc)}" -I{} bash -c 'fuzz_one "$@"' _ {}
