#include "base/napi_helpers.h"

#include "base/module_error.h"

namespace parlanto_audio {

napi_value undefined(napi_env env) {
  napi_value value = nullptr;
  napi_get_undefined(env, &value);
  return value;
}

bool is_nullish(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  return napi_typeof(env, value, &type) == napi_ok && (type == napi_undefined || type == napi_null);
}

std::uint32_t uint32_argument(napi_env env, napi_value value) {
  std::uint32_t number = 0;
  if (napi_get_value_uint32(env, value, &number) != napi_ok) return 0;
  return number;
}

void report_call_failure(napi_env env, napi_status status, bool every_failure) {
  if (status == napi_ok) return;
  napi_value exception = nullptr;
  if (status == napi_pending_exception) {
    napi_get_and_clear_last_exception(env, &exception);
  } else if (every_failure) {
    exception = make_error(env, status, "Call JavaScript callback failed in threadsafe function");
  }
  if (exception != nullptr) napi_fatal_exception(env, exception);
}

napi_status create_threadsafe_function(napi_env env, napi_value function,
                                       const char* resource_name, void* finalize_data,
                                       napi_finalize finalize, void* context,
                                       napi_threadsafe_function_call_js call_js,
                                       napi_threadsafe_function* result) {
  napi_value name = nullptr;
  const napi_status status = napi_create_string_utf8(env, resource_name, NAPI_AUTO_LENGTH, &name);
  if (status != napi_ok) return status;
  return napi_create_threadsafe_function(env, function, nullptr, name, 0, 1, finalize_data,
                                         finalize, context, call_js, result);
}

}  // namespace parlanto_audio
