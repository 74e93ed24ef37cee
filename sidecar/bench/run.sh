#!/usr/bin/env bash
# Benchmarks the sidecar of the release build against the echo floor, and
# against the sidecar of an earlier commit when one is given:
#   sidecar/bench/run.sh [BEFORE_COMMIT]
# Not a test: it prints figures, and takes a few minutes. Instruction counts
# need valgrind, peak memory GNU time (/usr/bin/time); without them those
# lines say so.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target sidecar
out=build-release/sidecar-bench
mkdir -p "$out"
cc -O2 -Wall -Wextra -Werror -o "$out/echo_floor" sidecar/bench/echo_floor.c
before=()
if (($# > 0)); then
  # The earlier commit is built in a temporary worktree, removed afterwards.
  tree="$out/before-tree"
  rm -rf "$tree"
  git worktree prune
  git worktree add --detach "$tree" "$1" >/dev/null
  trap 'git worktree remove --force "$tree"' EXIT
  cmake -S "$tree" -B "$out/before-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPARLANTO_BUILD_TESTS=OFF -DPARLANTO_BUILD_AUDIO=OFF >/dev/null
  cmake --build "$out/before-build" -j2 --target sidecar >/dev/null
  cp "$out/before-build/sidecar/sidecar" "$out/sidecar-before"
  before=("$out/sidecar-before")
fi
node sidecar/bench/bench.js build-release/sidecar/sidecar "$out/echo_floor" "$out" "${before[@]}"
