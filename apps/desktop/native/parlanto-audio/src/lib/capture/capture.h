#pragma once

// The capture object behind each ParlantoMicrophone and ParlantoSystemLoopback
// instance: at most one started capture, begun by start(), ended by stop() or
// by the instance's collection. While started it keeps a stream open by
// itself: a stream that fails is reported to the data callback once and opened
// again, off the JavaScript thread, as soon as the device can be had again.
// The methods run on the JavaScript thread; the stop flag is the one field of
// the object the audio thread reads.

#include <node_api.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/audio_host.h"
#include "capture/input_stream.h"
#include "delivery/js_callback_sink.h"
#include "base/module_error.h"

namespace parlanto_audio {

enum class CaptureKind : std::uint8_t {
  kMicrophone,      // falls back to the default input device; 1 channel until started
  kSystemLoopback,  // falls back to the default output device; 2 channels until started
};

class CaptureSession;  // capture.cc: a started capture's stream and recovery thread

class Capture {
 public:
  Capture(CaptureKind kind, std::optional<std::string> device_id);
  ~Capture();  // finalize()
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Resolves the device again and starts a new stream; a no-op while started.
  // A failure leaves the object idle and its readers unchanged.
  ModuleResult<Ok> start(napi_env env, napi_value on_data, napi_value on_speech_ended,
                         RetryPause pause = sleep_for_retry);
  // Sets the stop flag, ends the recovery thread, then drops the stream and the
  // sinks; when it returns nothing of the capture runs any more. Chunks already
  // queued may still reach JavaScript afterwards; none captured later.
  void stop();
  // Garbage collection: the same as stop, leaving the stop flag as it is.
  void finalize();

  CaptureKind kind() const { return kind_; }
  bool running() const { return session_ != nullptr; }
  std::uint32_t sample_rate() const { return sample_rate_; }
  std::uint16_t channel_count() const { return channel_count_; }

 private:
  const CaptureKind kind_;
  // Fields in the order they are released when the object goes.
  std::shared_ptr<std::atomic<bool>> stopped_;
  std::shared_ptr<CaptureSession> session_;  // present from a successful start until stop
  std::optional<std::string> device_id_;     // untrimmed; resolved at each start
  std::uint32_t sample_rate_ = 48000;
  std::uint16_t channel_count_;
};

}  // namespace parlanto_audio
