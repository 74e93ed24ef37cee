#include "turn/level_turn_detector.h"

#include <cmath>

namespace parlanto_audio {

namespace {

// Keeps the last ended frame of the legacy observe().
struct LastEnded final : TurnEvents {
  std::optional<std::uint64_t> frame;
  void on_turn_event(const TurnEvent& event) override {
    if (event.kind == TurnEvent::Kind::kEnded) frame = event.frame;
  }
};

}  // namespace

SampleClockSpeechDetector::SampleClockSpeechDetector(std::uint32_t sample_rate,
                                                     std::uint32_t min_silence_ms,
                                                     std::uint32_t max_turn_ms)
    : tracker_(ms_to_frames(min_silence_ms, sample_rate), ms_to_frames(max_turn_ms, sample_rate)) {}

void SampleClockSpeechDetector::observe(float sum, std::size_t samples, std::uint64_t start,
                                        std::uint64_t end_frame, TurnEvents& out) {
  if (samples == 0) return;
  const float level = std::sqrt(sum / static_cast<float>(samples));
  if (level >= SpeechEndedGate::kThreshold) {  // a NaN level is silence
    tracker_.voice(start, end_frame, out);
  }
  tracker_.advance(end_frame, out);
}

std::optional<std::uint64_t> SampleClockSpeechDetector::observe(float sum, std::size_t samples,
                                                                std::uint64_t end_frame) {
  LastEnded ended;
  observe(sum, samples, last_end_frame_, end_frame, ended);
  last_end_frame_ = end_frame;
  return ended.frame;
}

LevelTurnDetector::LevelTurnDetector(const TurnOptions& options, std::uint32_t sample_rate,
                                     std::uint16_t channels)
    : channels_(channels), rule_(sample_rate, options.min_silence_ms, options.max_turn_ms) {}

void LevelTurnDetector::observe(std::span<const float> samples, TurnEvents& out) {
  observe_sum(SpeechEndedGate::sum_of_squares(samples), samples.size(), out);
}

void LevelTurnDetector::observe(std::span<const std::int16_t> samples, TurnEvents& out) {
  observe_sum(SpeechEndedGate::sum_of_squares(samples), samples.size(), out);
}

void LevelTurnDetector::observe_sum(float sum, std::size_t samples, TurnEvents& out) {
  const std::uint64_t start = frames_;
  frames_ += samples / channels_;
  rule_.observe(sum, samples, start, frames_, out);
}

void LevelTurnDetector::finish(TurnEnd reason, TurnEvents& out) {
  rule_.finish(frames_, reason, out);
}

}  // namespace parlanto_audio
