#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what is
# missing, then
#   1. builds and runs the tests (the fuzz targets as replay programs, so
#      the committed corpus and crash reproducers run too);
#   2. runs every test program under valgrind memcheck;
#   3. builds and runs everything again with AddressSanitizer and
#      UndefinedBehaviorSanitizer;
#   4. runs the thread stress under ThreadSanitizer, failing on any report
#      (scripts/tsan.sh);
#      the randomized test runs 30 s in stages 3 and 4 (HALVO_RANDOM_SECONDS);
#   5. builds the fuzz targets with clang and libFuzzer and fuzzes each from
#      a fixed seed for a fixed number of runs (scripts/fuzz.sh);
#   6. the platform stages (scripts/test-platform.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
jobs=$(nproc)
start=$SECONDS

scripts/install-deps.sh

stage() {
  echo "== $* ($((SECONDS - start)) s)"
}

run_suite() {
  local dir=$1; shift
  cmake -S "$top" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

bench=()
if [ -f bench/CMakeLists.txt ]; then
  bench=(-DHALVO_BUILD_BENCH=ON)
fi

stage "build and test"
run_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVO_BUILD_FUZZ=ON "${bench[@]}"

stage "every test program under valgrind memcheck"
scripts/valgrind.sh build/test

stage "build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$top/tests/lsan.supp:print_suppressions=0
export HALVO_RANDOM_SECONDS=30
run_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DHALVO_SANITIZE=ON -DHALVO_BUILD_FUZZ=ON

stage "ThreadSanitizer: several threads on every callback family, the C++ API and every non-blocking call"
unset HALVO_RANDOM_SECONDS
scripts/tsan.sh build/tsan

stage "fuzz every target with libFuzzer"
CC=clang CXX=clang++ cmake -S "$top" -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVO_BUILD_FUZZ=ON \
  -DHALVO_BUILD_TESTS=OFF -DHALVO_BUILD_TOOLS=OFF >/dev/null
cmake --build build/fuzz -j"$jobs"
# A fixed seed and number of runs: nearly the same inputs on every machine.
HALVO_FUZZ_SEED=${HALVO_FUZZ_SEED-1207} scripts/fuzz.sh build/fuzz "${HALVO_FUZZ_SECONDS:-120}"

stage "platform: armhf under qemu, install prefix and consumers, system components, packages, ABI"
scripts/test-platform.sh

stage "done"
