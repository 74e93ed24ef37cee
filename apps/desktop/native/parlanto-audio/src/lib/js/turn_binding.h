#pragma once

// The capture layer's turn detection as JavaScript reaches it: the speechEnd
// options of open(), and detectSpeech() over recorded PCM.

#include <node_api.h>

#include "turn/turn_detector.h"

namespace parlanto_audio {

// The speechEnd options as capture/index.js passes them, already checked.
TurnOptions turn_argument(napi_env env, napi_value value);

// detectSpeech(pcm, sampleRate, channels, speechEnd): the events, in order.
napi_value detect_speech(napi_env env, napi_callback_info info);

}  // namespace parlanto_audio
