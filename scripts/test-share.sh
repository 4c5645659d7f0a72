#!/usr/bin/env bash
# The test share of the tree: non-blank, non-comment lines of the .c, .cpp,
# .h, .hpp, .py and .sh files tracked in git; tests/ and fuzz/ count as tests,
# everything else as code.
#
#   scripts/test-share.sh [TREE]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

git ls-files -z -- '*.c' '*.cpp' '*.h' '*.hpp' '*.py' '*.sh' | xargs -0 awk '
  FNR == 1 { hash = FILENAME ~ /\.(py|sh)$/; block = 0
             side = FILENAME ~ /^(tests|fuzz)\// ? "tests" : "code" }
  {
    line = $0
    if (hash) {
      sub(/^[ \t]+/, "", line)
      if (line != "" && line !~ /^#/) n[side]++
      next
    }
    # Strip C comments, keeping track of blocks that span lines.
    out = ""
    while (line != "") {
      if (block) {
        i = index(line, "*/")
        if (!i) { line = ""; break }
        line = substr(line, i + 2); block = 0
      } else {
        i = index(line, "/*"); j = index(line, "//")
        if (j && (!i || j < i)) { out = out substr(line, 1, j - 1); line = ""; break }
        if (!i) { out = out line; line = ""; break }
        out = out substr(line, 1, i - 1); line = substr(line, i + 2); block = 1
      }
    }
    if (out ~ /[^ \t]/) n[side]++
  }
  END {
    total = n["tests"] + n["code"]
    printf "tests %d, code %d, total %d: tests are %.1f %%\n", n["tests"], n["code"], total, 100 * n["tests"] / total
  }'
