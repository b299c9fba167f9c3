#!/usr/bin/env bash
# Short libFuzzer run of the pattern compiler: exact-size state blocks at a
# guard page, under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/../.."

# The library itself is instrumented for coverage too, so the fuzzer is
# guided by the compiler's branches rather than only the target's.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQELCH_BUILD_FUZZ=ON -DQELCH_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target regex_compile_fuzz >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp fuzz/corpus/regex_compile/* "$work/"
./build-fuzz/fuzz/regex_compile_fuzz -max_total_time="${QELCH_FUZZ_SECONDS:-45}" -max_len=256 \
  -print_final_stats=1 "$work" 2>&1 | tail -n 12
