#!/usr/bin/env bash
# Line and branch coverage of src/ and platform/ by the tests, without the
# end-to-end ones (halvoctl, the examples, the demo) and the docs check.
#
#   scripts/coverage.sh [BUILD_DIR]     (default build/coverage)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/coverage}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DHALVO_COVERAGE=ON -DHALVO_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
find "$build" -name '*.gcda' -delete
(cd "$build" && ctest -j"$(nproc)" -E 'e2e|demo|docs|example' --output-on-failure)
# Branches the compiler adds for exceptions are not the code's own.
gcovr --root . --filter 'src/' --filter 'platform/' --exclude-throw-branches --exclude-unreachable-branches \
  --txt "$build/coverage.txt" --html-details "$build/coverage.html" --print-summary "$build"
