#!/usr/bin/env bash
# qelch convert against iconv: the encoding names, byte order marks,
# --strict offsets and -c, across block cuts.
. "$(dirname "$0")/lib.sh"
cd "$work" || exit 1
printf 'h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80 end\n' > text
cat "$SAMPLE" >> text

for enc in UTF-16LE UTF-16BE UTF-16 UTF-8 utf16le utf-16be; do
    iconv -f UTF-8 -t "$enc" text > "in.$enc"
    for cs in 17 100000; do
        check "to $enc like iconv, blocks $cs" "$(md5sum < "in.$enc")" \
            "$(QELCH_CHUNK_SIZE=$cs $QELCH convert -f UTF-8 -t "$enc" text | md5sum)"
        check "from $enc like iconv, blocks $cs" "$(iconv -f "$enc" -t UTF-8 "in.$enc" | md5sum)" \
            "$(QELCH_CHUNK_SIZE=$cs $QELCH convert -f "$enc" -t UTF-8 "in.$enc" | md5sum)"
    done
done
(printf '\xfe\xff'; cat in.UTF-16BE) > marked.be
check "UTF-16 input with a big-endian mark" "$(iconv -f UTF-16 -t UTF-8 marked.be | md5sum)" \
    "$($QELCH convert -f UTF-16 -t UTF-8 marked.be | md5sum)"
check "UTF-16 to UTF-16BE like iconv" "$(iconv -f UTF-16 -t UTF-16BE in.UTF-16 | md5sum)" \
    "$($QELCH convert -f UTF-16 -t UTF-16BE in.UTF-16 | md5sum)"
check "old names still work" "$(md5sum < in.UTF-16LE)" "$($QELCH convert --from utf8 --to utf16le text | md5sum)"
check "unknown encoding" 2 "$($QELCH convert -f UTF-8 -t LATIN1 text 2>/dev/null; echo $?)"

# Invalid input: --strict stops at the same offset as iconv (exit 1, what
# came before written); -c writes U+FFFD where iconv -c drops the bytes, so
# removing the U+FFFD gives iconv's output. Default: passed through. (UTF-16
# output: iconv copies UTF-8 to UTF-8 without checking values above U+10FFFF.)
while IFS=$'\t' read -r name from bytes; do
    printf "$bytes" > bad
    want=$(iconv -f "$from" -t UTF-16LE bad 2>&1 >/dev/null | sed 's/.*position //')
    got=$($QELCH convert --strict -f "$from" -t UTF-16LE bad 2>&1 >/dev/null | sed 's/.*byte offset //')
    check "--strict offset: $name" "$want" "$got"
    check "--strict exit: $name" 1 "$($QELCH convert --strict -f "$from" -t UTF-8 bad >/dev/null 2>&1; echo $?)"
    check "--strict writes what came before: $name" "$(iconv -f "$from" -t UTF-16LE bad 2>/dev/null | md5sum)" \
        "$($QELCH convert --strict -f "$from" -t UTF-16LE bad 2>/dev/null | md5sum)"
    check "-c like iconv -c, U+FFFD aside: $name" "$(iconv -c -f "$from" -t UTF-16LE bad 2>/dev/null | md5sum)" \
        "$(QELCH_CHUNK_SIZE=16 $QELCH convert -c -f "$from" -t UTF-8 bad | sed 's/\xef\xbf\xbd//g' |
           iconv -f UTF-8 -t UTF-16LE | md5sum)"
    check "default passes through: $name" 0 "$($QELCH convert -f "$from" -t UTF-16LE bad >/dev/null 2>&1; echo $?)"
done <<'TABLE'
stray byte	UTF-8	ab\xffcd\n
overlong	UTF-8	a\xc0\x80b\n
surrogate in UTF-8	UTF-8	a\xed\xa0\x80b\n
above U+10FFFF	UTF-8	a\xf4\x90\x80\x80b\n
after a block cut	UTF-8	0123456789abcdef0123456789\xe2\x82\x41\n
lone low surrogate	UTF-16LE	a\x00\x00\xdcb\x00
high surrogate without pair	UTF-16BE	\x00a\xd8\x00\x00b
TABLE
check "-c counts one U+FFFD per maximal part" "a\xef\xbf\xbd\xef\xbf\xbdb" \
    "$(printf 'a\xe2\x82\xffb' | $QELCH convert -c -f UTF-8 -t UTF-8 | od -An -c | tr -d ' \n' | sed 's/357277275/\\xef\\xbf\\xbd/g')"
check "--strict: cut sequence at the end" 1 "$(printf 'a\xe2\x82' | $QELCH convert --strict -f UTF-8 -t UTF-16LE >/dev/null 2>&1; echo $?)"
check "-c: cut sequence at the end" "$(printf 'a\xef\xbf\xbd' | od -An -tx1)" \
    "$(printf 'a\xe2\x82' | $QELCH convert -c -f UTF-8 -t UTF-8 | od -An -tx1)"
finish
