#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs them one after
# the other for a bounded time each.
#
#   fuzz/run.sh [-t SECONDS] [-s SECONDS] [-k] [TARGET...]
#
#   -t SECONDS  time per target (default: $QELCH_FUZZ_SECONDS, else 60)
#   -s SECONDS  longest time one input may take (default: $QELCH_FUZZ_TIMEOUT,
#               else 5)
#   -k          keep what the fuzzer learns: run on build-fuzz/corpus/<target>
#               (seeded from fuzz/corpus/<target>) instead of a scratch copy
#   TARGET      e.g. regex_search (or regex_search_fuzz); default: every
#               fuzz/*_fuzz.cpp
#
# Crashes, leaks and slow inputs are written to build-fuzz/artifacts/<target>/;
# replay one with: build-fuzz/fuzz/<target>_fuzz <file>. The build directory
# can be changed with QELCH_FUZZ_BUILD. The exit status is non-zero when any
# target crashed, broke an invariant or took longer than the time per input:
# the match limit of the regex targets comes with a work budget that ends
# every search within milliseconds, so a slow input is a fault. The default
# time per input leaves room for sanitizers on a busy machine.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${QELCH_FUZZ_SECONDS:-60}"
per_input="${QELCH_FUZZ_TIMEOUT:-5}"
keep=0
while getopts "t:s:k" opt; do
  case "$opt" in
    t) seconds="$OPTARG" ;;
    s) per_input="$OPTARG" ;;
    k) keep=1 ;;
    *) sed -n '2,20p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

targets=()
if [ $# -gt 0 ]; then
  for t in "$@"; do targets+=("${t%_fuzz}"); done
else
  for src in fuzz/*_fuzz.cpp; do
    t=$(basename "$src" .cpp)
    targets+=("${t%_fuzz}")
  done
fi

build="${QELCH_FUZZ_BUILD:-build-fuzz}"
# The library is instrumented for coverage too, so the fuzzer is guided by
# the library's branches rather than only the target's.
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQELCH_BUILD_FUZZ=ON -DQELCH_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
names=()
for t in "${targets[@]}"; do names+=("${t}_fuzz"); done
cmake --build "$build" -j"$(nproc)" --target "${names[@]}" >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
failed=()
for t in "${targets[@]}"; do
  if [ "$keep" = 1 ]; then corpus="$build/corpus/$t"; else corpus="$scratch/$t"; fi
  mkdir -p "$corpus" "$build/artifacts/$t"
  if [ -d "fuzz/corpus/$t" ]; then cp -n fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true; fi
  # Pattern inputs stay short and the search targets cut their subjects
  # anyway; the conversions are worth longer texts.
  case "$t" in
    regex_compile) max_len=256 ;;
    utf*) max_len=4096 ;;
    *) max_len=512 ;;
  esac
  echo "-- $t: ${seconds}s"
  # Fork mode: a crash, a sanitizer report or a broken invariant ends the run
  # with a failure; an input slower than the time per input is saved, fuzzing
  # goes on, and the run ends with a failure all the same.
  rc=0
  "$build/fuzz/${t}_fuzz" -fork=1 -ignore_timeouts=1 -ignore_crashes=0 -ignore_ooms=0 \
      -max_total_time="$seconds" -max_len="$max_len" -timeout="$per_input" -rss_limit_mb=2048 \
      -artifact_prefix="$build/artifacts/$t/" "$corpus" >"$scratch/$t.log" 2>&1 || rc=$?
  last=$(grep -E "^#[0-9]+: cov:" "$scratch/$t.log" | tail -n 1)
  slow=$(sed -n 's|.*oom/timeout/crash: [0-9]*/\([0-9]*\)/.*|\1|p' <<<"$last")
  if [ "$rc" != 0 ] || [ "${slow:-0}" != 0 ]; then
    failed+=("$t")
    tail -n 60 "$scratch/$t.log"
    [ "${slow:-0}" != 0 ] && echo "$slow input(s) ran longer than ${per_input} s; see $build/artifacts/$t/"
    continue
  fi
  echo "${last:-no progress line}"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]} (inputs in $build/artifacts/)"
  exit 1
fi
