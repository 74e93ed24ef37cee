#include "js/device_watch.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <variant>

#include "base/module_error.h"
#include "base/napi_helpers.h"
#include "host/audio_host.h"

namespace parlanto_audio {

namespace {

constexpr char kResourceName[] = "parlanto_audio.devices";

// What one queued call carries: an event, or why the watch could not start.
using Message = std::variant<DeviceEvent, ModuleError>;

// Shared by the close function, the start job and the backend's callback.
// Everything but `started` belongs to the JavaScript thread (`started` is the
// start job's until it completes). The thread-safe function is released once
// no watch can call it any more: at close(), or, for a watch still starting,
// when its start completes. The state goes when both the thread-safe function
// is finalized and the close function is collected.
struct WatchState {
  napi_threadsafe_function tsfn = nullptr;
  napi_ref on_error = nullptr;
  napi_ref on_ready = nullptr;  // called once the notifications run
  std::unique_ptr<DeviceWatch> watch;
  bool closed = false;
  bool starting = false;
  bool released = false;
  int holders = 2;  // the thread-safe function, the close function
  napi_async_work work = nullptr;
  HostResult<std::unique_ptr<DeviceWatch>> started = unexpected(HostError{"not started"});

  void close(napi_env env) {
    if (closed) return;
    closed = true;
    if (on_error) napi_delete_reference(env, on_error);
    on_error = nullptr;
    if (on_ready) napi_delete_reference(env, on_ready);
    on_ready = nullptr;
    if (!starting) release();
  }

  void release() {
    watch.reset();  // no event is made after this
    if (released) return;
    released = true;
    napi_release_threadsafe_function(tsfn, napi_tsfn_release);
  }

  static void let_go(WatchState* state) {
    // At environment teardown a start may still run on a worker; it keeps the state.
    if (--state->holders == 0 && !state->starting) delete state;
  }
};

const char* type_text(DeviceEvent::Type type) {
  switch (type) {
    case DeviceEvent::Type::kAdded:
      return "added";
    case DeviceEvent::Type::kRemoved:
      return "removed";
    case DeviceEvent::Type::kDefaultChanged:
      return "default-changed";
  }
  return "unknown";
}

void set_string(napi_env env, napi_value object, const char* name, const std::string& text) {
  napi_value value = nullptr;
  napi_create_string_utf8(env, text.data(), text.size(), &value);
  napi_set_named_property(env, object, name, value);
}

void invoke(napi_env env, napi_value on_event, void* context, void* data) {
  std::unique_ptr<Message> message(static_cast<Message*>(data));
  if (env == nullptr || on_event == nullptr) return;
  auto* state = static_cast<WatchState*>(context);
  napi_value undefined = nullptr;
  napi_get_undefined(env, &undefined);
  if (const auto* failure = std::get_if<ModuleError>(message.get())) {
    napi_value on_error = nullptr;
    if (state->on_error && napi_get_reference_value(env, state->on_error, &on_error) == napi_ok &&
        on_error != nullptr) {
      napi_value error = make_error(env, failure->status, failure->message, failure->cause);
      report_call_failure(env, napi_call_function(env, undefined, on_error, 1, &error, nullptr),
                          false);
    }
    return;
  }
  if (state->closed) return;  // queued before close(); nobody asked for it any more
  const auto& event = std::get<DeviceEvent>(*message);
  napi_value object = nullptr;
  napi_create_object(env, &object);
  set_string(env, object, "type", type_text(event.type));
  set_string(env, object, "kind", event.output ? "output" : "input");
  set_string(env, object, "id", event.id.to_string());
  set_string(env, object, "name", event.name);
  report_call_failure(env, napi_call_function(env, undefined, on_event, 1, &object, nullptr),
                      false);
}

void finalize_tsfn(napi_env, void*, void* context) {
  WatchState::let_go(static_cast<WatchState*>(context));
}

void queue(const WatchState& state, Message message) {
  auto record = std::make_unique<Message>(std::move(message));
  if (napi_call_threadsafe_function(state.tsfn, record.get(), napi_tsfn_nonblocking) == napi_ok) {
    record.release();
  }
}

void execute_start(napi_env, void* data) {
  auto* state = static_cast<WatchState*>(data);
  std::shared_ptr<Host> host = default_host();
  if (!host) {
    state->started = unexpected(HostError{"no audio system"});
    return;
  }
  state->started = host->watch_devices([state](const DeviceEvent& event) { queue(*state, event); });
}

void complete_start(napi_env env, napi_status, void* data) {
  auto* state = static_cast<WatchState*>(data);
  state->starting = false;
  napi_delete_async_work(env, state->work);
  state->work = nullptr;
  if (!state->started) {
    if (!state->closed) {
      queue(*state, ModuleError{napi_generic_failure,
                                "watch_devices failed: " + state->started.error().text});
    }
    state->closed = true;
    state->release();
    return;
  }
  state->watch = std::move(*state->started);
  if (state->closed) {
    state->release();
    return;
  }
  napi_value on_ready = nullptr;
  if (state->on_ready && napi_get_reference_value(env, state->on_ready, &on_ready) == napi_ok &&
      on_ready != nullptr) {
    napi_value undefined = nullptr;
    napi_get_undefined(env, &undefined);
    report_call_failure(env, napi_call_function(env, undefined, on_ready, 0, nullptr, nullptr), false);
  }
}

void complete_start_guarded(napi_env env, napi_status status, void* data) {
  auto* state = static_cast<WatchState*>(data);
  complete_start(env, status, data);
  if (state->closed && !state->released) state->release();
  if (state->holders == 0) delete state;
}

void finalize_close_function(napi_env env, void* data, void*) {
  // Nobody can close the watch any more: stop the notifications.
  auto* state = static_cast<WatchState*>(data);
  state->close(env);
  WatchState::let_go(state);
}

napi_value close_handle(napi_env env, napi_callback_info info) {
  napi_value self = nullptr;
  void* data = nullptr;
  napi_get_cb_info(env, info, nullptr, nullptr, &self, &data);
  auto* state = static_cast<WatchState*>(data);
  // A watch still starting is dropped when its start completes.
  state->close(env);
  napi_value undefined = nullptr;
  napi_get_undefined(env, &undefined);
  return undefined;
}

}  // namespace

napi_value watch_devices(napi_env env, napi_callback_info info) {
  std::size_t argc = 3;
  napi_value argv[3] = {nullptr, nullptr, nullptr};
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);

  auto state = std::make_unique<WatchState>();
  napi_status status = create_threadsafe_function(env, argv[0], kResourceName, nullptr,
                                                  finalize_tsfn, state.get(), invoke, &state->tsfn);
  if (status != napi_ok) {
    throw_error(env, {status, "watchDevices needs a function"});
    return nullptr;
  }
  WatchState* raw = state.release();  // the thread-safe function's finalizer frees it
  napi_valuetype type = napi_undefined;
  if (argc > 1 && napi_typeof(env, argv[1], &type) == napi_ok && type == napi_function) {
    napi_create_reference(env, argv[1], 1, &raw->on_error);
  }
  if (argc > 2 && napi_typeof(env, argv[2], &type) == napi_ok && type == napi_function) {
    napi_create_reference(env, argv[2], 1, &raw->on_ready);
  }

  napi_value handle = nullptr;
  napi_value close_function = nullptr;
  status = napi_create_object(env, &handle);
  if (status == napi_ok) {
    status =
        napi_create_function(env, "close", NAPI_AUTO_LENGTH, close_handle, raw, &close_function);
  }
  if (status == napi_ok) status = napi_set_named_property(env, handle, "close", close_function);
  if (status == napi_ok) {
    status =
        napi_add_finalizer(env, close_function, raw, finalize_close_function, nullptr, nullptr);
  }
  if (status != napi_ok) {
    raw->holders--;  // no close function holds it
    raw->close(env);
    throw_error(env, {status, "Failed to start watching devices"});
    return nullptr;
  }
  napi_value name = nullptr;
  status = napi_create_string_utf8(env, kResourceName, NAPI_AUTO_LENGTH, &name);
  if (status == napi_ok) {
    status = napi_create_async_work(env, nullptr, name, execute_start, complete_start_guarded,
                                    raw, &raw->work);
  }
  if (status == napi_ok) status = napi_queue_async_work(env, raw->work);
  if (status != napi_ok) {
    raw->close(env);
    throw_error(env, {status, "Failed to start watching devices"});
    return nullptr;
  }
  raw->starting = true;
  return handle;
}

}  // namespace parlanto_audio
