#pragma once

// The capture layer's default turn detector: it tells a voice from the sound
// around it by what it is, not by a fixed level, so turns end the same way at
// any level and in steady noise, hum or distant voices.
//
// Analysis runs on a 16 kHz mono copy of the input, in 10 ms frames, in two
// bands: the speech band above a 120 Hz high-pass (fourth order, against
// mains hum and rumble), and its part above 3 kHz, where the hiss of a
// fricative stands out from low-pitched noise. For each band:
// - a floor from minimum statistics over the last 3 s, and the background's
//   mean and spread, learnt while no turn is open, say what the background
//   alone reaches;
// - a turn starts only on voiced frames: speech-band energy well above that
//   background and periodic at a voice's pitch (normalised autocorrelation
//   of the band below 900 Hz, 60 to 400 Hz), several within 80 ms;
// - inside a turn, sound above a lower threshold in either band counts as
//   voice in runs of at least 30 ms, and only within 36 dB of the turn's own
//   level, so single loud frames of background do not hold a turn open
//   (after 150 ms without voice, only a voiced frame goes on with it);
// - each voiced frame holds the voice for a further 80 to 160 ms, the longer
//   the closer the background comes to the turn's level: the tail of a word
//   fades below the background before it ends;
// - with echo cancellation, frames of which the canceller removed more than
//   10 dB were the far end's echo, and count as no one's voice; so do, for
//   200 ms after one, frames of which it removed more than 3 dB.
//
// Everything is computed with additions, multiplications, divisions and
// square roots in a fixed order, with constant coefficients, so the decisions
// are the same on every platform. No allocation after construction.

#include <array>
#include <cstdint>

#include "turn/turn_detector.h"

namespace parlanto_audio {

class VoiceTurnDetector final : public TurnDetector {
 public:
  static constexpr std::uint32_t kAnalysisRate = 16000;
  static constexpr std::uint32_t kFrame = 160;  // 10 ms at the analysis rate

  VoiceTurnDetector(const TurnOptions& options, std::uint32_t sample_rate, std::uint16_t channels);

  void observe(std::span<const float> samples, TurnEvents& out) override;
  void observe(std::span<const std::int16_t> samples, TurnEvents& out) override;
  void finish(TurnEnd reason, TurnEvents& out) override;
  void echo_kept(float kept) override { echo_kept_ = kept; }
  std::uint64_t frames() const override { return input_frames_; }

 private:
  struct Biquad {
    double b0, b1, b2, a1, a2;
    double z1 = 0, z2 = 0;
    double step(double x) {
      const double y = b0 * x + z1;
      z1 = b1 * x - a1 * y + z2;
      z2 = b2 * x - a2 * y;
      return y;
    }
  };

  // What one band's background reaches: its floor (minimum statistics of the
  // smoothed energy over the last 3 s) and, learnt outside turns, its mean
  // and mean distance from the mean.
  class Background {
   public:
    void frame(double energy);  // every frame: the floor
    void learn(double energy);  // frames heard while no turn is open
    double floor() const { return floor_; }
    double upper() const { return mean_ + 2.0 * spread_; }

   private:
    static constexpr std::size_t kBlocks = 12;
    static constexpr std::size_t kBlockFrames = 25;
    double smoothed_ = -1;  // < 0 until the first frame
    std::array<double, kBlocks> block_min_{};
    std::size_t blocks_ = 0;
    std::size_t block_frames_ = 0;
    double current_min_ = 0;
    double floor_ = 0;
    double mean_ = 0;
    double spread_ = 0;
    std::uint64_t learnt_ = 0;
  };

  template <typename Sample>
  void observe_samples(std::span<const Sample> samples, TurnEvents& out);
  void analysis_sample(double x, TurnEvents& out);
  void analyse_frame(TurnEvents& out);
  double periodicity() const;

  static constexpr std::size_t kPitchDecimation = 4;  // to 4 kHz
  static constexpr std::size_t kPitchNew = kFrame / kPitchDecimation;
  static constexpr std::size_t kPitchWindow = 160;  // 40 ms at 4 kHz
  static constexpr std::size_t kMinLag = 10;        // 400 Hz at 4 kHz
  static constexpr std::size_t kMaxLag = 66;        // 60 Hz
  static constexpr std::size_t kPitchLength = kPitchWindow + kMaxLag;
  static constexpr std::size_t kOnsetWindow = 8;

  const std::uint16_t channels_;
  const std::uint32_t rate_;
  const std::uint64_t hangover_frames_[3];
  const std::uint64_t backdate_frames_;
  TurnTracker tracker_;
  std::uint64_t input_frames_ = 0;

  // To 16 kHz: the input frames falling into each analysis sample's period,
  // averaged (rates below 16 kHz repeat samples).
  std::uint32_t phase_ = 0;
  double bin_sum_ = 0;
  std::uint32_t bin_count_ = 0;

  Biquad high_pass_[2];
  Biquad hiss_;
  Biquad pitch_low_pass_[2];
  std::size_t pitch_phase_ = 0;

  double band_energy_ = 0;
  double hiss_energy_ = 0;
  std::uint32_t frame_fill_ = 0;
  std::uint64_t frame_start_ = 0;  // input frame where the analysis frame began
  std::array<float, kPitchLength> pitch_{};
  std::size_t pitch_fill_ = 0;

  Background band_;
  Background hiss_band_;
  double smoothed_ = 0;
  double turn_level_ = 0;
  std::array<bool, kOnsetWindow> onset_{};
  std::size_t onset_next_ = 0;
  std::uint32_t run_ = 0;  // consecutive frames above the holding threshold
  std::uint64_t run_start_ = 0;
  std::uint32_t paused_ = 0;         // frames since the last one counted as voice
  float echo_kept_ = 1.0f;           // for the buffer being observed
  std::uint32_t since_echo_ = 1000;  // frames since one that was the echo alone
};

}  // namespace parlanto_audio
