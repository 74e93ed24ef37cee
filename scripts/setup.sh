#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any
# is missing. Needs root for apt-get; as another user it only reports.
set -euo pipefail

packages=(
  build-essential cmake pkg-config g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nodejs npm libnode-dev
  libpulse-dev libspeexdsp-dev libwebrtc-audio-processing-dev pulseaudio pulseaudio-utils espeak-ng sox
  pipewire pipewire-pulse wireplumber dbus-daemon
  debootstrap
  python3-numpy python3-yaml
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
# A Node.js that did not come from Debian is fine as long as it runs.
if command -v node >/dev/null && command -v npm >/dev/null; then
  filtered=()
  for p in "${missing[@]}"; do
    case "$p" in nodejs|npm|libnode-dev) ;; *) filtered+=("$p") ;; esac
  done
  missing=("${filtered[@]+"${filtered[@]}"}")
fi

if ((${#missing[@]} == 0)); then
  exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=900 update -qq
apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${missing[@]}" >/dev/null
