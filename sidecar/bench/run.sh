#!/usr/bin/env bash
# Benchmarks the sidecar of the default build against the echo floor. Not a
# test: it prints figures, and takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target sidecar
out=build/sidecar-bench
mkdir -p "$out"
cc -O2 -Wall -Wextra -Werror -o "$out/echo_floor" sidecar/bench/echo_floor.c
node sidecar/bench/bench.js build/sidecar/sidecar "$out/echo_floor" "$out"
