#!/usr/bin/env bash
# Makes (once) the Debian 11 root that the prebuilt binaries are compiled in,
# so that they load on glibc 2.31 and newer. Prints the root's path.
#   scripts/make-build-root.sh            # $PARLANTO_CACHE/roots/bullseye-amd64
# Needs root (debootstrap, chroot) and Debian's package mirror. A root that
# was fully made carries a stamp; a half-made one is made again.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${PARLANTO_CACHE:-$repo/.cache}
suite=bullseye
root=$cache/roots/$suite-amd64
# The compiler, the headers and static libraries the two programs use, CMake (3.18 there), and
# Node.js (12.22 there, with Node-API 8) to load the built module once.
include=build-essential,cmake,pkg-config,libpulse-dev,libspeexdsp-dev,libwebrtc-audio-processing-dev,make,nodejs

if [[ -f $root/.parlanto-root && $(cat "$root/.parlanto-root") == "$include" ]]; then
  echo "$root"
  exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "make-build-root: needs root to make $root" >&2
  exit 1
fi
if ! command -v debootstrap >/dev/null; then
  echo "make-build-root: installing debootstrap" >&2
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq debootstrap >/dev/null
fi
rm -rf "$root"
mkdir -p "$cache/roots/debs"
echo "make-build-root: making $root (Debian $suite; a few minutes)" >&2
debootstrap --variant=minbase --include="$include" --cache-dir="$cache/roots/debs" \
  "$suite" "$root" http://deb.debian.org/debian >"$cache/roots/$suite.log" 2>&1 || {
  echo "make-build-root: debootstrap failed; see $cache/roots/$suite.log" >&2
  exit 1
}
rm -rf "$root"/var/cache/apt/archives/*.deb
echo "$include" >"$root/.parlanto-root"
echo "$root"
