#include "js/capture_internals.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "base/module_error.h"
#include "base/napi_helpers.h"
#include "capture/layer_session.h"
#include "delivery/coalescing_sink.h"
#include "js/device_watch.h"
#include "js/turn_binding.h"
#include "turn/turn_detector.h"

namespace parlanto_audio {

namespace {

constexpr char kInternalsKey[] = "parlanto-audio.capture";

struct SessionBox {
  LayerSession session;
  bool used = false;  // a session opens once
};

// One open in progress: made on the JavaScript thread, run on a worker of the
// engine's pool, completed on the JavaScript thread.
struct OpenJob {
  napi_async_work work = nullptr;
  napi_deferred deferred = nullptr;
  napi_ref self = nullptr;  // keeps the session object alive while the open runs
  SessionBox* box = nullptr;
  LayerRequest request;
  std::shared_ptr<CoalescingSink> sink;
  std::shared_ptr<std::atomic<bool>> stopped;
  // A move to the new default device: opened by its id, yet opened again
  // after a failure as the default of the kind then.
  bool follows_default = false;
  ModuleResult<OpenedLayerStream> result = module_error("the open did not run");
};

ModuleResult<std::optional<std::string>> optional_string(napi_env env, napi_value value) {
  if (is_nullish(env, value)) return std::optional<std::string>{};
  std::size_t length = 0;
  napi_status status = napi_get_value_string_utf8(env, value, nullptr, 0, &length);
  std::string text(length, '\0');
  if (status == napi_ok) {
    status = napi_get_value_string_utf8(env, value, text.data(), length + 1, &length);
  }
  if (status != napi_ok) return unexpected(ModuleError{status, "The device id must be a string"});
  return std::optional<std::string>(std::move(text));
}

// A boolean property of `object`; false when absent or not a boolean.
bool bool_property(napi_env env, napi_value object, const char* name) {
  napi_value value = nullptr;
  bool flag = false;
  if (napi_get_named_property(env, object, name, &value) != napi_ok) return false;
  if (napi_get_value_bool(env, value, &flag) != napi_ok) return false;
  return flag;
}

// The echo-cancellation argument of open(): undefined, or
// { reference: string | null, noiseSuppression: boolean, gainControl: boolean,
//   engine: 'webrtc' | 'speex' | null }.
ModuleResult<std::optional<EchoCancelRequest>> echo_argument(napi_env env, napi_value value) {
  if (is_nullish(env, value)) return std::optional<EchoCancelRequest>{};
  napi_value reference = nullptr;
  if (napi_status status = napi_get_named_property(env, value, "reference", &reference);
      status != napi_ok) {
    return unexpected(ModuleError{status, "echoCancel must be an object"});
  }
  ModuleResult<std::optional<std::string>> id = optional_string(env, reference);
  if (!id)
    return unexpected(ModuleError{napi_invalid_arg, "echoCancel.reference must be a string"});
  EchoCancelRequest request;
  request.reference_id = std::move(*id);
  request.noise_suppression = bool_property(env, value, "noiseSuppression");
  request.gain_control = bool_property(env, value, "gainControl");
  napi_value engine = nullptr;
  if (napi_get_named_property(env, value, "engine", &engine) == napi_ok) {
    ModuleResult<std::optional<std::string>> name = optional_string(env, engine);
    if (name && *name) request.engine = parse_echo_engine(**name);
    if (!name || (*name && !request.engine)) {
      return unexpected(
          ModuleError{napi_invalid_arg, "echoCancel.engine must be 'webrtc' or 'speex'"});
    }
  }
  return std::optional<EchoCancelRequest>(std::move(request));
}

void set_number(napi_env env, napi_value object, const char* name, double number) {
  napi_value value = nullptr;
  napi_create_double(env, number, &value);
  napi_set_named_property(env, object, name, value);
}

void finalize_session(napi_env, void* data, void*) { delete static_cast<SessionBox*>(data); }

napi_value construct_session(napi_env env, napi_callback_info info) {
  napi_value self = nullptr;
  napi_get_cb_info(env, info, nullptr, nullptr, &self, nullptr);
  auto box = std::make_unique<SessionBox>();
  if (napi_status status = napi_wrap(env, self, box.get(), finalize_session, nullptr, nullptr);
      status != napi_ok) {
    throw_error(env, {status, "Failed to initialize the capture session"});
    return nullptr;
  }
  box.release();
  return self;
}

SessionBox* unwrap_session(napi_env env, napi_value self) {
  void* native = nullptr;
  if (napi_status status = napi_unwrap(env, self, &native); status != napi_ok || !native) {
    throw_error(env, {status == napi_ok ? napi_invalid_arg : status, "Not a capture session"});
    return nullptr;
  }
  return static_cast<SessionBox*>(native);
}

// A pending promise and its deferred, or nullptr with an exception thrown.
napi_value new_promise(napi_env env, napi_deferred* deferred) {
  napi_value promise = nullptr;
  if (napi_status status = napi_create_promise(env, deferred, &promise); status != napi_ok) {
    throw_error(env, {status, "Failed to create a promise"});
    return nullptr;
  }
  return promise;
}

const ModuleError kNotRunning{napi_cancelled, "The capture is not running"};
// An open of the capture's stream is in flight: ask again once it settles.
const ModuleError kBeingOpened{napi_generic_failure, "The capture is being opened"};

// One call of a session method that answers with a promise: the session, the
// call's arguments (undefined past those given) and the promise's settling.
struct SessionCall {
  static constexpr std::size_t kMaxArguments = 11;
  napi_env env = nullptr;
  napi_value self = nullptr;
  SessionBox* box = nullptr;
  napi_value argv[kMaxArguments] = {};
  napi_deferred deferred = nullptr;
  napi_value promise = nullptr;

  // Each returns the promise, for the method to return.
  napi_value resolve(napi_value value) const {
    napi_resolve_deferred(env, deferred, value);
    return promise;
  }
  napi_value resolve(bool flag) const {
    napi_value value = nullptr;
    napi_get_boolean(env, flag, &value);
    return resolve(value);
  }
  napi_value reject(const ModuleError& error) const {
    napi_reject_deferred(env, deferred, make_error(env, error.status, error.message, error.cause));
    return promise;
  }
};

// The call, or nothing with an exception thrown when `this` is no session or
// no promise could be made.
std::optional<SessionCall> begin_call(napi_env env, napi_callback_info info) {
  SessionCall call;
  call.env = env;
  std::size_t argc = SessionCall::kMaxArguments;
  napi_get_cb_info(env, info, &argc, call.argv, &call.self, nullptr);
  call.box = unwrap_session(env, call.self);
  if (call.box == nullptr) return std::nullopt;
  call.promise = new_promise(env, &call.deferred);
  if (call.promise == nullptr) return std::nullopt;
  return call;
}

// Runs `execute` on the engine's pool and then `complete` on the JavaScript
// thread, `self` held alive in between (end_job lets go of both). On failure
// nothing was queued or held.
napi_status queue_job(napi_env env, napi_value self, const char* name,
                      napi_async_execute_callback execute, napi_async_complete_callback complete,
                      void* job, napi_async_work* work, napi_ref* held) {
  napi_value resource = nullptr;
  napi_status status = napi_create_string_utf8(env, name, NAPI_AUTO_LENGTH, &resource);
  if (status == napi_ok) status = napi_create_reference(env, self, 1, held);
  if (status == napi_ok) {
    status = napi_create_async_work(env, nullptr, resource, execute, complete, job, work);
  }
  if (status == napi_ok) status = napi_queue_async_work(env, *work);
  if (status != napi_ok) {
    if (*work != nullptr) napi_delete_async_work(env, *work);
    if (*held != nullptr) napi_delete_reference(env, *held);
    *work = nullptr;
    *held = nullptr;
  }
  return status;
}

void end_job(napi_env env, napi_async_work work, napi_ref held) {
  napi_delete_reference(env, held);
  napi_delete_async_work(env, work);
}

void execute_open(napi_env, void* data) {
  auto* job = static_cast<OpenJob*>(data);
  job->result = open_layer_stream(job->request, job->sink, job->stopped);
}

void complete_open(napi_env env, napi_status, void* data) {
  std::unique_ptr<OpenJob> job(static_cast<OpenJob*>(data));
  if (job->result) {
    OpenedLayerStream& opened = *job->result;
    if (job->follows_default) {
      opened.again.device_id.reset();
      opened.again.exact_device = false;
    }
    napi_value info = nullptr;
    napi_create_object(env, &info);
    set_number(env, info, "sampleRate", opened.delivered.sample_rate);
    set_number(env, info, "channels", opened.delivered.channels);
    set_number(env, info, "deviceSampleRate", opened.device.sample_rate);
    set_number(env, info, "deviceChannels", opened.device.channels);
    napi_value id = nullptr;
    napi_create_string_utf8(env, opened.device_id.data(), opened.device_id.size(), &id);
    napi_set_named_property(env, info, "deviceId", id);
    if (opened.alignment) {
      napi_value reference = nullptr;
      napi_create_string_utf8(env, opened.reference.device_id.data(),
                              opened.reference.device_id.size(), &reference);
      napi_set_named_property(env, info, "echoReferenceId", reference);
      napi_value engine = nullptr;
      napi_create_string_utf8(env, echo_engine_name(opened.echo_engine), NAPI_AUTO_LENGTH, &engine);
      napi_set_named_property(env, info, "echoEngine", engine);
    }
    if (job->box->session.adopt(std::move(opened), job->sink)) {
      napi_resolve_deferred(env, job->deferred, info);
    } else {
      napi_reject_deferred(
          env, job->deferred,
          make_error(env, napi_cancelled, "The capture was stopped while it opened"));
    }
  } else {
    job->box->session.open_failed();
    const ModuleError& error = job->result.error();
    napi_reject_deferred(env, job->deferred,
                         make_error(env, error.status, error.message, error.cause));
  }
  job->sink.reset();
  end_job(env, job->work, job->self);
}

// Queues the open of `request` into `sink` on the engine's pool, once the
// session's begin_open() let it; the promise settles on the JavaScript
// thread once the session has adopted the stream.
napi_value queue_open(const SessionCall& call, LayerRequest request,
                      std::shared_ptr<CoalescingSink> sink, bool follows_default = false) {
  auto job = std::make_unique<OpenJob>();
  job->follows_default = follows_default;
  job->deferred = call.deferred;
  job->request = std::move(request);
  job->sink = std::move(sink);
  job->box = call.box;
  job->stopped = call.box->session.stopped();
  if (napi_status status = queue_job(call.env, call.self, "parlanto_audio.open", execute_open,
                                     complete_open, job.get(), &job->work, &job->self);
      status != napi_ok) {
    call.box->session.open_failed();
    return call.reject({status, "Failed to start opening the capture"});
  }
  job.release();  // complete_open owns it
  return call.promise;
}

// open(kind, deviceId, sampleRate, channels, boundMs, onDelivery, onClosed, chunkMs, echo,
// appName, speechEnd): kind 0 microphone, 1 loopback; zero rate or channels keep
// the device's (or, with echo cancellation, the canceller's); echo as echo_argument
// reads it; appName a string or undefined for the module's name; speechEnd as
// turn_argument reads it.
napi_value open_session(napi_env env, napi_callback_info info) {
  const std::optional<SessionCall> call = begin_call(env, info);
  if (!call) return nullptr;
  const napi_value* argv = call->argv;
  if (call->box->used) {
    return call->reject({napi_generic_failure, "The capture session was opened before"});
  }

  ModuleResult<std::optional<std::string>> device_id = optional_string(env, argv[1]);
  if (!device_id) return call->reject(device_id.error());
  LayerRequest request;
  request.kind =
      uint32_argument(env, argv[0]) == 1 ? CaptureKind::kSystemLoopback : CaptureKind::kMicrophone;
  request.device_id = std::move(*device_id);
  request.format.sample_rate = uint32_argument(env, argv[2]);
  request.format.channels = static_cast<std::uint16_t>(uint32_argument(env, argv[3]));
  request.bound_ms = uint32_argument(env, argv[4]);
  request.chunk_ms = uint32_argument(env, argv[7]);
  ModuleResult<std::optional<EchoCancelRequest>> echo = echo_argument(env, argv[8]);
  if (!echo) return call->reject(echo.error());
  request.echo_cancel = std::move(*echo);
  ModuleResult<std::optional<std::string>> app_name = optional_string(env, argv[9]);
  if (!app_name) return call->reject(app_name.error());
  request.app_name = app_name->value_or(std::string());
  if (request.echo_cancel) request.echo_cancel->app_name = request.app_name;
  request.turn = turn_argument(env, argv[10]);

  ModuleResult<std::shared_ptr<CoalescingSink>> sink =
      CoalescingSink::create(env, argv[5], is_nullish(env, argv[6]) ? nullptr : argv[6]);
  if (!sink) return call->reject(sink.error());
  (*sink)->on_fault(call->box->session.fault_listener());
  call->box->used = true;
  call->box->session.begin_open();
  return queue_open(*call, std::move(request), std::move(*sink));
}

// follow(id): the default device of the capture's kind is now `id`: drops the
// stream and opens that device in the same format, into the same delivery
// handle, as the recovery does. Rejects with "Cancelled" once the capture is
// stopped, and with another error while an open is in flight (ask again
// once it settles) or when `id` cannot be opened (its stream is gone then:
// the recovery opens the default of the kind).
napi_value follow_session(napi_env env, napi_callback_info info) {
  const std::optional<SessionCall> call = begin_call(env, info);
  if (!call) return nullptr;
  LayerSession& session = call->box->session;
  if (session.stopped_now() || !session.sink()) return call->reject(kNotRunning);
  ModuleResult<std::optional<std::string>> id = optional_string(env, call->argv[0]);
  if (!id || !*id) {
    return call->reject({napi_generic_failure, "follow needs the id of the new default"});
  }
  if (!session.begin_open()) return call->reject(kBeingOpened);
  LayerRequest request = session.again();
  request.device_id = std::move(*id);
  request.exact_device = true;
  session.drop_stream();
  session.sink()->flush();
  return queue_open(*call, std::move(request), session.sink(), true);
}

// One reopening of an echo-cancelled capture's reference stream.
struct ReferenceJob {
  napi_async_work work = nullptr;
  napi_deferred deferred = nullptr;
  napi_ref self = nullptr;
  SessionBox* box = nullptr;
  EchoCancelRequest request;
  std::shared_ptr<ReferenceAlignment> alignment;
  std::shared_ptr<CoalescingSink> sink;
  ModuleResult<ReferenceStream> result = module_error("the open did not run");
};

void execute_reference(napi_env, void* data) {
  auto* job = static_cast<ReferenceJob*>(data);
  job->result = open_reference_stream(job->request, job->alignment, job->sink);
}

void complete_reference(napi_env env, napi_status, void* data) {
  std::unique_ptr<ReferenceJob> job(static_cast<ReferenceJob*>(data));
  std::optional<ReferenceStream> opened;
  if (job->result) opened = std::move(job->result).value();
  const std::string device_id = opened ? opened->device_id : std::string();
  const bool taken = job->box->session.end_reference_reopen(job->alignment, std::move(opened));
  if (taken) {
    napi_value value = nullptr;
    napi_create_string_utf8(env, device_id.data(), device_id.size(), &value);
    napi_resolve_deferred(env, job->deferred, value);
  } else if (job->box->session.stopped_now()) {
    napi_reject_deferred(env, job->deferred,
                         make_error(env, kNotRunning.status, kNotRunning.message));
  } else if (!job->result) {
    const ModuleError& error = job->result.error();
    napi_reject_deferred(env, job->deferred,
                         make_error(env, error.status, error.message, error.cause));
  } else {
    // The microphone was opened again meanwhile, with a reference of its own.
    napi_value value = nullptr;
    napi_get_boolean(env, false, &value);
    napi_resolve_deferred(env, job->deferred, value);
  }
  job->sink.reset();
  end_job(env, job->work, job->self);
}

// followReference(id): the default output is now `id`; the running echo
// reference of an echo-cancelled capture moves there, into the same
// canceller. Resolves with the device's id once it runs, false when there is
// nothing to move; rejects with "Cancelled" once the capture is stopped, and
// with another error when it may be tried again.
napi_value follow_reference_session(napi_env env, napi_callback_info info) {
  const std::optional<SessionCall> call = begin_call(env, info);
  if (!call) return nullptr;
  LayerSession& session = call->box->session;
  ModuleResult<std::optional<std::string>> id = optional_string(env, call->argv[0]);
  if (!id || !*id) {
    return call->reject(
        {napi_invalid_arg, "followReference needs the id of the new default output"});
  }
  LayerSession::ReferenceReopen reopen = session.begin_reference_reopen(true);
  switch (reopen.outcome) {
    case LayerSession::ReferenceReopen::kOpen:
      break;
    case LayerSession::ReferenceReopen::kNothing:
      return call->resolve(false);
    case LayerSession::ReferenceReopen::kBusy:
      return call->reject(kBeingOpened);
    case LayerSession::ReferenceReopen::kStopped:
      return call->reject(kNotRunning);
  }

  auto job = std::make_unique<ReferenceJob>();
  job->deferred = call->deferred;
  job->box = call->box;
  job->request = std::move(reopen.request);
  job->request.reference_id = std::move(*id);
  job->alignment = reopen.alignment;
  job->sink = session.sink();
  if (napi_status status =
          queue_job(env, call->self, "parlanto_audio.reopen_reference", execute_reference,
                    complete_reference, job.get(), &job->work, &job->self);
      status != napi_ok) {
    session.end_reference_reopen(job->alignment, std::nullopt);
    return call->reject({status, "Failed to start opening the echo reference"});
  }
  job.release();  // complete_reference owns it
  return call->promise;
}

napi_value stop_session(napi_env env, napi_callback_info info) {
  napi_value self = nullptr;
  napi_get_cb_info(env, info, nullptr, nullptr, &self, nullptr);
  SessionBox* box = unwrap_session(env, self);
  if (box == nullptr) return nullptr;
  box->session.stop();
  return undefined(env);
}

napi_status symbol_for(napi_env env, const char* key, napi_value* result) {
  napi_value global = nullptr;
  napi_value symbol = nullptr;
  napi_value for_function = nullptr;
  napi_value text = nullptr;
  napi_status status = napi_get_global(env, &global);
  if (status == napi_ok) status = napi_get_named_property(env, global, "Symbol", &symbol);
  if (status == napi_ok) status = napi_get_named_property(env, symbol, "for", &for_function);
  if (status == napi_ok) status = napi_create_string_utf8(env, key, NAPI_AUTO_LENGTH, &text);
  if (status == napi_ok) status = napi_call_function(env, symbol, for_function, 1, &text, result);
  return status;
}

}  // namespace

napi_status define_capture_internals(napi_env env, napi_value exports) {
  napi_value internals = nullptr;
  napi_status status = napi_create_object(env, &internals);

  const napi_property_descriptor members[] = {
      {"open", nullptr, open_session, nullptr, nullptr, nullptr, napi_default_method, nullptr},
      {"stop", nullptr, stop_session, nullptr, nullptr, nullptr, napi_default_method, nullptr},
      {"follow", nullptr, follow_session, nullptr, nullptr, nullptr, napi_default_method, nullptr},
      {"followReference", nullptr, follow_reference_session, nullptr, nullptr, nullptr,
       napi_default_method, nullptr},
  };
  napi_value session_class = nullptr;
  if (status == napi_ok) {
    status = napi_define_class(env, "LayerSession", NAPI_AUTO_LENGTH, construct_session, nullptr,
                               std::size(members), members, &session_class);
  }
  if (status == napi_ok) {
    status = napi_set_named_property(env, internals, "LayerSession", session_class);
  }

  napi_value watch = nullptr;
  if (status == napi_ok) {
    status =
        napi_create_function(env, "watchDevices", NAPI_AUTO_LENGTH, watch_devices, nullptr, &watch);
  }
  if (status == napi_ok) status = napi_set_named_property(env, internals, "watchDevices", watch);

  napi_value detect = nullptr;
  if (status == napi_ok) {
    status = napi_create_function(env, "detectSpeech", NAPI_AUTO_LENGTH, detect_speech, nullptr,
                                  &detect);
  }
  if (status == napi_ok) status = napi_set_named_property(env, internals, "detectSpeech", detect);

  napi_value key = nullptr;
  if (status == napi_ok) status = symbol_for(env, kInternalsKey, &key);
  if (status == napi_ok) {
    const napi_property_descriptor property{nullptr, key,       nullptr,      nullptr,
                                            nullptr, internals, napi_default, nullptr};
    status = napi_define_properties(env, exports, 1, &property);
  }
  return status;
}

}  // namespace parlanto_audio
