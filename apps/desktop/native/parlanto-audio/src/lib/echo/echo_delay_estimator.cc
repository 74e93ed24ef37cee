#include "echo/echo_delay_estimator.h"

#include <algorithm>
#include <cmath>

namespace parlanto_audio {

namespace {

// A block's loudness in dB, floored at about -70 dBFS so that digital
// silence and a quiet room look alike.
float loudness(const float* x, std::size_t n) {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += x[i] * x[i];
  return 10.0f * std::log10(sum / static_cast<float>(n) + 1e-7f);
}

// Contours are taken relative to their own mean over about 60 ms, so what
// correlates is where the loudness changes (syllables), not its level.
constexpr float kMeanWeight = 1.0f / 32.0f;
// The correlation forgets with a time constant of about 4 s.
constexpr double kForget = 1.0 - 1.0 / 2000.0;
constexpr float kAudibleDb = -50.0f;
// A peak is clear when no other peak outside its neighbourhood reaches more
// than this share of it: speech with a steady rhythm has several.
constexpr double kClearPeak = 0.8;
constexpr std::size_t kNeighbourhoodMs = 30;
// Speech through the test rooms correlates 0.4-0.9 with its echo; unrelated
// speech up to about 0.4.
constexpr double kMinCoherence = 0.5;

}  // namespace

EchoDelayEstimator::EchoDelayEstimator(std::uint32_t rate, std::uint32_t max_ahead_ms,
                                       std::uint32_t max_delay_ms)
    : block_(rate * kBlockMs / 1000),
      ahead_(max_ahead_ms / kBlockMs),
      behind_(max_delay_ms / kBlockMs),
      reference_contour_(static_cast<std::size_t>(behind_) + 1, 0.0f),
      mic_contour_(static_cast<std::size_t>(ahead_) + 1, 0.0f),
      correlation_(static_cast<std::size_t>(ahead_ + behind_) + 1, 0.0) {}

void EchoDelayEstimator::reset() {
  std::fill(reference_contour_.begin(), reference_contour_.end(), 0.0f);
  std::fill(mic_contour_.begin(), mic_contour_.end(), 0.0f);
  std::fill(correlation_.begin(), correlation_.end(), 0.0);
  mic_power_ = 0.0;
  reference_power_ = 0.0;
  position_ = 0;
  reference_mean_ = 0.0f;
  mic_mean_ = 0.0f;
  heard_blocks_ = 0;
  since_evaluation_ = 0;
  candidate_ = 0;
  confirmations_ = 0;
  delay_ms_.reset();
}

void EchoDelayEstimator::observe(const float* reference, const float* mic, std::size_t frames) {
  for (std::size_t at = 0; at + block_ <= frames; at += block_) {
    const float r = loudness(reference + at, block_);
    const float m = loudness(mic + at, block_);
    if (position_ == 0) {
      reference_mean_ = r;
      mic_mean_ = m;
    }
    reference_mean_ += kMeanWeight * (r - reference_mean_);
    mic_mean_ += kMeanWeight * (m - mic_mean_);
    const std::size_t now = position_;
    const float reference_change = r - reference_mean_;
    const float mic_change = m - mic_mean_;
    reference_contour_[now % reference_contour_.size()] = reference_change;
    mic_contour_[now % mic_contour_.size()] = mic_change;
    mic_power_ = mic_power_ * kForget + double{mic_change} * mic_change;
    reference_power_ = reference_power_ * kForget + double{reference_change} * reference_change;
    // Each pair of blocks once: the microphone now against the reference
    // `lag` blocks ago, and the reference now against the microphone.
    for (std::ptrdiff_t lag = 0; lag <= behind_ && static_cast<std::size_t>(lag) <= now; ++lag) {
      const float past =
          reference_contour_[(now - static_cast<std::size_t>(lag)) % reference_contour_.size()];
      at_lag(lag) = at_lag(lag) * kForget + double{mic_change} * past;
    }
    for (std::ptrdiff_t lag = 1; lag <= ahead_ && static_cast<std::size_t>(lag) <= now; ++lag) {
      const float past = mic_contour_[(now - static_cast<std::size_t>(lag)) % mic_contour_.size()];
      at_lag(-lag) = at_lag(-lag) * kForget + double{reference_change} * past;
    }
    ++position_;
    if (r > kAudibleDb) ++heard_blocks_;
    if (++since_evaluation_ * kBlockMs >= kEvaluateEveryMs) {
      since_evaluation_ = 0;
      evaluate();
    }
  }
}

void EchoDelayEstimator::evaluate() {
  if (heard_blocks_ * kBlockMs < kMinHeardMs) return;
  // Kept only by a clear peak near the last one.
  const std::uint32_t confirmed = confirmations_;
  confirmations_ = 0;
  const auto top = std::max_element(correlation_.begin(), correlation_.end());
  const std::ptrdiff_t best = (top - correlation_.begin()) - ahead_;
  // Unrelated signals correlate a little somewhere.
  if (*top / std::sqrt(mic_power_ * reference_power_ + 1e-12) < kMinCoherence) return;
  const auto near = static_cast<std::ptrdiff_t>(kNeighbourhoodMs / kBlockMs);
  // The rival is another peak, not the slope of the best one.
  double rival = 0.0;
  for (std::size_t i = 1; i + 1 < correlation_.size(); ++i) {
    const double c = correlation_[i];
    const std::ptrdiff_t lag = static_cast<std::ptrdiff_t>(i) - ahead_;
    if ((lag < best - near || lag > best + near) && c >= correlation_[i - 1] &&
        c >= correlation_[i + 1]) {
      rival = std::max(rival, c);
    }
  }
  if (rival > kClearPeak * *top) return;
  const bool same = confirmed > 0 && best >= candidate_ - near && best <= candidate_ + near;
  confirmations_ = same ? confirmed + 1 : 1;
  candidate_ = best;
  if (confirmations_ >= kConfirmations) {
    delay_ms_ = static_cast<std::int32_t>(best * static_cast<std::ptrdiff_t>(kBlockMs));
  }
}

}  // namespace parlanto_audio
