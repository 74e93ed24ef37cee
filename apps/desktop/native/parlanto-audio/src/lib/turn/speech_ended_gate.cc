#include "turn/speech_ended_gate.h"

#include <algorithm>
#include <cmath>

namespace parlanto_audio {

namespace {

std::uint64_t silence_in_samples(std::uint32_t sample_rate, std::uint16_t channels) {
  constexpr std::uint64_t kPerSecond = 1'000'000'000;
  const auto frames = (static_cast<std::uint64_t>(SpeechEndedGate::kMinSilence.count()) *
                           std::max<std::uint32_t>(sample_rate, 1) +
                       kPerSecond - 1) /
                      kPerSecond;
  return frames * std::max<std::uint16_t>(channels, 1);
}

}  // namespace

SpeechEndedGate::SpeechEndedGate(std::shared_ptr<JsCallbackSink> speech_ended_sink,
                                 std::uint32_t sample_rate, std::uint16_t channels)
    : speech_ended_sink_(std::move(speech_ended_sink)),
      min_silence_samples_(silence_in_samples(sample_rate, channels)) {}

// The level is defined by a sequential single-precision sum: each square is
// rounded to float before it is added. The square is a statement of its own so
// that no compiler fuses the multiply and the add.
float SpeechEndedGate::sum_of_squares(std::span<const float> samples) {
  float sum = 0.0f;
  for (const float v : samples) {
    const float square = v * v;
    sum += square;
  }
  return sum;
}

float SpeechEndedGate::sum_of_squares(std::span<const std::int16_t> samples) {
  constexpr float kScale = 1.0f / 32768.0f;
  float sum = 0.0f;
  for (const std::int16_t sample : samples) {
    const float v = static_cast<float>(sample) * kScale;
    const float square = v * v;
    sum += square;
  }
  return sum;
}

void SpeechEndedGate::observe_f32(std::span<const float> samples) {
  observe_level(sum_of_squares(samples), samples.size());
}

void SpeechEndedGate::observe_i16(std::span<const std::int16_t> samples) {
  observe_level(sum_of_squares(samples), samples.size());
}

void SpeechEndedGate::observe_level(float sum_of_squares, std::size_t count) {
  if (count == 0) {
    return;
  }
  {
    std::unique_lock lock(state_mutex_);
    state_.samples += count;
    const float level = std::sqrt(sum_of_squares / static_cast<float>(count));
    if (level >= kThreshold) {  // a NaN level is silence
      state_.speaking = true;
      state_.last_voice = state_.samples;
      return;
    }
    if (!state_.speaking) {
      return;
    }
    if (state_.samples - state_.last_voice < min_silence_samples_) {
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
