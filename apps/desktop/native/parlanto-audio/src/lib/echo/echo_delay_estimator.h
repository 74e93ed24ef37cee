#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace parlanto_audio {

// A coarse estimate of how much later the microphone hears the reference,
// for an engine without a delay estimator of its own (speexdsp's filter
// covers a fixed span of delays). It correlates the two signals' loudness
// contours, one value per 2 ms block, over the last few seconds: the contour
// survives the room's colouring and reverberation, and costs a few thousand
// multiplications per 10 ms. The delay may be negative, down to -max_ahead_ms:
// a reference that reaches the stage later than the microphone hears it (its
// stream stalled and came back with a fresher fill). Owned and fed by one
// thread; never allocates after construction.
class EchoDelayEstimator {
 public:
  static constexpr std::uint32_t kBlockMs = 2;
  // Evaluations come this often, and an estimate needs this much audible
  // reference first.
  static constexpr std::uint32_t kEvaluateEveryMs = 250;
  static constexpr std::uint32_t kMinHeardMs = 1500;
  static constexpr std::uint32_t kConfirmations = 3;

  EchoDelayEstimator(std::uint32_t rate, std::uint32_t max_ahead_ms, std::uint32_t max_delay_ms);

  // The next `frames` samples of each, mono, in step. `frames` is a whole
  // number of blocks.
  void observe(const float* reference, const float* mic, std::size_t frames);
  // The delay once kConfirmations evaluations in a row found one clear peak
  // at the same place; it then holds until others in a row find another.
  std::optional<std::int32_t> delay_ms() const { return delay_ms_; }
  void reset();

 private:
  void evaluate();
  double& at_lag(std::ptrdiff_t lag) {
    return correlation_[static_cast<std::size_t>(lag + ahead_)];
  }

  const std::size_t block_;               // samples per block
  const std::ptrdiff_t ahead_;            // blocks the reference may lag the microphone
  const std::ptrdiff_t behind_;           // blocks the microphone may lag the reference
  std::vector<float> reference_contour_;  // rings of the last blocks
  std::vector<float> mic_contour_;
  std::vector<double> correlation_;  // by lag in blocks, from -ahead_
  double mic_power_ = 0.0;           // of the contours, forgotten alike
  double reference_power_ = 0.0;
  std::size_t position_ = 0;  // blocks seen
  float reference_mean_ = 0.0f;
  float mic_mean_ = 0.0f;
  std::size_t heard_blocks_ = 0;
  std::size_t since_evaluation_ = 0;
  std::ptrdiff_t candidate_ = 0;  // lag in blocks of the last clear peak
  std::uint32_t confirmations_ = 0;
  std::optional<std::int32_t> delay_ms_;
};

}  // namespace parlanto_audio
