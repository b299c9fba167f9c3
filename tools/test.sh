#!/usr/bin/env bash
# Builds the library, the tool and every test, then runs the whole suite.
#
# The tests need packages the library does not (GoogleTest, and PCRE2 and ICU
# as outside oracles, found through pkg-config). On Debian the missing ones
# are installed first, non-interactively, when this runs as root (or with
# password-less sudo); otherwise they are named and the run stops, since a
# suite with tests left out is not a passing suite.
#
#   tools/test.sh [extra CMake configure arguments]
#
# QELCH_BUILD_DIR chooses the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ libgtest-dev pkg-config libpcre2-dev libicu-dev ripgrep patch perl)

if command -v dpkg >/dev/null 2>&1; then
  need=()
  for pkg in "${packages[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
  if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
      as_root=()
    elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
      as_root=(sudo -n)
    else
      echo "tools/test.sh: the tests need these Debian packages, which are not installed: ${need[*]}" >&2
      echo "tools/test.sh: install them as root (apt-get install ${need[*]}) and run this again" >&2
      exit 1
    fi
    echo "== installing ${need[*]}"
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
  fi
else
  echo "tools/test.sh: not a Debian system; the configure step below names any package the tests miss" >&2
fi

build="${QELCH_BUILD_DIR:-build}"
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build" -DQELCH_BUILD_TESTS=ON -DQELCH_REQUIRE_TEST_PACKAGES=ON "$@"
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs"
