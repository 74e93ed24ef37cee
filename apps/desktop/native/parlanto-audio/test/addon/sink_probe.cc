// `probe`: drives real delivery handles from native threads, the way the
// audio thread does, so the Node tests see exactly what JavaScript receives.
//
//   probe.queue(fn, 'chunk', [bytes...]) / probe.queue(fn, 'speechEnded', n)
//   probe.stream(fn, count, bytes, intervalUs)  counted, time-stamped chunks
//   probe.open(fn, kind) -> handle; share(handle) -> handle; close(handle);
//   probe.closeLater(handle, ms)                the last holder on a native thread
//   probe.send(handle, bytes)                   one chunk, queued from a native thread
//   probe.capture(onData, onSpeechEnded, steps) a data callback fed step by step
//   probe.reportStreamError(text)
//   probe.setBufferRefusal('none' | 'external' | 'externalAndCopy')
//   probe.stats() -> { aliveSinks, refused, threads, heapBytes }
//
// Every native thread takes its own holders and lets go of them before it
// ends; stats().threads counts the ones still running.
#if defined(__linux__)
#include <malloc.h>
#endif
#include <node_api.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "data/capture_callback.h"
#include "delivery/js_callback_sink.h"
#include "base/module_error.h"
#include "turn/speech_ended_gate.h"

namespace parlanto_audio::testing {

namespace {

using Sink = std::shared_ptr<JsCallbackSink>;

// Process-wide and never destroyed: detached threads may outlive main().
struct Registry {
  std::mutex mutex;
  std::vector<std::weak_ptr<JsCallbackSink>> sinks;
};
Registry& registry() {
  static auto* instance = new Registry;
  return *instance;
}
std::atomic<std::uint32_t> refused_calls{0};
std::atomic<std::uint32_t> running_threads{0};

void count(napi_status status) {
  if (status != napi_ok) ++refused_calls;
}

void spawn(std::function<void()> work) {
  ++running_threads;
  std::thread([work = std::move(work)]() mutable {
    work();
    work = nullptr;  // holders go before the thread counts as finished
    --running_threads;
  }).detach();
}

struct Failure {
  napi_status status;
  std::string message;
};

void check(napi_status status, const char* what) {
  if (status != napi_ok) throw Failure{status, what};
}

// Runs a probe function; a Failure becomes a thrown Error.
template <typename Body>
napi_value guarded(napi_env env, Body body) {
  try {
    return body();
  } catch (const Failure& failure) {
    throw_error(env, {failure.status, failure.message});
    return nullptr;
  }
}

std::vector<napi_value> args(napi_env env, napi_callback_info info, std::size_t wanted) {
  std::vector<napi_value> values(wanted, nullptr);
  std::size_t argc = wanted;
  check(napi_get_cb_info(env, info, &argc, values.data(), nullptr, nullptr), "arguments");
  return values;
}

std::string string_of(napi_env env, napi_value value) {
  std::size_t length = 0;
  check(napi_get_value_string_utf8(env, value, nullptr, 0, &length), "a string");
  std::string text(length, '\0');
  check(napi_get_value_string_utf8(env, value, text.data(), length + 1, &length), "a string");
  return text;
}

double number_of(napi_env env, napi_value value) {
  double number = 0;
  check(napi_get_value_double(env, value, &number), "a number");
  return number;
}

// The contents of a typed array or Buffer, copied.
template <typename T>
std::vector<T> elements_of(napi_env env, napi_value value) {
  napi_value array_buffer = nullptr;
  std::size_t offset = 0;
  std::size_t bytes = 0;
  void* data = nullptr;
  napi_typedarray_type type;
  std::size_t length = 0;
  check(napi_get_typedarray_info(env, value, &type, &length, &data, &array_buffer, &offset),
        "a typed array");
  void* base = nullptr;
  check(napi_get_arraybuffer_info(env, array_buffer, &base, &bytes), "a typed array");
  bytes = std::min(bytes - offset, length * (type == napi_float32_array ? 4u
                                             : type == napi_int16_array ? 2u
                                                                        : 1u));
  std::vector<T> out(bytes / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), data, out.size() * sizeof(T));
  return out;
}

std::vector<napi_value> array_of(napi_env env, napi_value value) {
  std::uint32_t length = 0;
  check(napi_get_array_length(env, value, &length), "an array");
  std::vector<napi_value> items(length);
  for (std::uint32_t i = 0; i < length; ++i)
    check(napi_get_element(env, value, i, &items[i]), "an element");
  return items;
}

napi_value property(napi_env env, napi_value object, const char* name) {
  napi_value value = nullptr;
  check(napi_get_named_property(env, object, name, &value), name);
  return value;
}

bool is_nullish(napi_env env, napi_value value) {
  napi_valuetype type;
  check(napi_typeof(env, value, &type), "a type");
  return type == napi_undefined || type == napi_null;
}

Sink make_sink(napi_env env, napi_value function, JsCallbackSink::Converter kind) {
  auto created = JsCallbackSink::create(env, function, kind);
  if (!created) throw Failure{created.error().status, created.error().message};
  Sink sink = std::move(created).value();
  std::lock_guard lock(registry().mutex);
  registry().sinks.push_back(sink);
  return sink;
}

JsCallbackSink::Converter kind_of(napi_env env, napi_value value) {
  return string_of(env, value) == "speechEnded" ? JsCallbackSink::Converter::kSpeechEnded
                                                : JsCallbackSink::Converter::kChunk;
}

napi_value undefined(napi_env env) {
  napi_value value = nullptr;
  napi_get_undefined(env, &value);
  return value;
}

napi_value queue(napi_env env, napi_callback_info info) {
  return guarded(env, [&] {
    const auto a = args(env, info, 3);
    const auto kind = kind_of(env, a[1]);
    Sink sink = make_sink(env, a[0], kind);
    if (kind == JsCallbackSink::Converter::kSpeechEnded) {
      const auto signals = static_cast<std::uint32_t>(number_of(env, a[2]));
      spawn([sink, signals] {
        for (std::uint32_t i = 0; i < signals; ++i)
          count(sink->call(std::uint8_t{0}, napi_tsfn_nonblocking));
      });
    } else {
      std::vector<PcmChunk> chunks;
      for (napi_value item : array_of(env, a[2]))
        chunks.push_back(elements_of<std::uint8_t>(env, item));
      spawn([sink, chunks = std::move(chunks)]() mutable {
        for (auto& chunk : chunks) count(sink->call(std::move(chunk), napi_tsfn_nonblocking));
      });
    }
    return undefined(env);
  });
}

// Chunk i: bytes 0-3 the sequence number, 4-11 the monotonic time (ns) at
// which it was queued, the rest i's low byte. Paced on an absolute schedule.
napi_value stream(napi_env env, napi_callback_info info) {
  return guarded(env, [&] {
    const auto a = args(env, info, 4);
    Sink sink = make_sink(env, a[0], JsCallbackSink::Converter::kChunk);
    const auto chunks = static_cast<std::uint32_t>(number_of(env, a[1]));
    const auto bytes = std::max<std::size_t>(12, static_cast<std::size_t>(number_of(env, a[2])));
    const auto interval =
        std::chrono::microseconds(static_cast<std::int64_t>(number_of(env, a[3])));
    spawn([sink, chunks, bytes, interval] {
      auto next = std::chrono::steady_clock::now();
      for (std::uint32_t i = 0; i < chunks; ++i) {
        if (interval.count() > 0) {
          std::this_thread::sleep_until(next);
          next += interval;
        }
        PcmChunk chunk(bytes, static_cast<std::uint8_t>(i & 0xFFu));
        const auto now =
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           std::chrono::steady_clock::now().time_since_epoch())
                                           .count());
        std::memcpy(chunk.data(), &i, 4);
        std::memcpy(chunk.data() + 4, &now, 8);
        count(sink->call(std::move(chunk), napi_tsfn_nonblocking));
      }
    });
    return undefined(env);
  });
}

struct Handle {
  Sink sink;
};

void delete_handle(napi_env, void* data, void*) { delete static_cast<Handle*>(data); }

napi_value wrap(napi_env env, Sink sink) {
  napi_value external = nullptr;
  auto handle = std::make_unique<Handle>(Handle{std::move(sink)});
  check(napi_create_external(env, handle.get(), delete_handle, nullptr, &external), "a handle");
  handle.release();
  return external;
}

Handle& unwrap(napi_env env, napi_value value) {
  void* data = nullptr;
  check(napi_get_value_external(env, value, &data), "a handle");
  return *static_cast<Handle*>(data);
}

napi_value open(napi_env env, napi_callback_info info) {
  return guarded(env, [&] {
    const auto a = args(env, info, 2);
    const auto kind =
        is_nullish(env, a[1]) ? JsCallbackSink::Converter::kChunk : kind_of(env, a[1]);
    return wrap(env, make_sink(env, a[0], kind));
  });
}

napi_value share(napi_env env, napi_callback_info info) {
  return guarded(env, [&] { return wrap(env, unwrap(env, args(env, info, 1)[0]).sink); });
}

napi_value close(napi_env env, napi_callback_info info) {
  return guarded(env, [&] {
    unwrap(env, args(env, info, 1)[0]).sink.reset();
    return undefined(env);
  });
}

napi_value close_later(napi_env env, napi_callback_info info) {
  return guarded(env, [&] {
    const auto a = args(env, info, 2);
    Sink sink = std::move(unwrap(env, a[0]).sink);
    const auto delay = std::chrono::milliseconds(static_cast<std::int64_t>(number_of(env, a[1])));
    spawn([sink = std::move(sink), delay]() mutable {
      std::this_thread::sleep_for(delay);
      sink.reset();
    });
    return undefined(env);
  });
}

napi_value send(napi_env env, napi_callback_info info) {
  return guarded(env, [&] {
    const auto a = args(env, info, 2);
    Sink sink = unwrap(env, a[0]).sink;
    if (!sink) throw Failure{napi_closing, "the handle was closed"};
    spawn([sink, chunk = elements_of<std::uint8_t>(env, a[1])]() mutable {
      count(sink->call(std::move(chunk), napi_tsfn_nonblocking));
    });
    return undefined(env);
  });
}

// steps: [{ f32: Float32Array }, { i16: Int16Array }, { stop: true }], a mono
// stream at 48 kHz: the gate times silence by the samples given.
napi_value capture(napi_env env, napi_callback_info info) {
  return guarded(env, [&] {
    const auto a = args(env, info, 3);
    struct Step {
      enum { kF32, kI16, kStop } what;
      std::vector<float> f32;
      std::vector<std::int16_t> i16;
    };
    std::vector<Step> steps;
    for (napi_value item : array_of(env, a[2])) {
      Step step{Step::kStop, {}, {}};
      if (!is_nullish(env, property(env, item, "f32"))) {
        step.what = Step::kF32;
        step.f32 = elements_of<float>(env, property(env, item, "f32"));
      } else if (!is_nullish(env, property(env, item, "i16"))) {
        step.what = Step::kI16;
        step.i16 = elements_of<std::int16_t>(env, property(env, item, "i16"));
      }
      steps.push_back(std::move(step));
    }

    CaptureCallback callback{std::make_shared<std::atomic<bool>>(false),
                             make_sink(env, a[0], JsCallbackSink::Converter::kChunk), nullptr};
    if (!is_nullish(env, a[1])) {
      callback.gate = std::make_shared<SpeechEndedGate>(
          make_sink(env, a[1], JsCallbackSink::Converter::kSpeechEnded), 48000, 1);
    }
    spawn([callback = std::move(callback), steps = std::move(steps)] {
      for (const Step& step : steps) {
        switch (step.what) {
          case Step::kF32:
            callback(std::span<const float>(step.f32));
            break;
          case Step::kI16:
            callback(std::span<const std::int16_t>(step.i16));
            break;
          case Step::kStop:
            callback.stopped->store(true);
            break;
        }
      }
    });
    return undefined(env);
  });
}

napi_value report(napi_env env, napi_callback_info info) {
  return guarded(env, [&] {
    report_stream_error({string_of(env, args(env, info, 1)[0])});
    return undefined(env);
  });
}

napi_value refuse(napi_env env, napi_callback_info info) {
  return guarded(env, [&] {
    const std::string mode = string_of(env, args(env, info, 1)[0]);
    set_buffer_refusal(mode == "external"          ? BufferRefusal::kExternal
                       : mode == "externalAndCopy" ? BufferRefusal::kExternalAndCopy
                                                   : BufferRefusal::kNone);
    return undefined(env);
  });
}

napi_value stats(napi_env env, napi_callback_info) {
  return guarded(env, [&] {
    std::uint32_t alive = 0;
    {
      std::lock_guard lock(registry().mutex);
      std::erase_if(registry().sinks, [](const auto& weak) { return weak.expired(); });
      alive = static_cast<std::uint32_t>(registry().sinks.size());
    }
    napi_value result = nullptr;
    check(napi_create_object(env, &result), "an object");
    // Bytes the C allocator has handed out, over all arenas (for the benchmark;
    // 0 where the C library cannot tell).
#if defined(__linux__)
    const struct mallinfo2 heap = mallinfo2();
    const double heap_bytes = static_cast<double>(heap.uordblks + heap.hblkhd);
#else
    const double heap_bytes = 0;
#endif
    const std::pair<const char*, double> fields[] = {{"aliveSinks", alive},
                                                     {"refused", refused_calls.load()},
                                                     {"threads", running_threads.load()},
                                                     {"heapBytes", heap_bytes}};
    for (const auto& [name, value] : fields) {
      napi_value number = nullptr;
      check(napi_create_double(env, value, &number), name);
      check(napi_set_named_property(env, result, name, number), name);
    }
    return result;
  });
}

}  // namespace

napi_value register_sink_probe(napi_env env, napi_value exports) {
  const std::pair<const char*, napi_callback> functions[] = {{"queue", queue},
                                                             {"stream", stream},
                                                             {"open", open},
                                                             {"share", share},
                                                             {"close", close},
                                                             {"closeLater", close_later},
                                                             {"send", send},
                                                             {"capture", capture},
                                                             {"reportStreamError", report},
                                                             {"setBufferRefusal", refuse},
                                                             {"stats", stats}};
  napi_value probe = nullptr;
  if (napi_create_object(env, &probe) != napi_ok) return exports;
  for (const auto& [name, callback] : functions) {
    napi_value function = nullptr;
    if (napi_create_function(env, name, NAPI_AUTO_LENGTH, callback, nullptr, &function) ==
        napi_ok) {
      napi_set_named_property(env, probe, name, function);
    }
  }
  napi_set_named_property(env, exports, "probe", probe);
  return exports;
}

}  // namespace parlanto_audio::testing
