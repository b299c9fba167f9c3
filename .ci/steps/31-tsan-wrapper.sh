#!/usr/bin/env bash
# The C++ wrapper under ThreadSanitizer: one qel::regex searched from several
# threads at once must never let two searches write the same compiled state.
# Shares the build directory of the pattern-set step. The pattern-set cases
# are left to that step: it searches from fresh caller threads, which the
# uninstrumented OpenMP runtime's pooled workers need for the detector to see
# each hand-off.
set -euo pipefail
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQELCH_WERROR=ON -DQELCH_SANITIZE=thread
cmake --build build-tsan -j"$(nproc)" --target wrapper_test
TSAN_OPTIONS="halt_on_error=1 ignore_noninstrumented_modules=1" OMP_WAIT_POLICY=passive \
  ./build-tsan/tests/wrapper_test --gtest_filter='WrapperRegex.*:WrapperStrings.*'
