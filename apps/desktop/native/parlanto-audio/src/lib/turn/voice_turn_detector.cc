#include "turn/voice_turn_detector.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace parlanto_audio {

namespace {

// Butterworth sections for 16 kHz (bilinear transform; b0 b1 b2 a1 a2):
// high-pass at 120 Hz (fourth order), high-pass at 3 kHz (second order),
// low-pass at 900 Hz (fourth order) ahead of the pitch analysis's decimation.
constexpr double kHighPass[2][5] = {
    {0.95776245858410236, -1.9155249171682047, 0.95776245858410236, -1.9144610905921864,
     0.91658874374422306},
    {0.98174712129386443, -1.9634942425877289, 0.98174712129386443, -1.9624037752498193,
     0.96458470992563838},
};
constexpr double kHiss[5] = {0.41816334576189895, -0.8363266915237979, 0.41816334576189895,
                             -0.46293802529104106, 0.2097153577565547};
constexpr double kPitchLowPass[2][5] = {
    {0.023416444647748249, 0.046832889295496498, 0.023416444647748249, -1.4217492524396778,
     0.51541503103067099},
    {0.027289719618012437, 0.054579439236024874, 0.027289719618012437, -1.656918419933086,
     0.76607729840513583},
};

// Energies are mean squares at full scale 1.0; ratios are of powers.
constexpr double kSilentEnergy = 3.1622776601683795e-08;  // -75 dBFS
constexpr double kOnsetOverFloor = 10.0;                  // 10 dB
constexpr double kOnsetOverBackground = 4.0;              // 6 dB
constexpr double kHoldOverFloor = 3.1622776601683795;     // 5 dB
constexpr double kHoldOverBackground = 2.0;               // 3 dB
constexpr double kHoldUnderTurn = 1e-4;                   // -40 dB
constexpr double kVoicedPeriodicity = 0.6;
constexpr std::size_t kOnsetFrames = 3;  // voiced frames within the onset window
constexpr std::uint32_t kRunFrames = 3;  // frames above the holding threshold
// After a pause this long a turn goes on only on a voiced frame: a word that
// follows starts on its vowel soon enough, while a burst of other voices
// below the speaker is rarely loud enough to count as voiced.
constexpr std::uint32_t kPauseFrames = 15;
// The hold after voice: longer the closer the background comes to the turn's
// level, since more of a word's fading tail is then buried in it.
constexpr std::uint32_t kHangoverMs[3] = {70, 130, 160};
constexpr double kMaskingAt[2] = {0.001,
                                  0.039810717055349734};  // background over turn level: -30, -14 dB
constexpr std::uint32_t kBackdateMs = 300;                // how far an onset reaches back
constexpr double kLearnRate = 0.02;                       // per frame: a 0.5 s time constant
constexpr double kTurnLevelDecay = 0.995;                 // per frame: 2 dB a second
constexpr float kEchoKept = 0.1f;  // the canceller removed 10 dB: the echo alone
// For 200 ms after such a frame the echo's tail goes on, so only frames of
// which the canceller removed less than 3 dB are the near end's.
constexpr std::uint32_t kEchoTailFrames = 20;
constexpr float kNearKept = 0.5f;

}  // namespace

void VoiceTurnDetector::Background::frame(double energy) {
  smoothed_ = smoothed_ < 0 ? energy : 0.5 * smoothed_ + 0.5 * energy;
  current_min_ = block_frames_ == 0 ? smoothed_ : std::min(current_min_, smoothed_);
  double least = current_min_;
  for (std::size_t i = 0; i < std::min(blocks_, kBlocks); ++i)
    least = std::min(least, block_min_[i]);
  if (++block_frames_ == kBlockFrames) {
    block_min_[blocks_ % kBlocks] = current_min_;
    ++blocks_;
    block_frames_ = 0;
  }
  floor_ = std::max(least, kSilentEnergy);
  // A background that rose while a turn was open (or while it was not
  // learnt) shows in its floor first: its mean is at least that.
  mean_ = std::max(mean_, least);
}

void VoiceTurnDetector::Background::learn(double energy) {
  ++learnt_;
  // A plain mean over the first half second, then a moving one.
  const double rate = std::max(kLearnRate, 1.0 / static_cast<double>(learnt_));
  spread_ += rate * (std::fabs(energy - mean_) - spread_);
  mean_ += rate * (energy - mean_);
}

VoiceTurnDetector::VoiceTurnDetector(const TurnOptions& options, std::uint32_t sample_rate,
                                     std::uint16_t channels)
    : channels_(channels),
      rate_(sample_rate),
      hangover_frames_{ms_to_frames(kHangoverMs[0], sample_rate),
                       ms_to_frames(kHangoverMs[1], sample_rate),
                       ms_to_frames(kHangoverMs[2], sample_rate)},
      backdate_frames_(ms_to_frames(kBackdateMs, sample_rate)),
      tracker_(ms_to_frames(options.min_silence_ms, sample_rate),
               ms_to_frames(options.max_turn_ms, sample_rate)),
      high_pass_{
          {kHighPass[0][0], kHighPass[0][1], kHighPass[0][2], kHighPass[0][3], kHighPass[0][4]},
          {kHighPass[1][0], kHighPass[1][1], kHighPass[1][2], kHighPass[1][3], kHighPass[1][4]}},
      hiss_{kHiss[0], kHiss[1], kHiss[2], kHiss[3], kHiss[4]},
      pitch_low_pass_{{kPitchLowPass[0][0], kPitchLowPass[0][1], kPitchLowPass[0][2],
                       kPitchLowPass[0][3], kPitchLowPass[0][4]},
                      {kPitchLowPass[1][0], kPitchLowPass[1][1], kPitchLowPass[1][2],
                       kPitchLowPass[1][3], kPitchLowPass[1][4]}} {}

void VoiceTurnDetector::observe(std::span<const float> samples, TurnEvents& out) {
  observe_samples(samples, out);
}

void VoiceTurnDetector::observe(std::span<const std::int16_t> samples, TurnEvents& out) {
  observe_samples(samples, out);
}

template <typename Sample>
void VoiceTurnDetector::observe_samples(std::span<const Sample> samples, TurnEvents& out) {
  struct Reset {
    float& kept;
    ~Reset() { kept = 1.0f; }
  } reset{echo_kept_};
  const std::size_t frames = samples.size() / channels_;
  const double scale = std::is_same_v<Sample, float> ? 1.0 : 1.0 / 32768.0;
  const double per_channel = scale / channels_;
  for (std::size_t f = 0; f < frames; ++f) {
    double sum = 0;
    for (std::size_t c = 0; c < channels_; ++c) {
      sum += static_cast<double>(samples[f * channels_ + c]);
    }
    double x = sum * per_channel;
    if (!std::isfinite(x)) x = 0;  // a broken sample must not poison the filters
    ++input_frames_;
    bin_sum_ += x;
    ++bin_count_;
    phase_ += kAnalysisRate;
    if (phase_ < rate_) continue;
    const double mean = bin_sum_ / bin_count_;
    bin_sum_ = 0;
    bin_count_ = 0;
    for (; phase_ >= rate_; phase_ -= rate_) analysis_sample(mean, out);
  }
}

void VoiceTurnDetector::analysis_sample(double x, TurnEvents& out) {
  const double band = high_pass_[1].step(high_pass_[0].step(x));
  band_energy_ += band * band;
  const double hiss = hiss_.step(band);
  hiss_energy_ += hiss * hiss;
  const double low = pitch_low_pass_[1].step(pitch_low_pass_[0].step(band));
  if (++pitch_phase_ == kPitchDecimation) {
    pitch_phase_ = 0;
    pitch_[kPitchLength - kPitchNew + pitch_fill_++] = static_cast<float>(low);
  }
  if (++frame_fill_ == kFrame) analyse_frame(out);
}

// The highest normalised autocorrelation of the last 40 ms below 900 Hz, at
// the lags of a voice's pitch: every second lag, then the neighbours of the
// best (the band below 900 Hz changes little from one 4 kHz lag to the next).
double VoiceTurnDetector::periodicity() const {
  // Energies of every window from running sums of squares.
  std::array<double, kPitchLength + 1> sums;
  sums[0] = 0;
  for (std::size_t i = 0; i < kPitchLength; ++i) {
    sums[i + 1] = sums[i] + static_cast<double>(pitch_[i]) * pitch_[i];
  }
  const float* x = pitch_.data() + kMaxLag;  // the window; x - lag reaches back
  const double energy = sums[kPitchLength] - sums[kMaxLag];
  if (energy <= 0) return 0;
  const auto correlation = [&](std::size_t lag) {
    const float* y = x - lag;
    float a0 = 0, a1 = 0, a2 = 0, a3 = 0;
    for (std::size_t n = 0; n < kPitchWindow; n += 4) {
      a0 += x[n] * y[n];
      a1 += x[n + 1] * y[n + 1];
      a2 += x[n + 2] * y[n + 2];
      a3 += x[n + 3] * y[n + 3];
    }
    const double product = static_cast<double>((a0 + a1) + (a2 + a3));
    const double lagged = sums[kMaxLag - lag + kPitchWindow] - sums[kMaxLag - lag];
    return product > 0 && lagged > 0 ? product / std::sqrt(energy * lagged) : 0.0;
  };
  double best = 0;
  std::size_t best_lag = kMinLag;
  for (std::size_t lag = kMinLag; lag <= kMaxLag; lag += 2) {
    const double r = correlation(lag);
    if (r > best) {
      best = r;
      best_lag = lag;
    }
  }
  if (best_lag > kMinLag) best = std::max(best, correlation(best_lag - 1));
  if (best_lag < kMaxLag) best = std::max(best, correlation(best_lag + 1));
  return std::min(best, 1.0);
}

void VoiceTurnDetector::analyse_frame(TurnEvents& out) {
  const std::uint64_t frame_end = input_frames_;
  const double energy = band_energy_ / kFrame;
  const double hiss = hiss_energy_ / kFrame;
  band_energy_ = 0;
  hiss_energy_ = 0;
  frame_fill_ = 0;
  band_.frame(energy);
  hiss_band_.frame(hiss);
  smoothed_ = 0.5 * smoothed_ + 0.5 * energy;

  const bool in_turn = tracker_.in_turn();
  const double onset_threshold =
      std::max(band_.floor() * kOnsetOverFloor, band_.upper() * kOnsetOverBackground);
  double hold = std::max(band_.floor() * kHoldOverFloor, band_.upper() * kHoldOverBackground);
  double hiss_hold =
      std::max(hiss_band_.floor() * kHoldOverFloor, hiss_band_.upper() * kHoldOverBackground);
  if (in_turn) {
    hold = std::max(hold, turn_level_ * kHoldUnderTurn);
    hiss_hold = std::max(hiss_hold, turn_level_ * kHoldUnderTurn);
  }

  if (echo_kept_ < kEchoKept) since_echo_ = 0;
  const bool echo = since_echo_ < kEchoTailFrames && echo_kept_ < kNearKept;
  if (since_echo_ < kEchoTailFrames) ++since_echo_;
  if (!echo && (energy >= hold || hiss >= hiss_hold)) {
    if (run_ == 0) run_start_ = frame_start_;
    ++run_;
  } else {
    run_ = 0;
  }
  // The pitch is looked for only where it decides: a turn in its voice's
  // run goes on without it.
  const bool carried = in_turn && paused_ < kPauseFrames && run_ >= kRunFrames;
  const bool voiced =
      !carried && !echo && energy >= onset_threshold && periodicity() >= kVoicedPeriodicity;
  onset_[onset_next_] = voiced;
  onset_next_ = (onset_next_ + 1) % kOnsetWindow;
  const auto onsets = static_cast<std::size_t>(std::count(onset_.begin(), onset_.end(), true));

  bool voice = false;
  if (in_turn) {
    voice = voiced || (paused_ < kPauseFrames && run_ >= kRunFrames);
  } else if (onsets >= kOnsetFrames) {
    voice = true;
    turn_level_ = smoothed_;
  }
  if (voice) {
    const std::uint64_t reach = frame_end - std::min(frame_end, backdate_frames_);
    const std::uint64_t from = run_ > 0 ? std::max(run_start_, reach) : frame_start_;
    turn_level_ = std::max(turn_level_ * kTurnLevelDecay, smoothed_);
    const double masking = band_.upper() / turn_level_;
    const std::uint64_t hangover = masking >= kMaskingAt[1]   ? hangover_frames_[2]
                                   : masking >= kMaskingAt[0] ? hangover_frames_[1]
                                                              : hangover_frames_[0];
    tracker_.voice(from, frame_end + hangover, out);
    paused_ = 0;
  } else if (!in_turn && !echo && energy < onset_threshold) {
    // Not the first frames of a voice whose onset is not confirmed yet.
    band_.learn(energy);
    hiss_band_.learn(hiss);
  }
  if (!voice) ++paused_;
  tracker_.advance(frame_end, out);

  // The next frame's 4 kHz samples enter at the end of the pitch history.
  std::copy(pitch_.begin() + kPitchNew, pitch_.end(), pitch_.begin());
  pitch_fill_ = 0;
  frame_start_ = frame_end;
}

void VoiceTurnDetector::finish(TurnEnd reason, TurnEvents& out) {
  tracker_.finish(input_frames_, reason, out);
}

}  // namespace parlanto_audio
