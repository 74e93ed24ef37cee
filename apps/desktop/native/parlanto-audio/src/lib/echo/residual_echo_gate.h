#pragma once

#include <cstddef>
#include <cstdint>

namespace parlanto_audio {

// Suppresses what speexdsp's linear canceller leaves of the echo: mostly the
// room's reverberation past the end of its filter, which the library's own
// residual estimate (its filter's echo estimate scaled by how much it thinks
// it missed) underestimates in reverberant rooms. Per 10 ms frame it compares
// the canceller's output with the canceller's echo estimate: how much of the
// estimate stays in the output is learnt while the far end talks alone (the
// ratio falls quickly and rises slowly, so the near voice in double talk does
// not teach it), and held for a reverberation's decay after the estimate
// stops. The frame is attenuated by the share of its power that is residual
// echo, down to kFloor. One per microphone channel, owned by the audio thread.
class ResidualEchoGate {
 public:
  static constexpr float kFloor = 0.03f;        // amplitude, about -30 dB
  static constexpr float kOverestimate = 4.0f;  // margin on the residual's estimate
  static constexpr float kTailDecay = 0.93f;    // per 10 ms: -30 dB in a second

  explicit ResidualEchoGate(std::uint32_t rate);

  // `mic`, `cancelled`: the canceller's input and output for one frame, 16-bit
  // samples in step; `signal` (what later stages made of the output) gets the
  // gain, moving from the last frame's to this one's across it.
  void process(const std::int16_t* mic, const std::int16_t* cancelled, float* signal,
               std::size_t frames);
  void reset();

 private:
  // The canceller takes its input through a DC notch before it subtracts its
  // echo estimate; the same notch here leaves the estimate alone in
  // input - output.
  const float notch_radius_;
  float notch_[2] = {0.0f, 0.0f};
  float leak_ = 1.0f;  // residual power over the echo estimate's, learnt
  float residual_ = 0.0f;
  float gain_ = 1.0f;
};

}  // namespace parlanto_audio
