#!/usr/bin/env bash
# End-to-end tests of the qelch tool: every subcommand's main paths, exit
# codes, messages, chunk boundaries and the safety of --in-place.
. "$(dirname "$0")/lib.sh"

# ---- grep ----
printf 'alpha\nBeta gamma\n\ndelta alpha\nepsilon\n' > "$work/a.txt"
check "grep lines" $'alpha\ndelta alpha' "$($QELCH grep alpha "$work/a.txt")"
check "grep exit found" 0 "$($QELCH grep alpha "$work/a.txt" >/dev/null; echo $?)"
check "grep exit nothing" 1 "$($QELCH grep zeta "$work/a.txt" >/dev/null; echo $?)"
check "grep -i" "Beta gamma" "$($QELCH grep -i '^beta' "$work/a.txt")"
check "grep -c" 2 "$($QELCH grep -c alpha "$work/a.txt")"
check "grep -n" $'1:alpha\n4:delta alpha' "$($QELCH grep -n alpha "$work/a.txt")"
check "grep -v -n" $'2:Beta gamma\n3:\n5:epsilon' "$($QELCH grep -v -n alpha "$work/a.txt")"
check "grep -o" $'al\nal' "$($QELCH grep -o 'al' "$work/a.txt")"
check "grep -o groups" $'ph\nph' "$($QELCH grep -o '(?<=l)(p)h' "$work/a.txt")"
check "grep empty line" "3:" "$($QELCH grep -n '^$' "$work/a.txt")"
check "grep end anchor per line" $'alpha\ndelta alpha' "$($QELCH grep 'a$' "$work/a.txt" | grep alpha)"
check "grep no match across lines" 1 "$($QELCH grep 'alpha\sBeta' "$work/a.txt" >/dev/null; echo $?)"
check "grep dotall stays in line" 1 "$($QELCH grep --dotall 'alpha.Beta' "$work/a.txt" >/dev/null; echo $?)"
check "grep stdin" "epsilon" "$(printf 'x\nepsilon\n' | $QELCH grep eps)"
check "grep no final newline" "last" "$(printf 'first\nlast' | $QELCH grep 'st$' | tail -1)"
cp "$work/a.txt" "$work/b.txt"
check "grep two files" $'a.txt:alpha\nb.txt:alpha' "$(cd "$work" && $QELCH grep '^alpha' a.txt b.txt)"

err=$($QELCH grep 'abc)' "$work/a.txt" 2>&1 >/dev/null)
check "bad pattern message" $'qelch: bad pattern: unbalanced group at offset 3\nabc)\n   ^' "$err"
check "bad pattern exit" 2 "$($QELCH grep 'abc)' "$work/a.txt" 2>/dev/null; echo $?)"
check "missing file" 2 "$($QELCH grep a "$work/none.txt" 2>/dev/null; echo $?)"
check "missing file message" 1 "$($QELCH grep a "$work/none.txt" 2>&1 | grep -c 'none.txt')"
check "bad option" 2 "$($QELCH grep --frobnicate a "$work/a.txt" 2>/dev/null; echo $?)"
check "help" 0 "$($QELCH grep --help >/dev/null; echo $?)"
check "unknown command" 2 "$($QELCH frob 2>/dev/null; echo $?)"

# The same answers as grep -P on the sample text, for syntax both share.
for p in 'it was' '\bthe\b' '[A-Z][a-z]+' '^\w+,' 'o{2}' '(?i)WE' '\d+\.\d+' 'e$' '^$'; do
    check "grep -c like grep -P: $p" "$(grep -cP "$p" "$SAMPLE")" "$($QELCH grep -c "$p" "$SAMPLE")"
    check "grep -n like grep -P: $p" "$(grep -nP "$p" "$SAMPLE")" "$($QELCH grep -n "$p" "$SAMPLE")"
done

# Plain-text patterns take a substring search instead of the matcher: the
# same lines, with and without -i, -v and -n, and across tiny chunks.
for p in 'it was' 'THE' 'we, ' 'o-' 'Age OF'; do
    for f in '' '-i' '-v' '-n -i' '-c -v -i'; do
        check "literal $f '$p' like grep -P" "$(grep -P $f -- "$p" "$SAMPLE")" "$($QELCH grep $f -- "$p" "$SAMPLE")"
        check "literal $f '$p' in small chunks" "$(grep -P $f -- "$p" "$SAMPLE")" \
            "$(QELCH_CHUNK_SIZE=130 $QELCH grep $f -- "$p" "$SAMPLE")"
    done
done

# Literals that every match contains narrow the lines the matcher sees;
# alternations of plain text need no matcher at all. Same lines as grep -P.
for p in 'season|winter|epoch' 'SEASON|Winter' '[a-z]+ (of|to) the' 'w(as|ere) (the|all)' 'it was\.?' \
         'of (Light|Darkness)?' 'age\s+of' 'befor?e us' 'dir(e)ct|x' '(?:go|had) [a-z]+ing' 'th[a-z]* (?i)EPOCH'; do
    for f in '' '-i' '-v' '-n' '-o'; do
        check "candidates $f '$p' like grep -P" "$(grep -P $f -- "$p" "$SAMPLE")" "$($QELCH grep $f -- "$p" "$SAMPLE")"
    done
done

printf 'color\ncolour\nabef\nxw\nx\xc3\xa9z\nxz\nfoo{2}\nfoo\n' > "$work/opt.txt"
# An unbraced \xHH outside a class is one byte here, as for grep -P in the C
# locale (in a UTF-8 locale it is a code point).
for p in 'colou?r' 'colou*r' 'ab(cd)?ef' 'ab(cd){0,2}ef' 'x(yz)*w' 'x\xc3\xa9?z' 'fo{2}' 'foo\{2\}' 'colo[u]r'; do
    check "optional parts '$p' like grep -P" "$(LC_ALL=C grep -P -- "$p" "$work/opt.txt")" "$($QELCH grep -- "$p" "$work/opt.txt")"
done

# Tiny chunks: same lines, and matches right at chunk boundaries.
for i in $(seq 1 400); do echo "line $i of the chunk test $((i % 7 == 0 ? 1 : 0))"; done > "$work/big.txt"
check "chunked grep" "$($QELCH grep -n 'test 1$' "$work/big.txt")" \
    "$(QELCH_CHUNK_SIZE=64 $QELCH grep -n 'test 1$' "$work/big.txt")"
check "chunked grep -v -c" "$($QELCH grep -v -c '7' "$work/big.txt")" \
    "$(QELCH_CHUNK_SIZE=100 $QELCH grep -v -c '7' "$work/big.txt")"
head -c 300 /dev/zero | tr '\0' 'x' > "$work/long.txt"
{ head -c 3000000 /dev/zero | tr '\0' 'y'; printf 'z\nyz\n'; } > "$work/wide.txt"
check "lines longer than the first read buffer" 2 "$($QELCH grep -c 'yz$' "$work/wide.txt")"
# A line longer than the chunk grows the buffer: same answer as one big chunk.
check "line longer than chunk" "$(cat "$work/long.txt")" "$(QELCH_CHUNK_SIZE=64 $QELCH grep x "$work/long.txt")"
check "line longer than chunk, -c" 2 "$(QELCH_CHUNK_SIZE=1000 $QELCH grep -c 'yz$' "$work/wide.txt")"
# An inline option that switches "m" off still sees each line alone.
check "(?-m) sees each line" "foo" "$(printf 'x\nfoo\n' | $QELCH grep '(?-m)^foo')"
check "(?i-m:) sees each line" "FOO" "$(printf 'x\nFOO\n' | $QELCH grep '(?i-m:^foo$)')"
# A pipe is read as it is written: lines and characters cut between two
# reads come out whole.
check "pipe: lines cut between reads" 2 "$( { printf 'ab'; sleep 0.2; printf 'c\nd'; sleep 0.2; printf 'e\n'; } | $QELCH grep -c 'abc|de')"
check "pipe: long line between reads" 1 "$( { head -c 70000 /dev/zero | tr '\0' a; sleep 0.2; printf 'b\nc\n'; } | QELCH_CHUNK_SIZE=16 $QELCH grep -c 'ab$')"
check "pipe: a character cut between reads" "$(printf 'h\xc3\xa9\n' | iconv -f UTF-8 -t UTF-16LE | od -An -tx1)" \
    "$( { printf 'h\xc3'; sleep 0.2; printf '\xa9\n'; } | $QELCH convert -f UTF-8 -t UTF-16LE | od -An -tx1)"
# An atomic group over many lines may take a line feed it cannot give back.
check "atomic group sees each line" 3 "$(printf 'a \nb\nc\n' | $QELCH grep -c '(?>\s*)$')"
# Every command reports a failed write of its output, once.
printf 'x\n' > "$work/x.pat"
for cmd in "hash" "grep x" "replace x y" "sets -f $work/x.pat" "convert --from utf8 --to utf16le" "--help" "grep --help"; do
    err=$(printf 'x\n' | $QELCH $cmd 2>&1 >/dev/full; echo "rc=$?")
    check "write error reported: $cmd" $'qelch: cannot write the output: No space left on device\nrc=2' "$err"
done

# ---- replace ----
check "replace all" $'[alpha]\nBeta gamma\n\ndelta [alpha]\nepsilon' "$($QELCH replace 'alpha' '[$&]' "$work/a.txt")"
check "replace first" "X-b-a" "$(printf 'a-b-a' | $QELCH replace --first 'a' 'X')"
check "replace group" "2024/12/10" "$(printf '10.12.2024' | $QELCH replace '(\d+)\.(\d+)\.(\d+)' '$3/$2/$1')"
check "replace -i" "x x x" "$(printf 'A a A' | $QELCH replace -i 'a' 'x')"
check "chunked replace" "$($QELCH replace 'chunk' 'CHUNK' "$work/big.txt" | md5sum)" \
    "$(QELCH_CHUNK_SIZE=64 $QELCH replace 'chunk' 'CHUNK' "$work/big.txt" | md5sum)"
# More matches than one record array holds: every one is still replaced or printed.
yes 'a b a b' | head -3000 > "$work/many.txt"
check "replace past the record array" 0 "$($QELCH replace 'a' 'X' "$work/many.txt" | grep -c a)"
head -c 20000 /dev/zero | tr '\0' 'a' > "$work/oneline.txt"
check "grep -o past the record array" 20000 "$($QELCH grep -o 'a' "$work/oneline.txt" | wc -l)"
check "sets past the record array" "$(printf 'a\t6000')" "$(printf 'a\n' > "$work/pa.txt"; $QELCH sets -f "$work/pa.txt" "$work/many.txt")"
check "bad template" 2 "$($QELCH replace a '$x' "$work/a.txt" 2>/dev/null; echo $?)"
cp "$work/a.txt" "$work/edit.txt"
$QELCH replace --in-place 'alpha' 'omega' "$work/edit.txt"
check "in place" $'omega\nBeta gamma\n\ndelta omega\nepsilon' "$(cat "$work/edit.txt")"
cp "$work/a.txt" "$work/keep.txt"
status=$(QELCH_TEST_FAIL_WRITE=1 $QELCH replace --in-place 'alpha' 'omega' "$work/keep.txt" 2>/dev/null; echo $?)
check "in place failure exit" 2 "$status"
check "in place failure keeps original" "$(cat "$work/a.txt")" "$(cat "$work/keep.txt")"
check "in place failure leaves no temp file" 0 "$(ls "$work" | grep -c qelch-)"

# ---- sets ----
printf 'alpha\na\n\n[0-9]+\n' > "$work/patterns.txt"
check "sets counts" $'alpha\t2\na\t8\n[0-9]+\t0' "$($QELCH sets -f "$work/patterns.txt" "$work/a.txt")"
for i in $(seq 1 30); do echo "w$i"; done > "$work/many.txt"
check "sets threads agree" "$($QELCH sets --threads 1 -f "$work/many.txt" "$work/big.txt")" \
    "$($QELCH sets --threads 2 -f "$work/many.txt" "$work/big.txt")"
check "sets vs grep -o" "$(grep -o 'the' "$SAMPLE" | wc -l)" \
    "$(printf 'the\n' > "$work/one.txt"; $QELCH sets -f "$work/one.txt" "$SAMPLE" | cut -f2)"
check "sets missing -f" 2 "$($QELCH sets "$work/a.txt" 2>/dev/null; echo $?)"
# A pattern whose search the library cuts (a back-reference over a run
# deeper than the match limit) gets no count: its error instead, exit 2; the
# other patterns are still counted.
printf '(a|aa)+\\1$\nb\n' > "$work/cut.pat"
printf 'aa\n%sba\naa\n' "$(head -c 12000 /dev/zero | tr '\0' a)" > "$work/deep.txt"
check "sets: cut pattern" $'b\t1\nrc=2' "$($QELCH sets -f "$work/cut.pat" "$work/deep.txt" 2>"$work/err"; echo "rc=$?")"
check "sets: cut pattern message" "qelch: sets: pattern '(a|aa)+\\1\$': match limit exceeded (-188)" "$(cat "$work/err")"

# ---- convert ----
$QELCH convert --from utf8 --to utf16le "$SAMPLE" > "$work/s16le"
check "convert like iconv (le)" "$(iconv -f UTF-8 -t UTF-16LE "$SAMPLE" | md5sum)" "$(md5sum < "$work/s16le")"
check "convert like iconv (be)" "$(iconv -f UTF-8 -t UTF-16BE "$SAMPLE" | md5sum)" \
    "$($QELCH convert --from utf8 --to utf16be "$SAMPLE" | md5sum)"
check "convert round trip" "$(md5sum < "$SAMPLE")" "$($QELCH convert --from utf16le --to utf8 "$work/s16le" | md5sum)"
check "convert chunked" "$(md5sum < "$work/s16le")" \
    "$(QELCH_CHUNK_SIZE=17 $QELCH convert --from utf8 --to utf16le "$SAMPLE" | md5sum)"
check "convert chunked back" "$(md5sum < "$SAMPLE")" \
    "$(QELCH_CHUNK_SIZE=17 $QELCH convert --from utf16le --to utf8 "$work/s16le" | md5sum)"
check "convert unknown encoding" 2 "$($QELCH convert --from utf8 --to utf32 2>/dev/null </dev/null; echo $?)"

# ---- hash ----
check "hash x31" "00017862" "$(printf 'abc\n' | $QELCH hash --algo x31)"
check "hash lines" 3 "$(printf 'a\nb\n\n' | $QELCH hash | wc -l)"
check "hash --16 same for ASCII x31" "$(printf 'abc\n' | $QELCH hash --algo x31)" "$(printf 'abc\n' | $QELCH hash --16 --algo x31)"
check "hash bad algo" 2 "$($QELCH hash --algo md5 </dev/null 2>/dev/null; echo $?)"

finish
