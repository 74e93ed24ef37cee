// Placeholder until it lands.
#include <node_api.h>

namespace parlanto_audio::testing {

napi_value register_fake_host(napi_env, napi_value exports) { return exports; }

}  // namespace parlanto_audio::testing
