#include "echo/residual_echo_gate.h"

#include <algorithm>
#include <cmath>

namespace parlanto_audio {

namespace {

// Below this mean square (about -66 dBFS) an echo estimate teaches nothing.
constexpr float kAudibleEstimate = 2.5e-7f;
constexpr float kLeakFall = 0.3f;
constexpr float kLeakRise = 0.01f;
constexpr float kMinLeak = 1e-3f;
constexpr float kGainRise = 0.5f;

}  // namespace

void ResidualEchoGate::reset() {
  leak_ = 1.0f;
  residual_ = 0.0f;
  gain_ = 1.0f;
}

void ResidualEchoGate::process(const float* mic, const float* cancelled, float* signal,
                               std::size_t frames) {
  float estimate = 0.0f;
  float left = 0.0f;
  for (std::size_t i = 0; i < frames; ++i) {
    const float echo = mic[i] - cancelled[i];
    estimate += echo * echo;
    left += cancelled[i] * cancelled[i];
  }
  const auto n = static_cast<float>(frames);
  estimate /= n;
  left /= n;
  if (estimate > kAudibleEstimate) {
    const float ratio = std::clamp(left / estimate, kMinLeak, 1.0f);
    leak_ += (ratio < leak_ ? kLeakFall : kLeakRise) * (ratio - leak_);
  }
  residual_ = std::max(leak_ * estimate, kTailDecay * residual_);
  float target = 1.0f;
  if (left > 0.0f) {
    target = std::sqrt(std::max(kFloor * kFloor, 1.0f - kOverestimate * residual_ / left));
  }
  // Down at once, up over a few frames: a syllable of the near voice opens
  // the gate within 20 ms.
  if (target > gain_) target = gain_ + kGainRise * (target - gain_);
  const float step = (target - gain_) / n;
  for (std::size_t i = 0; i < frames; ++i) {
    gain_ += step;
    signal[i] *= gain_;
  }
  gain_ = target;
}

}  // namespace parlanto_audio
