#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what is
# missing, builds, runs the tests, then runs them again built with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
jobs=$(nproc)

scripts/install-deps.sh

run_suite() {
  local dir=$1; shift
  cmake -S "$top" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

echo "== build and test"
run_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$top/tests/lsan.supp:print_suppressions=0
run_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DHALVO_SANITIZE=ON
