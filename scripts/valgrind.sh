#!/usr/bin/env bash
# Runs every test program of a build whole, each as one process, under
# valgrind's memcheck.  Fails on any memory error and on any byte
# definitely or indirectly lost; tests/valgrind.supp holds GLib's one-time
# allocations only.  The bus daemon and the peer that a test program starts
# are its children and are not traced.
#
#   scripts/valgrind.sh BUILD_DIR [PROGRAM...]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
build=${1:?usage: scripts/valgrind.sh BUILD_DIR [PROGRAM...]}
shift
logs=$build/valgrind
mkdir -p "$logs"
rm -f "$logs"/*.log

if [ $# -gt 0 ]; then
  programs=("$@")
else
  mapfile -t programs < <(find "$build/tests" -maxdepth 1 -type f -executable -name 'test-*' | sort)
fi

run_one() {
  local prog=$1 name
  name=$(basename "$prog")
  # Churn, soak and the randomized run are long loops; valgrind runs them shorter.
  if G_SLICE=always-malloc G_DEBUG=fatal-criticals KERLO_LEVEL=7 \
     HALVO_CHURN_CYCLES=${HALVO_CHURN_CYCLES:-2000} HALVO_SOAK_CYCLES=${HALVO_SOAK_CYCLES:-300} \
     HALVO_RANDOM_SECONDS=${HALVO_RANDOM_SECONDS:-3} \
     valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect \
       --show-leak-kinds=definite,indirect --error-exitcode=1 --num-callers=40 \
       --suppressions="$top/tests/valgrind.supp" --gen-suppressions=all \
       "$prog" >"$logs/$name.log" 2>&1; then
    echo "valgrind: $name clean"
  else
    echo "valgrind: $name FAILED (see $logs/$name.log)"
    return 1
  fi
}
export -f run_one
export top logs

status=0
printf '%s\n' "${programs[@]}" | xargs -P "${VALGRIND_JOBS:-$(nproc)}" -I{} bash -c 'run_one "$@"' _ {} || status=1

# The figures: bytes lost per kind over all programs.
for kind in "definitely lost" "indirectly lost" "possibly lost"; do
  bytes=$(grep -h "==.*  *$kind: " "$logs"/*.log | sed -E 's/.*: ([0-9,]+) bytes.*/\1/; s/,//g' |
          awk '{s += $1} END {print s + 0}')
  echo "valgrind: $kind: $bytes bytes over ${#programs[@]} programs"
done
errors=$(grep -h "ERROR SUMMARY" "$logs"/*.log | awk '{s += $4} END {print s + 0}')
echo "valgrind: $errors errors"
if [ $status -ne 0 ]; then
  grep -l "ERROR SUMMARY: [1-9]\|FAILED\|Aborted\|terminate" "$logs"/*.log | while read -r f; do
    echo "---- $f"
    grep -E "^==[0-9]+== (Invalid|Conditional|Use of|Syscall|.*(definitely|indirectly) lost in)|FAILED|Failure" "$f" | head -20
  done
fi
exit $status
