// Placeholder until the JavaScript surface lands.
#include "module.h"

namespace parlanto_audio {

napi_value init_module(napi_env, napi_value exports) { return exports; }

}  // namespace parlanto_audio
