#!/usr/bin/env bash
# The main job: installs what is missing, builds the sidecar and the audio
# module, and runs the interview demo (examples/interview-demo): a synthesised
# interview is played and captured, each utterance goes to the sidecar when
# speech ends, and the captured audio, a waveform picture and a summary are
# written to an output folder. Arguments go to the demo (--help lists them;
# --noise pink|babble|hum plays a background under the interview).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/setup-llama.sh >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target sidecar parlanto_audio
export PARLANTO_AUDIO_ADDON="$PWD/build/apps/desktop/native/parlanto-audio/parlanto_audio.node"
exec node examples/interview-demo/main.js --sidecar build/sidecar/sidecar "$@"
