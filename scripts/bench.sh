#!/usr/bin/env bash
# The benchmarks: installs what is missing, builds in Release with the
# benchmark program, and runs it twice: first with the program, the bus
# daemon and the peer pinned to one CPU (the precise ratios), then spread
# over the machine.  Each run prints its table of ratios (library / raw).
# Arguments go to both runs (e.g. --quick, or a measure's name).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
dir=$top/build/bench

scripts/install-deps.sh

cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DHALVO_BUILD_BENCH=ON \
      -DHALVO_BUILD_TESTS=OFF -DHALVO_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target halvo-bench

"$dir/bench/halvo-bench" "$@"
"$dir/bench/halvo-bench" --no-pin "$@"
