#!/usr/bin/env bash
# qelch grep options against GNU grep -P (and ripgrep for the ignore rules
# of -r) on small fixtures; where qelch chooses differently, the reason is
# written next to the case.
. "$(dirname "$0")/lib.sh"
cd "$work" || exit 1
make_lines > lines.txt
cp lines.txt copy.txt

# Same output as grep -P over two files, across tiny and large chunks: the
# context (-A/-B/-C with "--" between groups, also between files), -m with
# its trailing context, counts, listings and colours.
options=('-n -C2' '-A1' '-B3 -n' '-inC1' '-c -v' '-l' '-L' '-w' '-x' '-o -i' '-m2 -A1' '-nvm3 -B1' '-h'
         '--color=always -n' '--color=always -v -C1' '-o --color=always' '--color=always -l' '-B5 -A2'
         '-m5 -A30 -n' '-c -m3' '-H -c')
patterns=('the' 'it was the .* of' 'Light' '7$' '^$' 'ing \d+$')
for o in "${options[@]}"; do
    for p in "${patterns[@]}"; do
        want=$(grep -P $o -- "$p" lines.txt copy.txt | md5sum)
        for cs in 16 100000; do
            check "grep $o '$p' like grep -P, chunk $cs" "$want" \
                "$(QELCH_CHUNK_SIZE=$cs $QELCH grep $o -- "$p" lines.txt copy.txt | md5sum)"
        done
    done
done

# -o decides a line by the line's global search, once a matching line has
# shown the pattern's record count: patterns with groups, empty matches and
# look-behind, lines without a match between matching ones (every line goes
# through the line's own search under an atomic group), -m and -c.
for o in '-on' '-o -m3 -H' '-oc'; do
    for p in '(\w)(\w+)?' 'i(t|n)?' '(e)|x*' '(?<=t)(h)' '(\d)(\d)$' '(?>(\w)e) \d'; do
        want=$(grep -P $o -- "$p" lines.txt copy.txt | md5sum)
        for cs in 16 100000; do
            check "grep $o '$p' like grep -P, chunk $cs" "$want" \
                "$(QELCH_CHUNK_SIZE=$cs $QELCH grep $o -- "$p" lines.txt copy.txt | md5sum)"
        done
    done
done

printf 'a.b\naxb\nA.B\nfoo bar\nfoobar\n(x)\n' > f.txt
printf 'x\n\\.B\n' > pats.txt
# Several patterns need grep -E (grep -P takes one); they agree here.
while IFS=$'\t' read -r name peer args; do
    eval "set -- $args"
    check "$name like grep $peer" "$(grep $peer "$@" f.txt; echo "rc=$?")" "$($QELCH grep "$@" f.txt; echo "rc=$?")"
done <<'TABLE'
-F	-F	-F a.b
-F -i	-F	-Fi a.b
-F -x	-F	-Fx '(x)'
-F -w	-F	-Fw foo
-F several	-F	-F -e '(x' -e 'a.b'
-e several	-E	-e x -e 'A\.'
-e attached	-P	-ex
-f	-E	-f pats.txt
-f with -e	-E	-f pats.txt -e foo
-w	-P	-w 'foo|bar'
-x	-P	-x 'foo\w+'
-m	-P	-m1 a
-q found	-P	-q a
-q nothing	-P	-q zzz
TABLE
check "-f of an empty file matches nothing" "rc=1" "$($QELCH grep -f /dev/null f.txt; echo "rc=$?")"
check "-v -f of an empty file selects all" "6" "$($QELCH grep -vc -f /dev/null f.txt)"
check "-m0" "rc=1" "$($QELCH grep -m0 a f.txt; echo "rc=$?")"
# -L: exit status as grep 3.8 has it: 0 when some line was selected.
check "-L" "$(grep -L a f.txt lines.txt; echo "rc=$?")" "$($QELCH grep -L a f.txt lines.txt; echo "rc=$?")"
# A file that could not be read has no count (grep 3.8 prints "dir:0").
mkdir adir
check "no count for an unread file" $'f.txt:1\nrc=2' "$($QELCH grep -c foobar adir f.txt 2>/dev/null; echo "rc=$?")"
check "-s silences a missing file" "rc=2" "$($QELCH grep -s a none.txt 2>&1; echo "rc=$?")"
check "-q: a match wins over an error" "rc=0" "$($QELCH grep -q a none.txt f.txt 2>/dev/null; echo "rc=$?")"
check "-h is not help" "$(grep -h a f.txt f.txt)" "$($QELCH grep -h a f.txt f.txt)"
check "--help" 0 "$($QELCH grep --help | grep -c 'Supported pattern syntax' >/dev/null; echo $?)"
check "back-references with several patterns refused" 2 "$($QELCH grep -e '(a)\1' -e b f.txt 2>/dev/null; echo $?)"

# Binary files: a NUL in the first 32 KiB.
printf 'a\0b\nab\n' > bin.dat
check "binary file matches" "$(grep a bin.dat 2>&1 | sed 's/^grep/qelch/'; echo "rc=$?")" "$($QELCH grep a bin.dat 2>&1; echo "rc=$?")"
check "binary -c" "$(grep -c a bin.dat)" "$($QELCH grep -c a bin.dat)"
check "binary -a" "$(grep -a a bin.dat | od -c)" "$($QELCH grep -a a bin.dat | od -c)"
check "binary -I" "$(grep -I a bin.dat; echo "rc=$?")" "$($QELCH grep -I a bin.dat; echo "rc=$?")"
check "binary -I -c" "$(grep -Ic a bin.dat)" "$($QELCH grep -Ic a bin.dat)"
{ head -c 40000 /dev/zero | tr '\0' 'x'; printf '\n\0 late\n'; } > late.dat
check "a NUL after the first block: text" 1 "$($QELCH grep -c late late.dat 2>&1)"

# Lines are counted from the search over many lines when its match stays in
# one line; a match there that runs over a line end must neither count its
# line nor hide a match later in that line or in the next.
like_grep_over_line_ends() {
    local p o cs
    for p in "$@"; do
        for o in -c '-c -v' -n; do
            for cs in 4 100000; do
                check "grep $o '$p' over line ends like grep -P, chunk $cs" "$(grep -P $o -- "$p" span.txt)" \
                    "$(QELCH_CHUNK_SIZE=$cs $QELCH grep $o -- "$p" span.txt)"
            done
        done
    done
}
printf 'a \n\n  \nb\n a b\nab\n\tc  \nb a\n' > span.txt
like_grep_over_line_ends '\s+' 'a\s*' '\s*$' 'a\s+b' '^\s*$' '\S\s*$' 'x*' '.' '\bb' 'b\s' '\s\S' '$' 'a\s*$'
# Look-around whose body keeps to its line lets the search over many lines
# run; the others ("\s" may take a line feed) search each line alone. In the
# search over many lines "\s", "\W", "\D" and negated classes skip line feeds
# outside look-around; the rest of the class syntax must come through intact.
printf 'f(x)\n a (b\n0 b\nreturn 0;\nreturn  x;\nreturn\n0\n-\n]\n\x01\n' >> span.txt
like_grep_over_line_ends '\w+(?=\()' '(?<=a )\S' 'return\s+(?!0\b)\w+' 'a(?!\s*b)' '(?<!\w)b' '\s(?=\(|b)' \
    '(?<=[^a])\s\S' '\W+$' '\D\s' '[^a]\s*$' '[^a-]+$' '[^]a]\s' '[^[:alpha:]]$' '\c[\s' '\s+(?=$)' '[\s;]+$' '^\D*$'
# Many selected lines, so that the matches are collected ahead in batches:
# the count must not change where a match runs over a line end or a line
# holds several matches.
for _ in $(seq 200); do cat span.txt; done > spans.txt
for p in '\s+$' ';\s*$' 'a\s*' '\w+(?=\()' '\b\w' '\s\S' '[\s;]+$' '[\s]+\S' 'x*'; do
    check "grep -c '$p' over many lines like grep -P" "$(grep -P -c -- "$p" spans.txt)" "$($QELCH grep -c -- "$p" spans.txt)"
done
printf 'a\r\nab\r\na b\r\n' > crlf-span.txt
check "--crlf: a match taking the CR is not the line's" 1 "$($QELCH grep --crlf -c 'a\s' crlf-span.txt)"

# Patterns whose lines are decided by byte-set searches without the matcher
# ("x*": every line; "." or "[0-9]+": a byte of the set; "^\s*$": only bytes
# of it), next to look-alikes that must go to the matcher. The fixture has
# empty and blank lines, bytes above 0x7F, lines longer than the short scan
# before the vector search, and a last line without a line feed.
{
    printf 'abc\n\n  \t \nx 12\n\xe9t\xe9\nfoo.  \nZ\n\f\r\n'
    printf '%*s\n' 70 ''
    printf '%*s7\n' 70 ''
    printf '%*s\n' 90 '' | tr ' ' q
    printf 'AB ab\nzz\n\n\t\nlast'
} > shape.txt
for p in 'x*' 'a?' '(?:ab)*' 'q{0,2}' 'x*?' '.' '\S' '\d' '[0-9]+' '[^a-z ]' 'Z' '[a-cX]' '\.' '\s' 'q+?' \
         '^\s*$' '^[ \t]*$' '^q*$' '^\S*$' 'x*$' '^x*' '\b' '(?=x)' '(?:a|b)*' 'Z|\d' '[[:digit:]]' '[\t]' '.q'; do
    for o in -c '-c -v' '-c -i' '-n -i -v' -l '-q'; do
        want=$(LC_ALL=C grep -P $o -- "$p" shape.txt; echo "rc=$?")
        for cs in 8 100000; do
            check "grep --bytes $o '$p' like grep -P, chunk $cs" "$want" \
                "$(QELCH_CHUNK_SIZE=$cs $QELCH grep --bytes $o -- "$p" shape.txt; echo "rc=$?")"
        done
    done
done
# like_grep_p FILE PATTERN 'OPTION SETS' 'CHUNK SIZES': qelch grep against
# grep -P in the C locale for each option set, at each chunk size.
like_grep_p() {
    local o cs
    for o in $3; do
        for cs in $4; do
            check "grep $o '$2' like grep -P, chunk $cs" "$(LC_ALL=C grep -P $o -- "$2" "$1")" \
                "$(QELCH_CHUNK_SIZE=$cs $QELCH grep $o -- "$2" "$1")"
        done
    done
}
# The digits of an escape are no literal that every match contains.
printf 'a\xffb\nff\n\x01x\n' > esc.txt
for p in '\xff' '\x01x' '\101b' '\cAx'; do
    check "grep -c '$p' like grep -P" "$(LC_ALL=C grep -P -c -- "$p" esc.txt)" "$($QELCH grep --bytes -c -- "$p" esc.txt)"
done
# Under -i the literals every match contains pick the candidate lines from a
# lower-cased copy: occurrences in any case, next to UTF-8, at line ends and
# split over a chunk boundary.
printf 'Error here\nANERRORX\nerr or\nfooBAR\nfoo\xc3\xa9bar\nx.ERRor!\nTypeError: Error\nOVERFLOWerror\n' > icase.txt
for p in '[A-Z][a-z]+Error' 'foo.bar' 'x\.error' '\berror\b' 'e(r)ror' 'TypeError:\s+\w+' '[a-z]ERROR$' 'foo(?:bar|\x{e9})'; do
    for cs in 8 100000; do
        check "grep -i '$p' like grep -P, chunk $cs" "$(LC_ALL=C.UTF-8 grep -P -in -- "$p" icase.txt)" \
            "$(QELCH_CHUNK_SIZE=$cs $QELCH grep -in -- "$p" icase.txt)"
    done
done
# A leading "(?i)" is -i for the whole pattern, alternatives included.
for args in "-w '(?i)error'" "'(?i)a|error'" "-x '(?i)ERR\s+OR'" "-w '(?i)e(r)ror'" "-c '(?i)fooBar'"; do
    eval "set -- $args"
    check "grep $args like grep -P" "$(LC_ALL=C.UTF-8 grep -P -n "$@" icase.txt)" "$($QELCH grep -n "$@" icase.txt)"
done
# "^" and plain text is found as the text after a line feed: at the start of
# the file and of a chunk, not inside a line, a '}' plain, under -i folded.
printf '}x\n  }\n}\n\n} else {\nab}\n#Include <a>\n#include\nX}\n}}\n' > start.txt
for p in '^}' '^}}' '^#include' '^} else' '^x}' '^ab}'; do
    like_grep_p start.txt "$p" '-n -c -v -o -in -x -w -ivn' '16 100000'
done
# -w over plain words decides a line by the bytes beside each occurrence:
# inside longer words (before, after, '_', digits), several on a line of
# which only a later one counts, one word the start of another at the same
# place ("for|format"), at line and chunk ends, and next to UTF-8, where the
# line goes to the matcher.
printf 'elif x\nifdef if_ _if 2if\nformat for\nfor\nformats\nx(format)\nif\n\xc3\xa9if\nif\xc3\xa9 ok\nIF(\nunifor informat\nfort ifx;if\n' > words.txt
for p in 'if|else|for' 'for|format' 'format|for' 'if' 'x|if'; do
    like_grep_p words.txt "$p" '-wn -wc -wv -wo -win -wvc' '16 100000'
done
# Three or more plain literals are found by one search of their alternation
# (the library reads the piece once for all of them): the leftmost match and,
# at one place, the first alternative ("ab|abc", "bc|abcd" under -o), words
# inside longer words under -w, either case under -i, lines longer than the
# library's blocks, pieces cut short of a long line (chunk 40) and of one
# line (chunk 16).
{
    printf 'x = malloc(n); free(p); /* and then a long stretch without any of the words */ memcpy\n'
    printf 'freed callocs\nMALLOC Free strDUP\nnothing here\nabcd abc ab\nzabcdz xbcd\n'
    printf '%s\n' "$(printf 'filler %.0s' 1 2 3 4 5 6 7 8 9)realloc" "a_free freed free_ strdup." "ab"
} > alt.txt
for p in 'malloc|calloc|realloc|free|strdup|memcpy' 'ab|abc|zz' 'abc|ab|xb' 'bc|abcd|zab'; do
    like_grep_p alt.txt "$p" '-n -c -v -o -on -w -wo -in -io -vc' '16 40 100000'
done
# -F literals that need no escape are searched as one alternation; one that
# does keeps the search per literal.
for args in "-Fion -e FREE -e alloc -e dup" "-Fon -e 'p);' -e free -e '(n)'"; do
    eval "set -- $args"
    check "grep $args like grep -F" "$(LC_ALL=C grep "$@" alt.txt)" "$($QELCH grep "$@" alt.txt)"
done
check "grep -Fw over words like grep -Fw" "$(LC_ALL=C grep -Fwn -e for -e if words.txt)" "$($QELCH grep -Fwn -e for -e if words.txt)"
# -m stops counting on every shape (grep -P -v '' prints no count at all);
# in UTF-8 a character is not its bytes.
for p in 'x*' '.' '^\s*$'; do
    check "grep -c -m3 '$p'" "$(grep -P -c -m3 -- "$p" shape.txt)" "$($QELCH grep --bytes -c -m3 -- "$p" shape.txt)"
done
check "grep -c ''" "$(grep -P -c '' shape.txt)" "$($QELCH grep --bytes -c '' shape.txt)"
check "grep -c -v ''" 0 "$($QELCH grep --bytes -c -v '' shape.txt)"
printf '\xc3\xa9\n\xe2\x82\xac\nab\n\n' > utf8.txt
for p in '.' '[^a]' 'x*' '^[^b]*$' '^.$'; do
    check "grep -c '$p' in UTF-8 like grep -P" "$(LC_ALL=C.UTF-8 grep -P -c -- "$p" utf8.txt)" "$($QELCH grep -c -- "$p" utf8.txt)"
done
# --crlf: the CR of a CR LF line is no part of the line.
printf 'a\r\n\r\n \r\n\tb\r\nc\n\r\r\n' > crlf-shape.txt
for p in '.' '\s' '[\r]' '\S' '^\s*$' '^[ \t]*$' '^a*$' 'x*'; do
    for o in -c '-c -v'; do
        check "--crlf grep $o '$p' like grep -P without the CRs" "$(sed 's/\r$//' crlf-shape.txt | LC_ALL=C grep -P $o -- "$p")" \
            "$($QELCH grep --bytes --crlf $o -- "$p" crlf-shape.txt)"
    done
done

# --crlf: $ before the CR of a CR LF line, as ripgrep --crlf; the line is
# printed whole.
printf 'ab\r\ncd\nab\n' > crlf.txt
for p in 'b$' '^ab$' 'd$' 'a.$'; do
    check "--crlf '$p' like rg --crlf" "$(rg --crlf -c -- "$p" crlf.txt | tr -d '\r')" "$($QELCH grep --crlf -c -- "$p" crlf.txt)"
done
check "--crlf -x" 2 "$($QELCH grep --crlf -xc ab crlf.txt)"

# -r: hidden files and what .gitignore (inside a repository) and .ignore
# exclude are skipped, as ripgrep does; symbolic links are not followed.
mkdir -p tree/.git tree/sub/deep tree/build tree/gen tree/.hid tree/other
for f in a.txt b.log keep.log sub/c.txt sub/d.log sub/deep/e.txt build/f.txt gen/g.txt .hid/h.txt .dot.txt \
         other/i.txt other/j.tmp root-only.txt sub/root-only.txt; do echo "needle $f" > "tree/$f"; done
printf '*.log\n!keep.log\nbuild/\n/root-only.txt\n# comment\n' > tree/.gitignore
printf 'e.txt\n' > tree/sub/.gitignore
printf '*.tmp\n' > tree/other/.ignore
printf '[g]en\n**/deep2\nsub/**/*.md\n' > tree/.ignore
mkdir -p tree/a/deep2 tree/sub/x/y && echo needle > tree/a/deep2/k.txt && echo needle > tree/a/l.txt
echo needle > tree/sub/x/y/m.md && echo needle > tree/sub/n.md && echo needle > tree/o.md
ln -s ../a.txt tree/sub/link.txt
check "-r like rg" "$(rg -l --sort path needle tree)" "$($QELCH grep -rl needle tree)"
check "-r --hidden like rg" "$(rg -l --hidden --sort path -g '!.git' needle tree)" "$($QELCH grep -rl --hidden needle tree)"
check "-r --no-ignore like rg" "$(rg -l --no-ignore --sort path needle tree)" "$($QELCH grep -rl --no-ignore needle tree)"
check "-r below the top: the ignore files above count too" "$(rg -l --sort path needle tree/sub tree/other)" \
    "$($QELCH grep -rl needle tree/sub tree/other)"
check "-r below the top, from inside" "$(cd tree/sub && rg -l --sort path needle)" "$(cd tree/sub && $QELCH grep -rl needle)"
check "-r without a directory: names without ./" "$(cd tree && rg -l --sort path needle)" \
    "$(cd tree && $QELCH grep -rl needle)"
check "--include like grep" "$(grep -rl --include='*.txt' needle tree/sub | sort)" \
    "$($QELCH grep -rl --no-ignore --include='*.txt' needle tree/sub)"
check "--exclude like grep" "$(grep -rl --exclude='*.txt' needle tree/sub | sort)" \
    "$($QELCH grep -rl --no-ignore --exclude='*.txt' needle tree/sub)"
check "--exclude-dir like grep" "$(grep -rl --exclude-dir=deep needle tree/sub | sort)" \
    "$($QELCH grep -rl --no-ignore --exclude-dir=deep needle tree/sub)"
mkdir -p plain/x && echo needle > plain/x/y.log && printf '*.log\n' > plain/.gitignore
check ".gitignore outside a repository does not count (as rg)" "$(rg -l needle plain)" "$($QELCH grep -rl needle plain)"

# Many files on several threads: the same output as one thread, in file order.
for i in $(seq 1 40); do head -n $((i * 7)) lines.txt > "many$i.txt"; done
files=$(ls many*.txt | sort -V)
check "threads agree" "$($QELCH grep --threads 1 -n -C1 'was the' $files | md5sum)" \
    "$($QELCH grep --threads 4 -n -C1 'was the' $files | md5sum)"
check "threads like grep" "$(grep -P -n 'was the' $files | md5sum)" "$($QELCH grep --threads 3 -n 'was the' $files | md5sum)"

# A search the library cuts short (its match limit) is an error naming the
# pattern and the file: exit 2, no count for that file, the other files go on.
printf 'a1\nCUT a2\na3\n' > cut.txt
printf 'a4\n' > fine.txt
out=$(QELCH_TEST_CUT_SEARCH=CUT $QELCH grep -c 'a\d' cut.txt fine.txt 2>"$work/err"; echo "rc=$?")
check "cut search: no count for that file" $'fine.txt:1\nrc=2' "$out"
check "cut search: message" "qelch: grep: cut.txt: the search for 'a\\d' was cut short: match limit exceeded; no count or listing for this file" "$(cat "$work/err")"
check "cut search: other lines still printed" $'cut.txt:a1\ncut.txt:a3\nfine.txt:a4\nrc=2' \
    "$(QELCH_TEST_CUT_SEARCH=CUT $QELCH grep 'a\d' cut.txt fine.txt 2>/dev/null; echo "rc=$?")"
check "cut search: -L does not list" $'rc=2' "$(QELCH_TEST_CUT_SEARCH=CUT $QELCH grep -L 'z\d' cut.txt 2>/dev/null; echo "rc=$?")"
# The same with a search the library itself cuts: the back-reference keeps
# the pattern on the backtracking matcher, and a run of 12,000 letters goes
# deeper than the default match limit (and, were it not nested, would take
# more steps than the work budget).
printf 'aa\n%sba\naa\n' "$(head -c 12000 /dev/zero | tr '\0' a)" > deep.txt
printf 'aa\n' > fine.txt
out=$($QELCH grep -c '(a|aa)+\1$' deep.txt fine.txt 2>"$work/err"; echo "rc=$?")
check "cut by the library: no count for that file" $'fine.txt:1\nrc=2' "$out"
check "cut by the library: message" \
    "qelch: grep: deep.txt: the search for '(a|aa)+\\1\$' was cut short: match limit exceeded; no count or listing for this file" \
    "$(cat "$work/err")"
check "cut by the library: other lines and files still searched" $'deep.txt:aa\ndeep.txt:aa\nfine.txt:aa\nrc=2' \
    "$($QELCH grep '(a|aa)+\1$' deep.txt fine.txt 2>/dev/null; echo "rc=$?")"

# Patterns: escapes the library reads as letters warn once; syntax it does
# not have is named.
while IFS=$'\t' read -r p msg; do
    check "pattern '$p'" "$msg" "$($QELCH grep -c -- "$p" f.txt 2>&1 >/dev/null | head -1)"
done <<'TABLE'
a\Kb\K	qelch: warning: \K is not supported here; read as the letter K
\h+	qelch: warning: \h is not supported here; read as the letter h
x\R	qelch: warning: \R is not supported here; read as the letter R
(a)\g1	qelch: warning: \g is not supported here; read as the letter g
[\h]	qelch: warning: \h is not supported here; read as the letter h
(?<name>a)	qelch: bad pattern: named groups are not supported at offset 0
(?P<n>a)	qelch: bad pattern: named groups are not supported at offset 0
a(?R)?	qelch: bad pattern: recursion and subroutine calls are not supported at offset 1
(a)(?1)	qelch: bad pattern: recursion and subroutine calls are not supported at offset 3
a++	qelch: bad pattern: possessive quantifiers are not supported at offset 2
a{2}+	qelch: bad pattern: possessive quantifiers are not supported at offset 4
\++	
[+]+	
a+?	
\d\w\s\b\x41\Q\K\E	
(?<=a)(?<!b)	
TABLE
check "an error shows the pattern as given" $'qelch: bad pattern: unbalanced group at offset 1\nb)\n ^' \
    "$($QELCH grep -w -e a -e 'b)' f.txt 2>&1)"
check "warning once per pattern" 1 "$($QELCH grep -- 'a\Kb\K' f.txt 2>&1 >/dev/null | wc -l)"
finish
