#!/usr/bin/env bash
# The main job: builds the project and runs the sidecar on sample requests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
echo "== sidecar answers examples/requests.jsonl"
build/sidecar/sidecar < examples/requests.jsonl
