#include "echo/residual_echo_gate.h"

#include <algorithm>
#include <cmath>

namespace parlanto_audio {

namespace {

// Below this mean square (about -66 dBFS of 16-bit full scale) an echo
// estimate teaches nothing.
constexpr float kAudibleEstimate = 2.5e-7f * 32767.0f * 32767.0f;
constexpr float kLeakFall = 0.3f;
constexpr float kLeakRise = 0.01f;
constexpr float kMinLeak = 1e-3f;
constexpr float kGainRise = 0.5f;

// speexdsp's canceller's notch radius for its rate.
float notch_radius(std::uint32_t rate) {
  if (rate < 12000) return 0.9f;
  if (rate < 24000) return 0.982f;
  return 0.992f;
}

}  // namespace

ResidualEchoGate::ResidualEchoGate(std::uint32_t rate) : notch_radius_(notch_radius(rate)) {}

void ResidualEchoGate::reset() {
  notch_[0] = notch_[1] = 0.0f;
  leak_ = 1.0f;
  residual_ = 0.0f;
  gain_ = 1.0f;
}

void ResidualEchoGate::process(const std::int16_t* mic, const std::int16_t* cancelled,
                               float* signal, std::size_t frames) {
  const float r = notch_radius_;
  const float den2 = r * r + 0.7f * (1.0f - r) * (1.0f - r);
  float estimate = 0.0f;
  float left = 0.0f;
  for (std::size_t i = 0; i < frames; ++i) {
    const auto in = static_cast<float>(mic[i]);
    const float v = notch_[0] + in;
    notch_[0] = notch_[1] + 2.0f * (-in + r * v);
    notch_[1] = in - den2 * v;
    const float notched = std::clamp(r * v, -32767.0f, 32767.0f);
    const float out = cancelled[i];
    estimate += (notched - out) * (notched - out);
    left += out * out;
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
