#!/usr/bin/env bash
# Install the release build into a scratch prefix and build the example
# consumer against it twice: through the CMake package and through pkg-config.
set -euo pipefail
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build --prefix "$prefix" >/dev/null
cmake -S examples/consumer -B "$prefix/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer-build" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$prefix/consumer-build/consumer"
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" cc examples/consumer/main.c -o "$prefix/consumer-pc" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs qelch) -Wl,-rpath,"$prefix/lib"
"$prefix/consumer-pc"
echo "install consumer: cmake package and pkg-config both OK"
