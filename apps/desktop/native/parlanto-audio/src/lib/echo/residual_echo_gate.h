#pragma once

#include <cstddef>

namespace parlanto_audio {

// Suppresses what a linear echo canceller leaves of the echo: mostly the
// room's reverberation past the end of its filter, which speexdsp's own
// residual estimate (its filter's echo estimate scaled by how much it thinks
// it missed) underestimates in reverberant rooms. Per 10 ms frame it compares
// the canceller's output with its echo estimate: how much of the estimate
// stays in the output is learnt while the far end talks alone (the ratio
// falls quickly and rises slowly, so the near voice in double talk does not
// teach it), and kept for a reverberation's decay after the estimate stops.
// The frame is attenuated by the share of its power that is residual echo,
// down to kFloor. One per microphone channel, owned by the audio thread.
class ResidualEchoGate {
 public:
  static constexpr float kFloor = 0.03f;       // amplitude, about -30 dB
  static constexpr float kOverestimate = 4.0f;  // margin on the residual's estimate
  static constexpr float kTailDecay = 0.93f;    // per 10 ms: -30 dB in a second

  // `mic`, `cancelled`: the canceller's input and output for one frame, in
  // step; `signal` (the cancelled frame, or what later stages made of it)
  // gets the gain, moving from the last frame's to this one's across it.
  void process(const float* mic, const float* cancelled, float* signal, std::size_t frames);
  void reset();

  float leak() const { return leak_; }

 private:
  float leak_ = 1.0f;  // residual power over the echo estimate's, learnt
  float residual_ = 0.0f;
  float gain_ = 1.0f;
};

}  // namespace parlanto_audio
