#!/usr/bin/env bash
# Fetches llama.cpp's source and builds its static libraries for the sidecar's
# model runner, once: later runs only check the stamp. Prints the folder the
# libraries and headers are installed in, which CMake finds by itself.
#   scripts/setup-llama.sh            # build for this machine: $cache/llama.cpp/host
#   scripts/setup-llama.sh --source   # only fetch; print the source folder
# The source is the git bundle that the npm package node-llama-cpp ships
# (llama/gitRelease.bundle, one commit), checked against the integrity the
# registry publishes for that version. Nothing is copied into the tree.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${PARLANTO_CACHE:-$repo/.cache}
package=node-llama-cpp@3.21.1
integrity=sha512-E3N0Ev2Va0wzydvXYFwM9Hvyo07PoWjt8T/9GMc43Cvt8YkV/NU/tYUgEMC1grTPv2o9PRjQi0G3Wb5P/awiMg==
commit=80fb11ac73e66d89eae2c6a91d8a77428fa733ed
source=$cache/llama.cpp/src-${commit:0:7}
prefix=$cache/llama.cpp/host

mkdir -p "$cache/llama.cpp"
# One run at a time per cache: parallel test runs share it.
exec 8>"$cache/llama.cpp/setup.lock"
flock 8

if [[ ! -f $source/.parlanto-source ]]; then
  work=$(mktemp -d "$cache/llama.cpp/fetch.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  echo "setup-llama: fetching $package" >&2
  (cd "$work" && npm pack "$package" --silent >/dev/null)
  tarball=$(ls "$work"/*.tgz)
  actual=sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)
  if [[ $actual != "$integrity" ]]; then
    echo "setup-llama: $package does not match its pinned integrity ($actual)" >&2
    exit 1
  fi
  tar -xzf "$tarball" -C "$work" package/llama/gitRelease.bundle
  rm -rf "$source"
  git clone --quiet "$work/package/llama/gitRelease.bundle" "$source" 2>/dev/null
  if [[ $(git -C "$source" rev-parse HEAD) != "$commit" ]]; then
    echo "setup-llama: the bundle holds $(git -C "$source" rev-parse HEAD), not $commit" >&2
    exit 1
  fi
  echo "$commit" >"$source/.parlanto-source"
  rm -rf "$work"
  trap - EXIT
fi
if [[ ${1:-} == --source ]]; then
  echo "$source"
  exit 0
fi

# The stamp names what the libraries were built from and with; anything else
# there is built again.
stamp="$commit $(cc -dumpfullversion) $(sha1sum <"$repo/scripts/llama.cpp.cmake" | cut -c1-12)"
if [[ -f $prefix/.parlanto-build && $(cat "$prefix/.parlanto-build") == "$stamp" ]]; then
  echo "$prefix"
  exit 0
fi
echo "setup-llama: building llama.cpp's static libraries into $prefix (a few minutes)" >&2
build=$cache/llama.cpp/host-build
rm -rf "$build" "$prefix"
cmake -S "$source" -B "$build" -C "$repo/scripts/llama.cpp.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
  >"$cache/llama.cpp/host-build.log" 2>&1 &&
  cmake --build "$build" -j "${PARLANTO_LLAMA_JOBS:-2}" >>"$cache/llama.cpp/host-build.log" 2>&1 &&
  cmake --install "$build" >>"$cache/llama.cpp/host-build.log" 2>&1 || {
  echo "setup-llama: the build failed; see $cache/llama.cpp/host-build.log" >&2
  exit 1
}
rm -rf "$build"
# The model runner's tests write their models with the gguf Python package
# that comes with this source.
cp -a "$source/gguf-py" "$prefix/gguf-py"
echo "$stamp" >"$prefix/.parlanto-build"
echo "$prefix"
