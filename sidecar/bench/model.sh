#!/usr/bin/env bash
# Benchmarks the model runner on a model of the 270M function-calling model's
# shape (18 layers, hidden 640, vocabulary 262,144; random weights, Q8_0,
# about 280 MB, written once into the cache), beside llama.cpp used on its
# own (bench/model_probe.cc) on the same prompt and grammar:
#   sidecar/bench/model.sh [THREADS...]      # 1 and 2 threads unless given
# Not a test: it prints figures, and takes a few minutes. Random weights make
# the model write long nonsense values until the runner's caps close them,
# so its calls are longer than a trained model's.
set -euo pipefail
cd "$(dirname "$0")/../.."
cache=${PARLANTO_CACHE:-$PWD/.cache}
llama=$(scripts/setup-llama.sh)
model=$cache/models/bench-270m.gguf
if [[ ! -f $model ]]; then
  mkdir -p "$cache/models"
  echo "model.sh: writing $model" >&2
  PYTHONPATH=$llama/gguf-py /usr/bin/python3 sidecar/test/model/make_model.py "$model.part" --shape 270m
  mv "$model.part" "$model"
fi
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target sidecar sidecar_model_probe >/dev/null
turns=(
  "So tell me how you would design a rate limiter for a public REST API with millions of users"
  "Can you walk me through what happens when a Kafka consumer group rebalances during a deploy"
  "What is the difference between a clustered and a non clustered index in SQL Server and when"
  "How do React hooks keep state between renders and what goes wrong if you call them conditionally"
)
calls=${CALLS:-20}
for threads in "${@:-1 2}"; do
  for t in $threads; do
    echo "== $t thread(s), $calls steady calls"
    echo -n "sidecar:     "
    node sidecar/bench/model.js build/sidecar/sidecar "$model" "$t" "$calls" "${turns[@]}"
    echo -n "llama.cpp:   "
    /usr/bin/time -f '{"peakMemoryMb":%M}' build/sidecar/sidecar_model_probe "$model" "$t" 5 "${turns[@]}" 2>&1 |
      tr '\n' ' '
    echo "(peak in kB)"
  done
done
