#pragma once

#include <node_api.h>

namespace parlanto_audio {

// Registers the module's exports on `exports` for one JavaScript environment
// and returns them. Called once per environment (main thread, each worker).
napi_value init_module(napi_env env, napi_value exports);

}  // namespace parlanto_audio
