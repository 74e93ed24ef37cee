#include "speech_ended_gate.h"

#include <time.h>

#include <cmath>

namespace parlanto_audio {

std::chrono::nanoseconds monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

SpeechEndedGate::SpeechEndedGate(std::shared_ptr<JsCallbackSink> speech_ended_sink,
                                 MonotonicNow now)
    : speech_ended_sink_(std::move(speech_ended_sink)), now_(now) {
  state_.last_voice = now_();
}

// The level is defined by a sequential single-precision sum: each square is
// rounded to float before it is added. The square is a statement of its own so
// that no compiler fuses the multiply and the add.
void SpeechEndedGate::observe_f32(std::span<const float> samples) {
  float sum = 0.0f;
  for (const float v : samples) {
    const float square = v * v;
    sum += square;
  }
  observe_level(sum, samples.size());
}

void SpeechEndedGate::observe_i16(std::span<const std::int16_t> samples) {
  constexpr float kScale = 1.0f / 32768.0f;
  float sum = 0.0f;
  for (const std::int16_t sample : samples) {
    const float v = static_cast<float>(sample) * kScale;
    const float square = v * v;
    sum += square;
  }
  observe_level(sum, samples.size());
}

void SpeechEndedGate::observe_level(float sum_of_squares, std::size_t count) {
  if (count == 0) {
    return;
  }
  const std::chrono::nanoseconds now = now_();
  {
    std::unique_lock lock(state_mutex_);
    const float level = std::sqrt(sum_of_squares / static_cast<float>(count));
    if (level >= kThreshold) {  // a NaN level is silence
      state_.speaking = true;
      state_.last_voice = now;
      return;
    }
    if (!state_.speaking) {
      return;
    }
    const auto elapsed =
        now > state_.last_voice ? now - state_.last_voice : std::chrono::nanoseconds::zero();
    if (elapsed < kMinSilence) {
      return;
    }
    state_.speaking = false;
  }
  if (speech_ended_sink_) {
    speech_ended_sink_->call(std::uint8_t{0}, napi_tsfn_nonblocking);
  }
}

SpeechState SpeechEndedGate::state() const {
  std::unique_lock lock(state_mutex_);
  return state_;
}

}  // namespace parlanto_audio
