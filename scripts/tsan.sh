#!/usr/bin/env bash
# The ThreadSanitizer lane: builds the thread-heavy test programs with
# ThreadSanitizer in DIR and runs each once, failing on any report of any
# process (the test peer's included: its reports fail no test program).
# tests/tsan.supp leaves only GLib's own libc calls unchecked.
#
#   scripts/tsan.sh [DIR]      (default build/tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
dir=${1:-build/tsan}
programs=(test-threads test-cxx test-async test-interleavings test-listeners test-random)
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DHALVO_SANITIZE=thread -DHALVO_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${programs[@]}" >/dev/null
# Each process writes its reports to DIR/tsan.PID.
rm -f "$dir"/tsan.*
status=0
for t in "${programs[@]}"; do
  (cd "$dir" && TSAN_OPTIONS="suppressions=$top/tests/tsan.supp log_path=$top/$dir/tsan" \
    G_DEBUG=fatal-criticals KERLO_LEVEL=7 HALVO_THREAD_ROUNDS=200 HALVO_RANDOM_SECONDS=${HALVO_RANDOM_SECONDS:-30} \
    tests/$t) || status=1
done
shopt -s nullglob
logs=("$dir"/tsan.*)
reports=$(cat /dev/null "${logs[@]}" | grep -c '^WARNING: ThreadSanitizer' || true)
echo "ThreadSanitizer: $reports reports"
if [ "$reports" -ne 0 ] || [ $status -ne 0 ]; then
  cat /dev/null "${logs[@]}"
  exit 1
fi
