#!/usr/bin/env bash
# The committed case table must be exactly what its generator prints.
set -euo pipefail
python3 tools/gen_case_table.py | diff -u src/unicode/case_table.inc - && echo "case table up to date"
