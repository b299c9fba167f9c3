#!/usr/bin/env bash
# The committed Unicode 5.1 tables must be what the generator makes from the
# data files. The data are not part of the repository: the stage looks for
# them in QELCH_UNICODE_DATA or next to the checkout, and skips without them.
set -euo pipefail
cd "$(dirname "$0")/../.."

data="${QELCH_UNICODE_DATA:-../shared/unicode-5.1}"
if [ ! -f "$data/UnicodeData.txt" ]; then
  echo "Unicode 5.1 data not found ($data); table check skipped"
  exit 0
fi
if ! command -v python3 >/dev/null 2>&1; then
  echo "python3 not found; table check skipped"
  exit 0
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
python3 tools/gen_unicode_tables.py "$data" "$out"
diff -u src/regex/compile/unicode_tables.h "$out/unicode_tables.h"
diff -u src/regex/compile/unicode_tables.cpp "$out/unicode_tables.cpp" >/dev/null || {
  echo "src/regex/compile/unicode_tables.cpp differs from a fresh generator run"
  exit 1
}
echo "Unicode tables reproduce"
