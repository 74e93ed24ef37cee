#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "js_callback_sink.h"

namespace parlanto_audio {

// Time since an arbitrary fixed point, from a monotonic clock.
using MonotonicNow = std::chrono::nanoseconds (*)();
std::chrono::nanoseconds monotonic_now();  // CLOCK_MONOTONIC

struct SpeechState {
  std::chrono::nanoseconds last_voice{0};  // read only while `speaking`
  bool speaking = false;
};

// Tells JavaScript each time the speaker has stopped talking: after a buffer
// whose RMS level reached the threshold, the first quieter buffer observed at
// least 420 ms later queues one speech-ended notification.
//
// Fed only by the stream's data callback, on the audio thread. The state
// mutex is held for a few comparisons; the clock is read before it is taken
// and the notification is queued after it is released.
class SpeechEndedGate {
 public:
  static constexpr float kThreshold = 0.018f;
  static constexpr std::chrono::nanoseconds kMinSilence{420'000'000};

  // `now` is injectable for tests; production uses monotonic_now.
  explicit SpeechEndedGate(std::shared_ptr<JsCallbackSink> speech_ended_sink,
                           MonotonicNow now = monotonic_now);

  void observe_f32(std::span<const float> samples);
  void observe_i16(std::span<const std::int16_t> samples);

  // For tests: a copy of the state.
  SpeechState state() const;

 private:
  void observe_level(float sum_of_squares, std::size_t count);

  const std::shared_ptr<JsCallbackSink> speech_ended_sink_;
  const MonotonicNow now_;
  mutable std::mutex state_mutex_;
  SpeechState state_;  // guarded by state_mutex_
};

}  // namespace parlanto_audio
