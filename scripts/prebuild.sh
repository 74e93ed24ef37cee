#!/usr/bin/env bash
# Builds the binaries that the npm packages ship, Release and stripped, inside
# a Debian 11 root so they load on glibc 2.31 and newer:
#   apps/desktop/native/parlanto-audio/prebuilds/linux-x64/parlanto-audio.napi.glibc.node
#   apps/desktop/native/parlanto-audio/prebuilds/win32-x64/parlanto-audio.napi.node
#   packages/sidecar/prebuilds/linux-x64/sidecar
# Run by each package's `prepack`; the build in the root is kept, so a second
# run with unchanged sources compiles nothing. Prints the C library versions
# the binaries need. Needs root (the build root is entered with chroot) on an
# x86-64 Linux.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${PARLANTO_CACHE:-$repo/.cache}
target=linux-x64
headers_version=1.9.0

if [[ $(uname -s) != Linux || $(uname -m) != x86_64 ]]; then
  echo "prebuild: builds $target binaries on an x86-64 Linux only" >&2
  exit 1
fi
# Both packages' prepack run this; one at a time, since they share the root,
# the build in it and the caches.
mkdir -p "$cache"
exec 9>"$cache/prebuild.lock"
flock 9
root=$("$repo/scripts/make-build-root.sh")
# `sidecar --version` prints the repository's project version.
version=$(sed -n 's/^project(parlanto VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")

# Node-API's C headers, from the npm package that carries them alone.
headers=$cache/npm/node-api-headers-$headers_version
if [[ ! -f $headers/node_modules/node-api-headers/include/node_api.h ]]; then
  mkdir -p "$headers"
  npm install --prefix "$headers" --no-save --no-audit --no-fund --loglevel=error \
    "node-api-headers@$headers_version" >&2
fi

# The sources, copied with their times kept so that the build in the root
# stays incremental; only what the release build reads.
work=$root/parlanto
rm -rf "$work/src"
mkdir -p "$work/src/apps/desktop/native/parlanto-audio" "$work/src/scripts" "$work/build"
cp -a "$repo/cmake" "$repo/sidecar" "$work/src/"
cp -a "$repo/scripts/prebuild" "$repo/scripts/llama.cpp.cmake" "$work/src/scripts/"
cp -a "$repo/apps/desktop/native/parlanto-audio/CMakeLists.txt" "$repo/apps/desktop/native/parlanto-audio/src" \
  "$work/src/apps/desktop/native/parlanto-audio/"
cp -a "$headers/node_modules/node-api-headers/include" "$work/node-api"

# llama.cpp for the sidecar's model runner, built in the root with its
# compiler once and kept there (about 5 minutes on 2 cores); the source is
# fetched and checked on this side.
llama_source=$("$repo/scripts/setup-llama.sh" --source)
llama_stamp="$(git -C "$llama_source" rev-parse HEAD) $(sha1sum <"$repo/scripts/llama.cpp.cmake" | cut -c1-12)"
if [[ ! -f $work/llama/.parlanto-build || $(cat "$work/llama/.parlanto-build") != "$llama_stamp" ]]; then
  echo "prebuild: building llama.cpp in the build root (a few minutes)" >&2
  rm -rf "$work/llama-src" "$work/llama-build" "$work/llama"
  git -C "$llama_source" archive --format=tar --prefix=llama-src/ HEAD | tar -x -C "$work"
  chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root /bin/sh -ec '
    cmake -S /parlanto/llama-src -B /parlanto/llama-build -C /parlanto/src/scripts/llama.cpp.cmake \
      -DCMAKE_INSTALL_PREFIX=/parlanto/llama >/dev/null
    cmake --build /parlanto/llama-build -j 2 >/dev/null
    cmake --install /parlanto/llama-build >/dev/null
  ' >&2
  rm -rf "$work/llama-src" "$work/llama-build"
  echo "$llama_stamp" >"$work/llama/.parlanto-build"
fi

chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root /bin/sh -ec '
  cmake -S /parlanto/src/scripts/prebuild -B /parlanto/build -DCMAKE_BUILD_TYPE=Release \
    -DNODE_API_INCLUDE_DIR=/parlanto/node-api -DPARLANTO_VERSION='"$version"' \
    -DPARLANTO_LLAMA_DIR=/parlanto/llama >/dev/null
  cmake --build /parlanto/build -j 2 -- --no-print-directory >/dev/null
' >&2

audio_out=$repo/apps/desktop/native/parlanto-audio/prebuilds/$target
sidecar_out=$repo/packages/sidecar/prebuilds/$target
rm -rf "$audio_out" "$sidecar_out"
mkdir -p "$audio_out" "$sidecar_out"
install -m 0644 "$work/build/audio/parlanto_audio.node" "$audio_out/parlanto-audio.napi.glibc.node"
install -m 0755 "$work/build/sidecar/sidecar" "$sidecar_out/sidecar"

# The module carries the echo canceller's engine (no engine library is needed
# where it runs) and shows nothing but its entry point.
cmake -DMODULE="$audio_out/parlanto-audio.napi.glibc.node" -DOBJDUMP=objdump -DSTATIC_ENGINE=ON \
  -P "$repo/apps/desktop/native/parlanto-audio/test/module_links.cmake" >/dev/null

# Where they were built they must run, on its C library (2.31): the program
# answers, and that system's Node.js loads the module.
answer=$(echo '{"id":"1","type":"status"}' | chroot "$root" /parlanto/build/sidecar/sidecar)
if [[ $answer != '{"id":"1","ok":true,"output":"stub","inferenceMs":0}' ]]; then
  echo "prebuild: the sidecar does not run on Debian 11: $answer" >&2
  exit 1
fi
loaded=$(chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin /usr/bin/node -e \
  'console.log(Object.keys(require("/parlanto/build/audio/parlanto_audio.node")).join(","))' 2>&1) || true
if [[ $loaded != listInputDevices,listOutputDevices,ParlantoMicrophone,ParlantoSystemLoopback ]]; then
  echo "prebuild: the audio module does not load in Debian 11's Node.js: $loaded" >&2
  exit 1
fi

# The Windows module, cross-built with mingw-w64 (the `windows` preset places
# it in prebuilds/win32-x64/); it imports only system DLLs.
"$repo/scripts/setup-windows.sh" --build-only >&2
(cd "$repo" && cmake --preset windows >/dev/null && cmake --build --preset windows -j 2 --target parlanto_audio >/dev/null)
windows_module=$repo/apps/desktop/native/parlanto-audio/prebuilds/win32-x64/parlanto-audio.napi.node
imports=$(x86_64-w64-mingw32-objdump -p "$windows_module" | sed -n 's/^\tDLL Name: //p' | sort -f | tr '\n' ' ')
echo "prebuild: ${windows_module#"$repo"/} imports ${imports% }"

for binary in "$audio_out/parlanto-audio.napi.glibc.node" "$sidecar_out/sidecar"; do
  needs=$(objdump -T "$binary" | grep -o 'GLIBC_[0-9.]*' | sort -u -V | tr '\n' ' ')
  echo "prebuild: ${binary#"$repo"/} ($(stat -c %s "$binary") bytes) needs ${needs% }"
done
