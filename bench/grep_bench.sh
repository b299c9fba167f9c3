#!/usr/bin/env bash
# Times `qelch grep -c` against `grep -cE`, `grep -cP` and ripgrep (`rg -c`)
# on a few hundred MB of English-like text, for a literal, a case-insensitive
# literal, an alternation of words and a pattern that starts with a class.
# Every tool must report the same count; the median of several runs is kept.
#
#   bench/grep_bench.sh [QELCH_BINARY]
#
#   QELCH_BINARY     the tool (default: build/apps/qelch/qelch, built if absent)
#   QELCH_BENCH_MB   size of the text in MB (default 256)
#   QELCH_BENCH_RUNS runs per tool and pattern (default 5)
#   QELCH_BENCH_DIR  where the text is kept (default: a fresh temporary
#                    directory, removed at the end); an existing text of the
#                    right size there is reused
#
# Prints a Markdown table: median seconds per tool and qelch's time divided
# by each peer's (below 1 means qelch is faster).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
qelch="${1:-$root/build/apps/qelch/qelch}"
mb="${QELCH_BENCH_MB:-256}"
runs="${QELCH_BENCH_RUNS:-5}"

if [ ! -x "$qelch" ]; then
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build" -j"$(nproc)" --target qelch_cli >/dev/null
fi
for tool in grep rg python3; do
  command -v "$tool" >/dev/null || { echo "grep_bench: $tool not found" >&2; exit 2; }
done

if [ -n "${QELCH_BENCH_DIR:-}" ]; then
  dir="$QELCH_BENCH_DIR"
  mkdir -p "$dir"
else
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
fi
text="$dir/text-${mb}mb.txt"

# The text: the bundled sample and generated lines of words (a skewed choice
# from a fixed vocabulary, with capitals, numbers and punctuation), cut into a
# base block that is written again and again, each copy rotated by a
# different number of lines and with a few words changed, up to the size.
if [ ! -s "$text" ]; then
  python3 - "$root/examples/sample.txt" "$text" "$mb" <<'PY'
import random, sys
sample, out, mb = sys.argv[1], sys.argv[2], int(sys.argv[3])
rng = random.Random(20261210)
base_words = open(sample, encoding="utf-8").read().replace(",", " ").replace(".", " ").replace(";", " ").split()
extra = """the of and to a in that is was he for it with as his on be at by had not are but from or have an they
which one you were her all she there would their we him been has when who will more no if out so said what up its
about into than them can only other new some could time these two may then do first any my now such like our over
man me even most made after also did many before must through back years where much your way well down should
because each just those people how too little state good very make world still own see men work long get here
between both life being under never day same another know while last might us great old year off come since
against go came right used take three house morning evening station letter window garden river bridge street
carriage lamp fire doctor inspector ship harbour market candle storm silence journey stranger promise secret
walking talking reading writing waiting thinking running looking speaking hoping watching wondering quietly
suddenly slowly certainly nearly clearly gently hardly""".split()
vocab = base_words + extra
weights = [1.0 / (1 + (i % 97)) for i in range(len(vocab))]
names = ["Holmes", "Watson", "Lestrade", "Hudson", "Mycroft", "London", "Baker", "Thames", "Victoria", "Dover"]
def line():
    n = rng.randint(4, 16)
    words = rng.choices(vocab, weights, k=n)
    for i in range(n):
        r = rng.random()
        if r < 0.05: words[i] = rng.choice(names)
        elif r < 0.08: words[i] = words[i].capitalize()
        elif r < 0.10: words[i] = str(rng.randint(1, 2100))
    s = " ".join(words)
    r = rng.random()
    if r < 0.3: s += "."
    elif r < 0.4: s += ","
    elif r < 0.45: s = s.upper()
    return s
sample_lines = open(sample, encoding="utf-8").read().splitlines()
block = []
for i in range(60000):
    block.append(line())
    if i % 50 == 0: block.append(sample_lines[(i // 50) % len(sample_lines)])
target = mb * 1024 * 1024
with open(out, "w", encoding="utf-8") as f:
    written, rep = 0, 0
    while written < target:
        k = (rep * 7919) % len(block)
        rotated = block[k:] + block[:k]
        for j in range(rep % 13, len(rotated), 211):
            rotated[j] = line()
        chunk = "\n".join(rotated) + "\n"
        f.write(chunk)
        written += len(chunk)
        rep += 1
PY
fi
cat "$text" >/dev/null  # into the page cache before any timing

export LC_ALL=C
# name | flag for case-folding ('' for none) | pattern
patterns=(
  "literal||Holmes"
  "literal, ignore case|-i|holmes"
  "alternation of words||Watson|Lestrade|Hudson|Mycroft"
  "class-led||[A-Z][a-z]+ (walking|talking|reading)"
)

. "$root/bench/grep_timing.sh"

size=$(stat -c %s "$text")
lines=$(wc -l < "$text")
echo "Text: $((size / 1024 / 1024)) MB, $lines lines; $runs runs each, median seconds; LC_ALL=C."
echo
echo "| pattern | count | qelch | grep -E | grep -P | rg | qelch/grep -E | qelch/grep -P | qelch/rg |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
status=0
for row in "${patterns[@]}"; do
  name="${row%%|*}"; rest="${row#*|}"
  flag="${rest%%|*}"; pat="${rest#*|}"
  f=(); [ -n "$flag" ] && f=("$flag")
  mapfile -t q < <(timeit "$qelch" grep -c "${f[@]}" "$pat" "$text")
  mapfile -t e < <(timeit grep -c -E "${f[@]}" "$pat" "$text")
  mapfile -t p < <(timeit grep -c -P "${f[@]}" "$pat" "$text")
  mapfile -t r < <(timeit rg -c "${f[@]}" "$pat" "$text")
  count="${q[1]}"
  for c in "${e[1]}" "${p[1]}" "${r[1]}"; do
    if [ "$c" != "$count" ]; then
      echo "grep_bench: counts differ for '$pat': qelch $count, grep -E ${e[1]}, grep -P ${p[1]}, rg ${r[1]}" >&2
      status=1
    fi
  done
  printf '| %s `%s` | %s | %.3f | %.3f | %.3f | %.3f | %s | %s | %s |\n' "$name" "$flag${flag:+ }$pat" "$count" \
    "${q[0]}" "${e[0]}" "${p[0]}" "${r[0]}" "$(ratio "${q[0]}" "${e[0]}")" "$(ratio "${q[0]}" "${p[0]}")" \
    "$(ratio "${q[0]}" "${r[0]}")"
done
exit $status
