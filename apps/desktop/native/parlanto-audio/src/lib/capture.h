#pragma once

// The capture object behind each ParlantoMicrophone and ParlantoSystemLoopback
// instance: at most one running stream, started by start(), ended by stop() or
// by the instance's collection. JavaScript thread only; the stop flag is the
// one field the audio thread reads.

#include <node_api.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "audio_host.h"
#include "input_stream.h"
#include "js_callback_sink.h"
#include "module_error.h"

namespace parlanto_audio {

enum class CaptureKind : std::uint8_t {
  kMicrophone,      // falls back to the default input device; 1 channel until started
  kSystemLoopback,  // falls back to the default output device; 2 channels until started
};

class Capture {
 public:
  Capture(CaptureKind kind, std::optional<std::string> device_id);
  ~Capture();  // finalize()
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Resolves the device again and starts a new stream; a no-op while running.
  // A failure leaves the object idle and its readers unchanged.
  ModuleResult<Ok> start(napi_env env, napi_value on_data, napi_value on_speech_ended,
                         RetryPause pause = sleep_for_retry);
  // Sets the stop flag, then drops the stream and the chunk sink. Chunks
  // already queued may still reach JavaScript afterwards; none captured later.
  void stop();
  // Garbage collection: releases the stream and the chunk sink, leaving the
  // stop flag as it is.
  void finalize();

  CaptureKind kind() const { return kind_; }
  bool running() const { return stream_ != nullptr; }
  std::uint32_t sample_rate() const { return sample_rate_; }
  std::uint16_t channel_count() const { return channel_count_; }

 private:
  const CaptureKind kind_;
  // Fields in the order they are released when the object goes.
  std::shared_ptr<std::atomic<bool>> stopped_;
  std::unique_ptr<Stream> stream_;
  std::optional<std::string> device_id_;        // untrimmed; resolved at each start
  std::shared_ptr<JsCallbackSink> chunk_sink_;  // present exactly while stream_ is
  std::uint32_t sample_rate_ = 48000;
  std::uint16_t channel_count_;
  std::shared_ptr<Host> host_;  // the host the running stream came from
};

}  // namespace parlanto_audio
