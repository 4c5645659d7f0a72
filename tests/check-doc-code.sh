#!/usr/bin/env bash
# Compiles every C and C++ block of the documentation: the fenced blocks of
# README.md and docs/*.md, and the @code blocks of docs/*.dox and the public
# headers.
#
#   check-doc-code.sh TOP OUTDIR CC CXX [--cflags FLAG...] [--libs LIB...]
#
# A block with main() is linked into a program; any other whole file into a
# shared object with --no-undefined, so each function it calls must exist.
# A block on purpose made of statements is marked by the line
# `<!-- fragment -->` right above its fence or @code, which Markdown and
# Doxygen both hide.  It becomes the body of a function after the prelude
# tests/doc-fragment.h (C) or tests/doc-fragment.hpp (C++), and is only
# compiled.  Fences in Markdown name their language; one that names none
# fails, so that no C block goes unchecked.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=${1:?usage: check-doc-code.sh TOP OUTDIR CC CXX [--cflags FLAG...] [--libs LIB...]}
out=${2:?}
cc=${3:?}
cxx=${4:?}
shift 4
cflags=() libs=()
dest=cflags
for a in "$@"; do
  case $a in
    --cflags) dest=cflags ;;
    --libs) dest=libs ;;
    *) if [ $dest = cflags ]; then cflags+=("$a"); else libs+=("$a"); fi ;;
  esac
done

rm -rf "$out"
mkdir -p "$out"
cd "$top" || exit 1
shopt -s nullglob
docs=(README.md docs/*.md docs/*.dox include/*.h include/halvo/*.hpp)

# One line per block: FILE LINE LANG KIND BODYFILE (KIND: whole or fragment).
# LINE is the block's first line of code.
extract() {
  awk -v out="$out" '
    function lang_of(s) {
      s = tolower(s)
      if (s == "c" || s == "h") return "c"
      if (s == "cpp" || s == "c++" || s == "cxx" || s == "cc" || s == "hpp") return "cpp"
      return s
    }
    function unclosed() { if (inblock) printf "%s %d unclosed - -\n", file, start }
    FNR == 1 { unclosed(); inblock = 0; prev = ""; file = FILENAME; md = file ~ /\.md$/
               dflt = file ~ /\.h$/ ? "c" : "cpp" }
    END { unclosed() }
    {
      line = $0
      if (!md) sub(/^[ \t]*\*( |$)/, "", line)    # a comment line of a header or .dox
      if (!inblock) {
        fence = md && match(line, /^[ \t]*(```|~~~)/)
        code = match(line, /^[ \t]*[@\\]code([{][.][A-Za-z+]+[}])?[ \t]*$/)
        if (fence || code) {
          if (fence) { lang = line; sub(/^[ \t]*(```|~~~)[ \t]*/, "", lang); sub(/[ \t].*$/, "", lang) }
          else { lang = line; lang = match(lang, /[{][.][A-Za-z+]+[}]/) ? substr(lang, RSTART + 2, RLENGTH - 3) : dflt }
          lang = lang == "" ? "none" : lang_of(lang)
          kind = prev ~ /^[ \t]*<!--[ \t]*fragment[ \t]*-->[ \t]*$/ ? "fragment" : "whole"
          inblock = 1; start = FNR + 1
          name = file; gsub(/[\/.]/, "_", name)
          body = sprintf("%s/%s-%d", out, name, start)
          printf "%s %d %s %s %s\n", file, start, lang, kind, body
          printf "" > body
        }
      } else if ((md && line ~ /^[ \t]*(```|~~~)[ \t]*$/) || line ~ /^[ \t]*[@\\]endcode[ \t]*$/) {
        inblock = 0
        close(body)
      } else {
        print line > body
      }
      prev = line
    }
  ' "$@"
}

fail=0 compiled=0 fragments=0 skipped=0
while read -r file line lang kind body; do
  case $lang in
    c) compiler=$cc std=-std=c11 prelude=doc-fragment.h wrapper='void doc_fragment(void)' ;;
    cpp) compiler=$cxx std=-std=c++17 prelude=doc-fragment.hpp wrapper='void Screen::fragment()' ;;
    unclosed) echo "$file:$((line - 1)): a block that never ends"; fail=1; continue ;;
    none) echo "$file:$((line - 1)): a block without a language: name it (c, cpp, sh, text, ...)"
          fail=1; continue ;;
    *) skipped=$((skipped + 1)); continue ;;
  esac
  src=$body.$lang
  if [ "$kind" = fragment ]; then
    { printf '#include "%s"\n%s\n{\n#line %d "%s"\n' "$prelude" "$wrapper" "$line" "$file"
      cat "$body"; printf '}\n'; } >"$src"
    mode=(-fsyntax-only -I"$here")
    fragments=$((fragments + 1))
  else
    { printf '#line %d "%s"\n' "$line" "$file"; cat "$body"; } >"$src"
    if grep -Eq '(^|[^A-Za-z0-9_])main[ \t]*\(' "$body"; then
      mode=(-o "$body.out")
    else
      mode=(-fPIC -shared -Wl,--no-undefined -o "$body.so")
    fi
    mode+=("${libs[@]}")
  fi
  # The libraries follow the source, so that the linker sees what it uses.
  if log=$("$compiler" "$std" -Wall -Werror "${cflags[@]}" "$src" "${mode[@]}" 2>&1); then
    compiled=$((compiled + 1))
  else
    echo "$file:$line: this $lang block does not build ($kind, as $src):"
    echo "$log"
    fail=1
  fi
done < <(extract "${docs[@]}")

echo "doc-code: $compiled blocks compiled ($fragments of them fragments), $skipped of other languages"
if [ "$compiled" -eq 0 ]; then
  echo "doc-code: no C or C++ block found in ${docs[*]}"
  fail=1
fi
exit $fail
