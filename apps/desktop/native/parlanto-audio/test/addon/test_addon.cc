// Entry point of the test-only addon: the module's own exports, plus the fake
// host's scripting surface (`fake`), the delivery probes (`probe`) and the
// echo-cancelling stage on recorded signals (`echoStage`).
#include <node_api.h>

#include "js/module.h"

namespace parlanto_audio::testing {
napi_value register_fake_host(napi_env env, napi_value exports);         // fake_host_binding.cc
napi_value register_sink_probe(napi_env env, napi_value exports);        // sink_probe.cc
napi_value register_echo_stage_probe(napi_env env, napi_value exports);  // echo_stage_probe.cc
}  // namespace parlanto_audio::testing

extern "C" NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
  exports = parlanto_audio::init_module(env, exports);
  exports = parlanto_audio::testing::register_fake_host(env, exports);
  exports = parlanto_audio::testing::register_echo_stage_probe(env, exports);
  return parlanto_audio::testing::register_sink_probe(env, exports);
}
