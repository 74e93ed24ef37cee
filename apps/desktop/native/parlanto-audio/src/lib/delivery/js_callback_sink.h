#pragma once

#include <node_api.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "base/module_error.h"

namespace parlanto_audio {

// One chunk of signed 16-bit little-endian PCM, channels interleaved as the
// device delivered them. Never empty when queued.
using PcmChunk = std::vector<std::uint8_t>;

// The shared handle of one thread-safe function bound to one JavaScript
// callback. Holders share it through std::shared_ptr; when the last holder lets
// go (on any thread) the thread-safe function is released, calls already
// queued are still delivered, and the engine finalizes it once drained.
//
// Created on the JavaScript thread. call() may run on any thread (the audio
// thread in practice): it never blocks beyond the sink's reader lock and never
// waits for JavaScript.
class JsCallbackSink {
 public:
  // How a queued payload becomes the callback's second argument.
  enum class Converter : std::uint8_t {
    kChunk,        // PcmChunk -> Buffer over the chunk's memory (a copy where
                   // the engine forbids external buffers)
    kSpeechEnded,  // one byte, ignored -> undefined
  };

  // A new sink with one holder, or the engine's status with an empty message
  // (for example when `function` is not a function).
  static ModuleResult<std::shared_ptr<JsCallbackSink>> create(napi_env env, napi_value function,
                                                              Converter converter);

  ~JsCallbackSink();  // the release: runs when the last holder lets go
  JsCallbackSink(const JsCallbackSink&) = delete;
  JsCallbackSink& operator=(const JsCallbackSink&) = delete;

  // Queues a payload for the JavaScript thread. Returns napi_closing, and drops
  // the payload, once the engine has finalized the function.
  napi_status call(PcmChunk chunk, napi_threadsafe_function_call_mode mode);
  napi_status call(std::uint8_t signal, napi_threadsafe_function_call_mode mode);
  // Queues a failure instead of a payload: the callback is called with only an
  // Error, code "GenericFailure" and this message.
  napi_status call_error(std::string message, napi_threadsafe_function_call_mode mode);

 private:
  JsCallbackSink() = default;
  // Implementation details are the .cc file's business.
  friend struct JsCallbackSinkAccess;

  mutable std::shared_mutex lock_;
  bool aborted_ = false;  // guarded by lock_
  std::atomic<napi_threadsafe_function> raw_{nullptr};
};

namespace testing {

// Electron's memory cage refuses external buffers; tests force that path (and,
// beyond it, a failing copy) on engines that allow them. Process-wide; nothing
// but the test addon sets it.
enum class BufferRefusal : std::uint8_t { kNone, kExternal, kExternalAndCopy };
void set_buffer_refusal(BufferRefusal refusal);

}  // namespace testing

}  // namespace parlanto_audio
