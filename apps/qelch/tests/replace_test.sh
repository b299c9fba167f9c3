#!/usr/bin/env bash
# qelch replace: the line model against sed, independence from how the
# input is cut, --whole, --in-place safety, --backup, --dry-run.
. "$(dirname "$0")/lib.sh"
make_lines > "$work/lines.txt"
L=$work/lines.txt

# Each line is its own subject, as sed sees it (or perl -l, for empty
# matches right after a match, which sed does not replace, and for UTF-8
# characters); the output must not depend on the chunk size (16 bytes is the
# smallest the knob takes).
while IFS=$'\t' read -r pattern template peer; do
    want=$(eval "$peer" '"$L"' | md5sum)
    for cs in 16 61 100000; do
        check "replace '$pattern' like $peer, chunk $cs" "$want" \
            "$(QELCH_CHUNK_SIZE=$cs $QELCH replace "$pattern" "$template" "$L" | md5sum)"
    done
done <<'TABLE'
^	> 	sed 's/^/> /'
$	;	sed 's/$/;/'
^$	<empty>	sed 's/^$/<empty>/'
(\w+) (\d+)$	$2=$1	sed -E 's/([[:alnum:]_]+) ([0-9]+)$/\2=\1/'
\s+	_	sed -E 's/[[:space:]]+/_/g'
^(\w)	[$1]	sed -E 's/^([[:alnum:]_])/[\1]/'
e\s*|s	E	sed -E 's/e[[:space:]]*|s/E/g'
x*	-	perl -CSD -lpe 's/x*/-/g'
\W+	_	perl -lpe 's/\W+/_/g'
TABLE
check "\$ before each line end, not at a piece end" $'a;\nb;\nc;' "$(printf 'a\nb\nc\n' | $QELCH replace '$' ';')"
check "no final line feed" $'a;\nb;' "$(printf 'a\nb' | $QELCH replace '$' ';')"
check "nothing matches across a line end" $'a b\nc' "$(printf 'a b\nc\n' | $QELCH replace 'b\sc' X)"
check "--first: first match of the input" $'aX\nab' "$(printf 'ab\nab\n' | $QELCH replace --first b X)"
check "look-behind sees only its line" $'x\nab' "$(printf 'x\nab\n' | $QELCH replace '(?<=x\n)a' 'X')"
# --whole: one subject, ^ and $ of the input (Perl's $ also before a final line feed).
check "--whole \$" "$(printf 'a\nb;\n;')" "$(printf 'a\nb\n' | $QELCH replace --whole '$' ';')"
while IFS=$'\t' read -r flags pattern template peer; do
    check "--whole $flags '$pattern' like perl -0777" "$(perl -0777 -pe "$peer" "$L" | md5sum)" \
        "$(QELCH_CHUNK_SIZE=16 $QELCH replace --whole $flags "$pattern" "$template" "$L" | md5sum)"
done <<'TABLE'
-i	\n\n+	<p>	s/\n\n+/<p>/gi
--multiline	^(\w)	[$1]	s/^(\w)/[$1]/gm
-i	$	;	s/$/;/g
--dotall	best.*?worst	X	s/best.*?worst/X/gs
TABLE
check "--whole across lines" "a_b_c_" "$(printf 'a b\nc\n' | $QELCH replace --whole '\s' '_')"
check "--whole --multiline ^" $'>a\n>b' "$(printf 'a\nb' | $QELCH replace --whole --multiline '^' '>')"
check "bad template" 2 "$($QELCH replace a '$x' "$L" 2>/dev/null; echo $?)"

# --in-place through a symbolic link: the target is rewritten, the link stays.
mkdir "$work/ip" && cd "$work/ip" || exit 1
printf 'alpha\nbeta\n' > t && chmod 640 t && ln -s t link
$QELCH replace --in-place alpha omega link 2>/dev/null
check "in place through a link: target" $'omega\nbeta' "$(cat t)"
check "in place through a link: still a link" "t" "$(readlink link)"
check "in place keeps the mode" "640" "$(stat -c %a t)"
if [ "$(id -u)" = 0 ]; then
    chown nobody: t
    $QELCH replace --in-place omega alpha t 2>/dev/null
    check "in place keeps owner and group" "nobody $(id -gn nobody)" "$(stat -c '%U %G' t)"
    check "in place as root rewrote" $'alpha\nbeta' "$(cat t)"
fi
ln t hard
check "hard-linked file refused" 2 "$($QELCH replace --in-place a b t 2>/dev/null; echo $?)"
check "hard-linked file untouched" "$(cat hard)" "$(cat t)"
rm hard
mkfifo fifo
check "not a regular file refused" 2 "$($QELCH replace --in-place a b fifo 2>/dev/null; echo $?)"
# A write past the file-size limit (SIGXFSZ) leaves the original and no temporary file.
head -c 200000 /dev/zero | tr '\0' a | fold -w 100 > big
cp big big.want
check "file-size limit exit" 2 "$( (ulimit -f 50; $QELCH replace --in-place a b big 2>/dev/null); echo $?)"
check "file-size limit keeps the original" "$(md5sum < big.want)" "$(md5sum < big)"
check "no temporary file left" "" "$(ls -A | grep qelch-)"
# Where the file system can hold a file without a name, even SIGKILL leaves nothing.
sigs="TERM INT HUP"
python3 -c 'import os; os.open(".", os.O_TMPFILE | os.O_WRONLY)' 2>/dev/null && sigs="$sigs KILL"
for sig in $sigs; do
    status=$( (QELCH_CHUNK_SIZE=1000 QELCH_TEST_SIGNAL_AFTER_WRITE=$(kill -l $sig) $QELCH replace --in-place a b big) 2>/dev/null; echo $?)
    check "SIG$sig during --in-place ends the process" $((128 + $(kill -l $sig))) "$status"
    check "SIG$sig during --in-place keeps the original" "$(md5sum < big.want)" "$(md5sum < big)"
    check "SIG$sig during --in-place leaves no temporary file" "" "$(ls -A | grep qelch-)"
done
for sig in TERM INT; do
    status=$( (QELCH_TEST_NAMED_TEMP=1 QELCH_CHUNK_SIZE=1000 QELCH_TEST_SIGNAL_AFTER_WRITE=$(kill -l $sig) \
               $QELCH replace --in-place a b big) 2>/dev/null; echo $?)
    check "SIG$sig with a named temporary file: original kept" "$(md5sum < big.want)" "$(md5sum < big)"
    check "SIG$sig with a named temporary file: removed" "" "$(ls -A | grep qelch-)"
done
check "named temporary file: rewrite" "2000" "$(QELCH_TEST_NAMED_TEMP=1 $QELCH replace --in-place a b big 2>/dev/null; grep -c '^b*$' big)"
cp big.want big
status=$(QELCH_TEST_FAIL_WRITE=1 $QELCH replace --in-place 'alpha' 'omega' t 2>/dev/null; echo $?)
check "write failure exit" 2 "$status"
check "write failure keeps the original" $'alpha\nbeta' "$(cat t)"
check "no temporary file left after a write failure" "" "$(ls -A | grep qelch-)"
# A search the library cuts (a back-reference over a run deeper than the
# match limit) is an error naming the pattern and the file; --in-place then
# leaves the file as it was.
printf 'aa\n%sba\naa\n' "$(head -c 12000 /dev/zero | tr '\0' a)" > deep
cp deep deep.want
check "cut search: message and exit" \
    "qelch: replace: deep: the search for '(a|aa)+\\1\$' failed: match limit exceeded; the output of this file stops here"$'\nrc=2' \
    "$($QELCH replace '(a|aa)+\1$' X deep 2>&1 >/dev/null; echo "rc=$?")"
check "cut search: --in-place exit" 2 "$($QELCH replace --in-place '(a|aa)+\1$' X deep 2>/dev/null; echo $?)"
check "cut search: --in-place leaves the file" "$(md5sum < deep.want)" "$(md5sum < deep)"
check "cut search: no temporary file left" "" "$(ls -A | grep qelch-)"
# --backup keeps the original; a file without a match is not rewritten.
touch -d '2000-01-01' t
$QELCH replace --in-place zzz y t 2>/dev/null
check "no match: not rewritten" "2000" "$(date -r t +%Y)"
$QELCH replace --in-place --backup .orig alpha omega t 2>/dev/null
check "--backup original" $'alpha\nbeta' "$(cat t.orig)"
check "--backup new" $'omega\nbeta' "$(cat t)"
# Several files: a summary per file on standard error.
printf 'a a\n' > f1 && printf 'b\n' > f2
check "summary per file" $'f1: 2 replacements\nf2: 0 replacements' "$($QELCH replace --in-place a x f1 f2 2>&1)"
cd - >/dev/null || exit 1

# --dry-run prints a unified diff that patch applies to give the same result.
printf 'one\ntwo\nthree\nfour\nfive\nsix\nseven\neight\nnine\nten\neleven\ntwelve' > "$work/n"
$QELCH replace --dry-run 'o' 'O' "$work/n" > "$work/d.diff" 2>/dev/null
sed 's/o/O/g' "$work/n" > "$work/n.sed"
check "--dry-run like diff -u" "$(diff -u "$work/n" "$work/n.sed" | tail -n +3)" "$(tail -n +3 "$work/d.diff")"
for args in "o O" "e\$ E" "^ >" "^t(\w+) T\$1\\n"; do
    set -- $args
    cp "$work/n" "$work/p"
    $QELCH replace --dry-run "$1" "$2" "$work/p" > "$work/p.diff" 2>/dev/null
    $QELCH replace "$1" "$2" "$work/n" > "$work/p.want"
    patch -s "$work/p" "$work/p.diff"
    check "--dry-run diff applies: $1" "$(md5sum < "$work/p.want")" "$(md5sum < "$work/p")"
done
cp "$L" "$work/L2"
$QELCH replace --whole --dry-run '\n\n' $'\n' "$work/L2" > "$work/w.diff" 2>/dev/null
patch -s "$work/L2" "$work/w.diff"
check "--whole --dry-run diff applies" "$($QELCH replace --whole '\n\n' $'\n' "$L" | md5sum)" "$(md5sum < "$work/L2")"
finish
