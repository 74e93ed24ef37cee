#include "delivery/js_callback_sink.h"

#include <mutex>
#include <utility>
#include <variant>

#include "base/napi_helpers.h"

namespace parlanto_audio {

namespace {

constexpr char kResourceName[] = "parlanto_audio.callback";

// One queued call. It names its own payload type, so records left in the queue
// at teardown can be freed after the converter is gone.
struct FailureMessage {
  std::string text;
};

struct QueuedRecord {
  std::variant<PcmChunk, std::uint8_t, FailureMessage> payload;
};

// The thread-safe function's context; converters are stateless, this only
// says which one the function uses.
struct ConverterState {
  JsCallbackSink::Converter kind;
};

std::atomic<testing::BufferRefusal> buffer_refusal{testing::BufferRefusal::kNone};

void free_chunk(napi_env, void*, void* hint) { delete static_cast<PcmChunk*>(hint); }

// A Buffer over the chunk's own memory, freed when the Buffer is collected, or
// a copy where the engine forbids external buffers.
napi_status make_chunk_buffer(napi_env env, PcmChunk chunk, napi_value* result) {
  if (chunk.empty()) {
    return napi_create_buffer(env, 0, nullptr, result);
  }
  const auto refusal = buffer_refusal.load(std::memory_order_relaxed);
  auto owned = std::make_unique<PcmChunk>(std::move(chunk));
  napi_status status = refusal == testing::BufferRefusal::kNone
                           ? napi_create_external_buffer(env, owned->size(), owned->data(),
                                                         free_chunk, owned.get(), result)
                           : napi_no_external_buffers_allowed;
  switch (status) {
    case napi_ok:
      owned.release();  // the Buffer's finalizer frees it
      return napi_ok;
    case napi_no_external_buffers_allowed:
      if (refusal == testing::BufferRefusal::kExternalAndCopy) {
        return napi_generic_failure;
      }
      return napi_create_buffer_copy(env, owned->size(), owned->data(), nullptr, result);
    case napi_pending_exception:
    case napi_invalid_arg:
      return status;  // refused before the engine looked at the memory: still ours
    default:
      // The engine accepted the memory with its finalizer and failed later;
      // it calls the finalizer itself on that path.
      owned.release();
      return status;
  }
}

napi_status convert(napi_env env, JsCallbackSink::Converter kind, QueuedRecord& record,
                    napi_value* result) {
  if (kind == JsCallbackSink::Converter::kChunk) {
    auto* chunk = std::get_if<PcmChunk>(&record.payload);
    return make_chunk_buffer(env, chunk ? std::move(*chunk) : PcmChunk{}, result);
  }
  return napi_get_undefined(env, result);
}

const char* conversion_failure(JsCallbackSink::Converter kind) {
  return kind == JsCallbackSink::Converter::kChunk ? "Failed to create napi buffer"
                                                   : "Failed to create callback argument";
}

}  // namespace

// The engine-facing half of the sink: the callbacks handed to
// napi_create_threadsafe_function, all run on the JavaScript thread.
struct JsCallbackSinkAccess {
  static void invoke(napi_env env, napi_value function, void* context, void* data) {
    std::unique_ptr<QueuedRecord> record(static_cast<QueuedRecord*>(data));
    // At teardown the engine hands over what is still queued without an
    // environment (and after the finalization notice destroyed the context):
    // the record is freed, nothing is called.
    if (env == nullptr || function == nullptr) {
      return;
    }
    const auto kind = static_cast<const ConverterState*>(context)->kind;

    napi_value receiver = nullptr;
    napi_value args[2] = {nullptr, nullptr};
    napi_get_undefined(env, &receiver);
    napi_status status;
    if (auto* failure = std::get_if<FailureMessage>(&record->payload)) {
      napi_value error = make_error(env, napi_generic_failure, failure->text);
      record.reset();
      status = napi_call_function(env, receiver, function, 1, &error, nullptr);
      report_call_failure(env, status, true);
      return;
    }
    const napi_status converted = convert(env, kind, *record, &args[1]);
    record.reset();
    napi_get_null(env, &args[0]);

    if (converted != napi_ok) {
      napi_value error = make_error(env, converted, conversion_failure(kind));
      status = napi_call_function(env, receiver, function, 1, &error, nullptr);
    } else {
      status = napi_call_function(env, receiver, function, 2, args, nullptr);
    }
    report_call_failure(env, status, true);
  }

  // Runs once per thread-safe function: after the last release once drained,
  // or at environment teardown while still open.
  static void finalize(napi_env, void* data, void* context) {
    std::unique_ptr<std::weak_ptr<JsCallbackSink>> weak(
        static_cast<std::weak_ptr<JsCallbackSink>*>(data));
    std::unique_ptr<ConverterState> converter(static_cast<ConverterState*>(context));
    if (const std::shared_ptr<JsCallbackSink> sink = weak->lock()) {
      std::unique_lock lock(sink->lock_);
      sink->aborted_ = true;
    }
  }

  template <typename Payload>
  static napi_status queue(JsCallbackSink& sink, Payload payload,
                           napi_threadsafe_function_call_mode mode) {
    std::shared_lock lock(sink.lock_);
    const napi_threadsafe_function raw = sink.raw_.load(std::memory_order_acquire);
    if (sink.aborted_ || raw == nullptr) {
      return napi_closing;
    }
    auto record = std::make_unique<QueuedRecord>(QueuedRecord{std::move(payload)});
    const napi_status status = napi_call_threadsafe_function(raw, record.get(), mode);
    if (status == napi_ok) {
      record.release();  // the engine's queue owns it until the invoker runs
    }
    return status;
  }
};

ModuleResult<std::shared_ptr<JsCallbackSink>> JsCallbackSink::create(napi_env env,
                                                                     napi_value function,
                                                                     Converter converter) {
  std::shared_ptr<JsCallbackSink> sink(new JsCallbackSink());
  auto weak = std::make_unique<std::weak_ptr<JsCallbackSink>>(sink);
  auto context = std::make_unique<ConverterState>(ConverterState{converter});
  napi_threadsafe_function raw = nullptr;
  // The single release in the destructor closes it.
  const napi_status status = create_threadsafe_function(
      env, function, kResourceName, weak.get(), &JsCallbackSinkAccess::finalize, context.get(),
      &JsCallbackSinkAccess::invoke, &raw);
  if (status != napi_ok) {
    // No thread-safe function exists; the sink goes without releasing anything.
    return unexpected(ModuleError{status, {}});
  }
  weak.release();
  context.release();
  sink->raw_.store(raw, std::memory_order_release);
  return sink;
}

JsCallbackSink::~JsCallbackSink() {
  std::shared_lock lock(lock_);
  const napi_threadsafe_function raw = raw_.load(std::memory_order_acquire);
  if (!aborted_ && raw != nullptr) {
    napi_release_threadsafe_function(raw, napi_tsfn_release);
  }
}

napi_status JsCallbackSink::call(PcmChunk chunk, napi_threadsafe_function_call_mode mode) {
  return JsCallbackSinkAccess::queue(*this, std::move(chunk), mode);
}

napi_status JsCallbackSink::call(std::uint8_t signal, napi_threadsafe_function_call_mode mode) {
  return JsCallbackSinkAccess::queue(*this, signal, mode);
}

napi_status JsCallbackSink::call_error(std::string message,
                                       napi_threadsafe_function_call_mode mode) {
  return JsCallbackSinkAccess::queue(*this, FailureMessage{std::move(message)}, mode);
}

namespace testing {

void set_buffer_refusal(BufferRefusal refusal) { buffer_refusal.store(refusal); }

}  // namespace testing

}  // namespace parlanto_audio
