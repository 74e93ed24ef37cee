#!/usr/bin/env bash
# Builds everything and runs every test: the default build, then the same tests
# under the address and undefined-behaviour sanitizers, then the C++ tests under
# the thread sanitizer (its preset builds and selects only those), then the
# Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# llama.cpp's static libraries for the sidecar's model runner, built once
# into the cache; every preset but `thread` links them.
scripts/setup-llama.sh >/dev/null

jobs=$(nproc)
for preset in default sanitize thread; do
  echo "== ${preset} build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

# The Windows module, cross-built, and its tests under Wine.
echo "== windows build"
scripts/setup-windows.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
ctest --preset windows -j "$jobs"
