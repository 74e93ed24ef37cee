#pragma once

#include <node_api.h>

namespace parlanto_audio {

// watch(onEvent, onError, onReady) for the capture layer's watchDevices() and
// its captures that follow the default device: starts the
// host's device notifications off the JavaScript thread and returns a handle
// with close(). Each event reaches onEvent({ type, kind, id, name }) on the
// JavaScript thread; a watch that cannot start calls onError(error) once, one
// that runs calls onReady() once (both optional).
// Until close() the watch keeps the event loop alive; close() stops the
// notifications at once, and the loop is free once queued events are handed
// over.
napi_value watch_devices(napi_env env, napi_callback_info info);

}  // namespace parlanto_audio
