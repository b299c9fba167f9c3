# Shared by the tool's test scripts: the tool under test, a scratch
# directory removed at exit, and check NAME EXPECTED ACTUAL.
set -u
# The peers the tests compare with must be there: a missing one fails the
# run rather than skipping its cases.
for peer in grep sed iconv rg perl patch diff; do
    command -v "$peer" >/dev/null || { echo "missing $peer, which the tool's tests compare with"; exit 1; }
done
QELCH=$(realpath "$1")
SAMPLE=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

check() {  # name, expected, actual
    if [ "$2" == "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
    fi
}

finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# A text of a few hundred lines of varied length, with empty lines, made
# from the sample: big enough that tiny chunks cut it in many places.
make_lines() {
    for _ in $(seq 1 30); do cat "$SAMPLE"; done | awk '{print NR % 13 == 0 ? "" : $0 " " NR}'
}
