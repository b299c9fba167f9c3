#!/usr/bin/env bash
# Times `qelch grep -c` against `grep -cP` and ripgrep (`rg -c`) on a code-
# search set of everyday patterns (literals, classes, anchors, ".", "x*",
# "\S", trailing space, quoted strings, back-references, look-around) over a
# large real text tree. Every tool must report the same count.
#
#   bench/code_grep_bench.sh [TREE]
#
#   TREE             directory whose text files are searched (default:
#                    QELCH_BENCH_TREE, else the C preprocessor's system
#                    header directory)
#   QELCH_BINARY     the tool (default: build/apps/qelch/qelch, built if absent)
#   QELCH_BENCH_MB   MB of the tree's files to use, taken in sorted path
#                    order and joined into one file (default 64)
#   QELCH_BENCH_RUNS runs per tool and pattern (default 1; the median is kept)
#   QELCH_BENCH_TIMEOUT seconds before a run is given up (default 120)
#
# Prints a Markdown table: seconds per tool and qelch's speed relative to
# each peer (peer time / qelch time; above 1 means qelch is faster).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
qelch="${QELCH_BINARY:-$root/build/apps/qelch/qelch}"
mb="${QELCH_BENCH_MB:-64}"
runs="${QELCH_BENCH_RUNS:-1}"
limit="${QELCH_BENCH_TIMEOUT:-120}"

tree="${1:-${QELCH_BENCH_TREE:-}}"
if [ -z "$tree" ]; then
  # The C preprocessor's last header search directory: the system headers.
  tree=$(cpp -v /dev/null -o /dev/null 2>&1 |
         awk '/search starts here:/ {on = 1; next} /End of search list/ {on = 0} on {d = $1} END {print d}')
fi
[ -d "$tree" ] || { echo "code_grep_bench: no text tree (pass a directory)" >&2; exit 2; }

if [ ! -x "$qelch" ]; then
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build" -j2 --target qelch_cli >/dev/null
fi
for tool in grep rg find bc timeout; do
  command -v "$tool" >/dev/null || { echo "code_grep_bench: $tool not found" >&2; exit 2; }
done

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
text="$dir/tree.txt"
# The tree's regular files that look like text, in sorted order, up to the size.
export LC_ALL=C
target=$((mb * 1024 * 1024))
find "$tree" -type f -size -4M 2>/dev/null | sort | while IFS= read -r f; do
  grep -Iq . "$f" 2>/dev/null || continue
  cat "$f"
  [ "$(stat -c %s "$text" 2>/dev/null || echo 0)" -ge "$target" ] && break
done > "$text"
truncate -s "<$target" "$text"
cat "$text" >/dev/null  # into the page cache before any timing

# name | pattern (no "|" inside patterns: the row splits at the first one)
patterns=(
  "literal|static"
  "literal, ignore case|(?i)error"
  "word|\\bint\\b"
  "alternation|unsigned|signed"
  "digits|[0-9]+"
  "hex number|0x[0-9a-fA-F]+"
  "hex run|[0-9a-f]{8}"
  "line start|^#include"
  "any character|."
  "empty-matching|x*"
  "non-space|\\S"
  "blank line|^\\s*$"
  "trailing space|\\s+$"
  "word at line end|\\w+\\s*$"
  "semicolon at end|;\\s*$"
  "comment line|^\\s*//"
  "to-do comment|//.*TODO"
  "at sign|([a-z]+)@"
  "quoted string|\"[^\"\\\\]*(?:\\\\.[^\"\\\\]*)*\""
  "function-like macro|#define\\s+\\w+\\s+\\("
  "type name|\\w+_t\\b"
  "upper-case word|\\b[A-Z_]{4,}\\b"
  "-ing word|[a-zA-Z]+ing"
  "const char pointer|\\bconst\\s+char\\s*\\*"
  "doubled word|\\b(\\w+)\\s+\\1\\b"
  "call (look-ahead)|\\w+(?=\\()"
  "after struct (look-behind)|(?<=struct )\\w+"
  "return non-zero (negative look-ahead)|return\\s+(?!0\\b)\\w+"
)

. "$root/bench/grep_timing.sh"

size=$(stat -c %s "$text")
lines=$(wc -l < "$text")
echo "Text: $((size / 1024 / 1024)) MB, $lines lines of $(basename "$tree"); $runs run(s) each; LC_ALL=C, byte mode."
echo
echo "| pattern | lines | qelch s | grep -P s | rg s | vs grep -P | vs rg |"
echo "|---|---:|---:|---:|---:|---:|---:|"
status=0
for row in "${patterns[@]}"; do
  name="${row%%|*}"; pat="${row#*|}"
  mapfile -t q < <(timeit "$qelch" grep -c --bytes "$pat" "$text")
  mapfile -t p < <(timeit grep -c -P "$pat" "$text")
  mapfile -t r < <(timeit rg -c --no-unicode --engine auto "$pat" "$text")
  count="${q[1]}"
  for c in "${p[1]}" "${r[1]}"; do
    if [ "$c" != "$count" ]; then
      echo "code_grep_bench: counts differ for '$pat': qelch $count, grep -P ${p[1]}, rg ${r[1]}" >&2
      status=1
    fi
  done
  printf '| %s `%s` | %s | %.3f | %.3f | %.3f | %s | %s |\n' "$name" "$pat" "$count" \
    "${q[0]}" "${p[0]}" "${r[0]}" "$(ratio "${p[0]}" "${q[0]}")" "$(ratio "${r[0]}" "${q[0]}")"
done
exit $status
