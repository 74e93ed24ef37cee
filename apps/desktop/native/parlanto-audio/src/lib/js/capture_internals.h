#pragma once

#include <node_api.h>

namespace parlanto_audio {

// The native half of the capture layer (the package's `capture` subpath):
// an object of internal classes and functions, set on the module's exports
// under Symbol.for("parlanto-audio.capture") as a non-enumerable property, so
// the module's own surface is unchanged. Only the layer's JavaScript uses it.
napi_status define_capture_internals(napi_env env, napi_value exports);

}  // namespace parlanto_audio
