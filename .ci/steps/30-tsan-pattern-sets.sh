#!/usr/bin/env bash
# The pattern-set search under ThreadSanitizer. The OpenMP runtime itself is
# not instrumented, so its own accesses are ignored; every hand-off between
# our threads is an explicit release/acquire pair that the detector sees.
set -euo pipefail
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQELCH_WERROR=ON -DQELCH_SANITIZE=thread
cmake --build build-tsan -j"$(nproc)" --target regex_multi_test
TSAN_OPTIONS="halt_on_error=1 ignore_noninstrumented_modules=1" OMP_WAIT_POLICY=passive \
  ./build-tsan/tests/regex_multi_test
