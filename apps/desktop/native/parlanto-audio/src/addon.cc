#include <node_api.h>

#include "js/module.h"

extern "C" NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
  return parlanto_audio::init_module(env, exports);
}
