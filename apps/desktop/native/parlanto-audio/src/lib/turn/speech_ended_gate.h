#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "delivery/js_callback_sink.h"

namespace parlanto_audio {

// Positions on the stream's sample clock: samples received since the gate was
// built, all channels counted.
struct SpeechState {
  std::uint64_t samples = 0;  // through the end of the last buffer observed
  std::uint64_t last_voice =
      0;  // through the end of the last voiced buffer; read only while `speaking`
  bool speaking = false;
};

// Tells JavaScript each time the speaker has stopped talking: after a buffer
// whose RMS level reached the threshold, the first quieter buffer that ends at
// least 420 ms of stream time later queues one speech-ended notification.
//
// Silence is measured in samples received (frames ÷ sample rate), not by when
// buffers arrive: at real pace the two agree, and a backlog that a stalled
// server delivers in one burst still counts as the time it covers.
//
// Fed only by the stream's data callback, on the audio thread. The state
// mutex is held for a few comparisons; the notification is queued after it is
// released.
class SpeechEndedGate {
 public:
  static constexpr float kThreshold = 0.018f;
  static constexpr std::chrono::nanoseconds kMinSilence{420'000'000};

  // `sample_rate` and `channels` are those of the stream that feeds the gate.
  SpeechEndedGate(std::shared_ptr<JsCallbackSink> speech_ended_sink, std::uint32_t sample_rate,
                  std::uint16_t channels);

  // The level's sum of squares, as the threshold is defined on it (samples
  // scaled to [-1, 1)); shared with the capture layer's detector.
  static float sum_of_squares(std::span<const float> samples);
  static float sum_of_squares(std::span<const std::int16_t> samples);

  void observe_f32(std::span<const float> samples);
  void observe_i16(std::span<const std::int16_t> samples);

  // For tests: a copy of the state, and the silence in samples.
  SpeechState state() const;
  std::uint64_t min_silence_samples() const { return min_silence_samples_; }

 private:
  void observe_level(float sum_of_squares, std::size_t count);

  const std::shared_ptr<JsCallbackSink> speech_ended_sink_;
  // 420 ms of frames, rounded up to a whole frame, times the channel count.
  const std::uint64_t min_silence_samples_;
  mutable std::mutex state_mutex_;
  SpeechState state_;  // guarded by state_mutex_
};

}  // namespace parlanto_audio
