#pragma once

// The level rule of the module's classes (SpeechEndedGate) as a turn
// detector: a buffer whose RMS level reaches the gate's threshold is voice,
// and a turn ends at the first quieter buffer that completes the minimum
// silence after it. Time is counted in frames received, not by when buffers
// arrive, so bursts and stalls of delivery do not change its decisions.

#include <cstdint>
#include <optional>

#include "turn/speech_ended_gate.h"
#include "turn/turn_detector.h"

namespace parlanto_audio {

class SampleClockSpeechDetector {
 public:
  explicit SampleClockSpeechDetector(std::uint32_t sample_rate, std::uint32_t min_silence_ms = 420,
                                     std::uint32_t max_turn_ms = 0);

  // Feeds one buffer of `samples` samples (all channels) from frame `start`
  // to `end_frame`, whose sum of squares is `sum` (SpeechEndedGate's measure).
  void observe(float sum, std::size_t samples, std::uint64_t start, std::uint64_t end_frame,
               TurnEvents& out);
  // The same, for a caller that wants only the frame at which the silence
  // completed, when this buffer completes it.
  std::optional<std::uint64_t> observe(float sum, std::size_t samples, std::uint64_t end_frame);

  void finish(std::uint64_t now, TurnEnd reason, TurnEvents& out) {
    tracker_.finish(now, reason, out);
  }

 private:
  TurnTracker tracker_;
  std::uint64_t last_end_frame_ = 0;
};

class LevelTurnDetector final : public TurnDetector {
 public:
  LevelTurnDetector(const TurnOptions& options, std::uint32_t sample_rate, std::uint16_t channels);

  void observe(std::span<const float> samples, TurnEvents& out) override;
  void observe(std::span<const std::int16_t> samples, TurnEvents& out) override;
  void finish(TurnEnd reason, TurnEvents& out) override;
  std::uint64_t frames() const override { return frames_; }

 private:
  void observe_sum(float sum, std::size_t samples, TurnEvents& out);

  const std::uint16_t channels_;
  SampleClockSpeechDetector rule_;
  std::uint64_t frames_ = 0;
};

}  // namespace parlanto_audio
