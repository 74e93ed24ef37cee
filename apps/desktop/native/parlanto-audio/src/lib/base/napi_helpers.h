#pragma once

// Small Node-API helpers every floor that touches JavaScript shares. Called on
// a JavaScript thread only.

#include <node_api.h>

#include <cstdint>

namespace parlanto_audio {

// `undefined`, or nullptr if even that failed.
napi_value undefined(napi_env env);

// Whether `value` is undefined or null (false if its type cannot be read).
bool is_nullish(napi_env env, napi_value value);

// A number argument as an unsigned 32-bit integer; 0 when it is not one.
std::uint32_t uint32_argument(napi_env env, napi_value value);

// What a call into JavaScript does with its failure: a callback that threw
// becomes the process's uncaught exception, as a throw from any event would;
// with `every_failure`, a call the engine refused does too, as an Error
// naming its status. Does nothing for napi_ok.
void report_call_failure(napi_env env, napi_status status, bool every_failure);

// A thread-safe function calling `function` (may be null when `call_js` does
// the calling), as every handle of the module makes them: an unbounded queue
// and one thread that never acquires more, so the owner's single release
// closes it; never unreferenced, so it keeps the event loop alive until then.
// `resource_name` names it to async hooks. On failure nothing was made, and
// neither `finalize` nor `call_js` will run.
napi_status create_threadsafe_function(napi_env env, napi_value function,
                                       const char* resource_name, void* finalize_data,
                                       napi_finalize finalize, void* context,
                                       napi_threadsafe_function_call_js call_js,
                                       napi_threadsafe_function* result);

}  // namespace parlanto_audio
