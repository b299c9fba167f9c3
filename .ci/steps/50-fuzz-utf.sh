#!/usr/bin/env bash
# Short libFuzzer runs of the UTF conversion targets (clang, with address and
# undefined-behaviour sanitizers), each checking the library against the
# step-by-step reference of the tests.
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD=build-fuzz-utf
SECONDS_PER_TARGET=${QELCH_FUZZ_SECONDS:-30}

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQELCH_BUILD_FUZZ=ON -DQELCH_BUILD_TESTS=OFF -DQELCH_SANITIZE=address,undefined
cmake --build "$BUILD" -j"$(nproc)" --target utf8to16_fuzz utf16to8_fuzz

mkdir -p fuzz/artifacts
for target in utf8to16_fuzz utf16to8_fuzz; do
  corpus="$BUILD/corpus-$target"
  mkdir -p "$corpus"
  echo "-- $target (${SECONDS_PER_TARGET}s)"
  status=0
  "$BUILD/fuzz/$target" "$corpus" -max_total_time="$SECONDS_PER_TARGET" -max_len=4096 \
    -print_final_stats=1 -artifact_prefix=fuzz/artifacts/ >"$BUILD/$target.log" 2>&1 || status=$?
  tail -n 12 "$BUILD/$target.log"
  if [ "$status" -ne 0 ]; then
    echo "$target failed (status $status); the input is in fuzz/artifacts/"
    exit 1
  fi
done
