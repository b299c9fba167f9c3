#!/usr/bin/env bash
# Short libFuzzer runs of every fuzz target (pattern compiler, search and
# replacement, pattern sets, string primitives, UTF conversion both ways),
# one after the other, under AddressSanitizer and UndefinedBehaviorSanitizer.
# Each target starts from its seed corpus in a scratch directory; fuzz/run.sh
# does the work.
set -euo pipefail
cd "$(dirname "$0")/../.."
QELCH_FUZZ_SECONDS="${QELCH_FUZZ_SECONDS:-25}" bash fuzz/run.sh
