#include "turn/turn_detector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "turn/level_turn_detector.h"
#include "turn/voice_turn_detector.h"

namespace parlanto_audio {
namespace {

struct Recorded final : TurnEvents {
  std::vector<TurnEvent> events;
  void on_turn_event(const TurnEvent& event) override { events.push_back(event); }
  std::vector<TurnEvent> ended() const {
    std::vector<TurnEvent> out;
    for (const TurnEvent& e : events) {
      if (e.kind == TurnEvent::Kind::kEnded) out.push_back(e);
    }
    return out;
  }
  // Every start is followed by its end before the next start.
  bool paired() const {
    bool open = false;
    for (const TurnEvent& e : events) {
      if ((e.kind == TurnEvent::Kind::kStarted) == open) return false;
      open = !open;
    }
    return true;
  }
};

constexpr std::uint32_t kRate = 16000;
constexpr double kPi = std::numbers::pi;

double db(double value) { return std::pow(10.0, value / 20.0); }

// A synthetic voice: a 140 Hz glottal-like harmonic series with a slow
// vibrato, in syllables of 200 ms, at `rms` (full scale 1.0).
std::vector<float> voice(double seconds, double rms, std::uint32_t rate = kRate) {
  std::vector<float> out(static_cast<std::size_t>(seconds * rate));
  double phase = 0;
  double sum = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i) / rate;
    phase += 2 * kPi * (140 + 8 * std::sin(2 * kPi * 3 * t)) / rate;
    double v = 0;
    for (int k = 1; k <= 25; ++k) v += std::sin(k * phase) / k;
    const double syllable = 0.55 - 0.45 * std::cos(2 * kPi * 5 * t);
    out[i] = static_cast<float>(v * syllable);
    sum += out[i] * out[i];
  }
  const double gain = rms / std::sqrt(sum / static_cast<double>(out.size()));
  for (float& v : out) v = static_cast<float>(v * gain);
  return out;
}

std::vector<float> noise(double seconds, double rms, std::uint32_t seed = 7) {
  std::vector<float> out(static_cast<std::size_t>(seconds * kRate));
  std::uint32_t state = seed;
  for (float& v : out) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<float>((static_cast<double>(state >> 8) / (1 << 24) * 2 - 1) * rms *
                           std::sqrt(3.0));
  }
  return out;
}

std::vector<float> hum(double seconds, double rms) {
  std::vector<float> out(static_cast<std::size_t>(seconds * kRate));
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    out[i] = static_cast<float>(rms * std::sqrt(2.0) / std::sqrt(1.34) *
                                (std::sin(2 * kPi * 50 * t) + 0.3 * std::sin(2 * kPi * 100 * t) +
                                 0.5 * std::sin(2 * kPi * 150 * t)));
  }
  return out;
}

std::vector<float> silence(double seconds) {
  return std::vector<float>(static_cast<std::size_t>(seconds * kRate), 0.0f);
}

std::vector<float> join(std::initializer_list<std::vector<float>> parts) {
  std::vector<float> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<float> mix(std::vector<float> a, const std::vector<float>& b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) a[i] += b[i];
  return a;
}

Recorded run(const std::vector<float>& samples, TurnOptions options = {},
             std::size_t buffer = kRate / 100, std::uint32_t rate = kRate,
             std::uint16_t channels = 1) {
  auto detector = make_turn_detector(options, rate, channels);
  Recorded out;
  for (std::size_t at = 0; at < samples.size(); at += buffer * channels) {
    const std::size_t n = std::min(buffer * channels, samples.size() - at);
    detector->observe(std::span(samples.data() + at, n), out);
  }
  return out;
}

double ms_of(std::uint64_t frames, std::uint32_t rate = kRate) {
  return static_cast<double>(frames) * 1000.0 / rate;
}

// --- The bookkeeping every detector shares ---------------------------------------------------

TEST(TurnTracker, OneStartThenOneEndPerTurnAtTheSilencesEnd) {
  TurnTracker tracker(100, 0);
  Recorded out;
  tracker.advance(500, out);
  EXPECT_TRUE(out.events.empty()) << "silence alone is no turn";
  tracker.voice(1000, 1200, out);
  tracker.voice(1200, 1400, out);
  tracker.advance(1499, out);
  ASSERT_EQ(out.events.size(), 1u);
  tracker.advance(1500, out);
  ASSERT_EQ(out.events.size(), 2u);
  EXPECT_EQ(out.events[0].kind, TurnEvent::Kind::kStarted);
  EXPECT_EQ(out.events[0].frame, 1000u);
  const TurnEvent& ended = out.events[1];
  EXPECT_EQ(ended.kind, TurnEvent::Kind::kEnded);
  EXPECT_EQ(ended.frame, 1500u);
  EXPECT_EQ(ended.start_frame, 1000u);
  EXPECT_EQ(ended.end_frame, 1400u);
  EXPECT_EQ(ended.reason, TurnEnd::kSilence);
  tracker.advance(5000, out);
  EXPECT_EQ(out.events.size(), 2u) << "once per turn";
}

TEST(TurnTracker, LongestTurnCutsAndTheVoiceGoingOnStartsTheNext) {
  TurnTracker tracker(100, 1000);
  Recorded out;
  for (std::uint64_t at = 0; at < 2500; at += 50) {
    tracker.voice(at, at + 50, out);
    tracker.advance(at + 50, out);
  }
  tracker.advance(2700, out);
  const auto ended = out.ended();
  ASSERT_EQ(ended.size(), 3u);
  EXPECT_EQ(ended[0].reason, TurnEnd::kMaxTurn);
  EXPECT_EQ(ended[0].frame, 1000u);
  EXPECT_EQ(ended[1].start_frame, 1000u);
  EXPECT_EQ(ended[1].reason, TurnEnd::kMaxTurn);
  EXPECT_EQ(ended[2].reason, TurnEnd::kSilence);
  EXPECT_EQ(ended[2].end_frame, 2500u);
  EXPECT_TRUE(out.paired());
}

TEST(TurnTracker, FinishEndsAnOpenTurnOnlyAndAHangoverNeverEndsPastTheCut) {
  TurnTracker tracker(100, 0);
  Recorded out;
  tracker.finish(10, TurnEnd::kStopped, out);
  EXPECT_TRUE(out.events.empty());
  tracker.voice(0, 300, out);  // voice held past the last frame seen
  tracker.finish(200, TurnEnd::kStopped, out);
  const auto ended = out.ended();
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].reason, TurnEnd::kStopped);
  EXPECT_EQ(ended[0].frame, 200u);
  EXPECT_EQ(ended[0].end_frame, 200u);
}

// --- The level rule -------------------------------------------------------------------------

TEST(LevelTurnDetector, KeepsTheGatesDecisionsAndTakesAnotherSilence) {
  // 300 ms at 0.1 (voice), 1 s below the threshold, then the same again.
  const auto burst = std::vector<float>(kRate * 3 / 10, 0.1f);
  const auto quiet = std::vector<float>(kRate, 0.01f);
  const auto samples = join({quiet, burst, quiet, burst, quiet});
  for (const std::uint32_t ms : {420u, 800u}) {
    TurnOptions options;
    options.detector = TurnOptions::Detector::kLevel;
    options.min_silence_ms = ms;
    const Recorded out = run(samples, options);
    const auto ended = out.ended();
    ASSERT_EQ(ended.size(), 2u) << ms;
    EXPECT_TRUE(out.paired());
    EXPECT_EQ(ended[0].start_frame, kRate);
    EXPECT_EQ(ended[0].end_frame, kRate * 13 / 10);
    EXPECT_EQ(ended[0].frame, kRate * 13 / 10 + kRate * ms / 1000);
    // What the layer's rule gave before detectors had a choice.
    SampleClockSpeechDetector legacy(kRate);
    std::uint64_t frame = 0;
    std::vector<std::uint64_t> legacy_ends;
    for (std::size_t at = 0; at < samples.size(); at += 160) {
      float sum = 0;
      for (std::size_t i = at; i < at + 160; ++i) sum += samples[i] * samples[i];
      if (auto end = legacy.observe(sum, 160, frame += 160)) legacy_ends.push_back(*end);
    }
    if (ms == 420) {
      ASSERT_EQ(legacy_ends.size(), 2u);
      EXPECT_EQ(legacy_ends[0], ended[0].frame);
      EXPECT_EQ(legacy_ends[1], ended[1].frame);
    }
  }
}

// --- The voice detector ---------------------------------------------------------------------

TEST(VoiceTurnDetector, AVoiceEndsItsTurnAtAnyLevelAbout420To700MsAfterIt) {
  for (const double level : {-16.0, -40.0, -55.0}) {
    const auto samples = join({silence(1), voice(2, db(level)), silence(1.5)});
    const Recorded out = run(samples);
    const auto ended = out.ended();
    ASSERT_EQ(ended.size(), 1u) << level << " dBFS";
    EXPECT_TRUE(out.paired());
    EXPECT_NEAR(ms_of(ended[0].start_frame), 1000, 60) << level;
    const double delay = ms_of(ended[0].frame) - 3000;
    EXPECT_GE(delay, 420) << level;
    EXPECT_LE(delay, 700) << level;
    EXPECT_EQ(ended[0].frame - ended[0].end_frame, kRate * 420 / 1000);
  }
}

TEST(VoiceTurnDetector, SteadyNoiseAndHumLouderThanTheLevelRuleStartNoTurn) {
  for (const auto& background : {noise(6, db(-20)), hum(6, db(-20)), noise(6, db(-45))}) {
    EXPECT_TRUE(run(background).events.empty());
    // A steady sound that sets in at once, hum above all, may pass for a
    // voice's onset: the floor learns it within about 3 s and the turn ends.
    const auto sudden = run(join({silence(1), background})).ended();
    EXPECT_LE(sudden.size(), 1u);
    for (const TurnEvent& e : sudden) EXPECT_LT(ms_of(e.frame), 5000);
  }
  TurnOptions level;
  level.detector = TurnOptions::Detector::kLevel;
  EXPECT_FALSE(run(join({noise(1, db(-20)), silence(1)}), level).events.empty())
      << "the level rule takes that noise for voice";
}

TEST(VoiceTurnDetector, AVoiceInNoiseOrHumEndsOnceAndAShortPauseDoesNotEndIt) {
  const auto talk =
      join({silence(2), voice(1.5, db(-16)), silence(0.3), voice(1.2, db(-16)), silence(2)});
  for (const auto& background : {noise(7, db(-26)), hum(7, db(-29)), silence(7)}) {
    const Recorded out = run(mix(talk, background));
    const auto ended = out.ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_TRUE(out.paired());
    const double delay = ms_of(ended[0].frame) - 5000;
    EXPECT_GE(delay, 380);
    EXPECT_LE(delay, 700);
  }
}

TEST(VoiceTurnDetector, DecidesTheSameWhateverTheBufferingFormatAndRate) {
  const auto talk =
      mix(join({silence(1.5), voice(1, db(-20)), silence(1), voice(0.8, db(-25)), silence(1.5)}),
          noise(6, db(-40)));
  const Recorded reference = run(talk);
  ASSERT_EQ(reference.ended().size(), 2u);
  for (const std::size_t buffer : {1u, 37u, 441u, 4096u}) {
    const Recorded other = run(talk, {}, buffer);
    ASSERT_EQ(other.events.size(), reference.events.size()) << buffer;
    for (std::size_t i = 0; i < other.events.size(); ++i) {
      EXPECT_EQ(other.events[i].frame, reference.events[i].frame) << buffer;
    }
  }
  // The same audio as 16-bit samples.
  std::vector<std::int16_t> counts(talk.size());
  for (std::size_t i = 0; i < talk.size(); ++i) {
    counts[i] = static_cast<std::int16_t>(std::lround(talk[i] * 32767.0f));
  }
  auto detector = make_turn_detector({}, kRate, 1);
  Recorded from_counts;
  detector->observe(std::span<const std::int16_t>(counts), from_counts);
  ASSERT_EQ(from_counts.events.size(), reference.events.size());
  // At 48 kHz in stereo (each sample thrice, both sides): the same turns
  // within a frame of analysis.
  std::vector<float> stereo;
  for (const float v : talk) {
    for (int i = 0; i < 6; ++i) stereo.push_back(v);
  }
  const Recorded wide = run(stereo, {}, 480, 48000, 2);
  ASSERT_EQ(wide.events.size(), reference.events.size());
  for (std::size_t i = 0; i < wide.events.size(); ++i) {
    EXPECT_NEAR(ms_of(wide.events[i].frame, 48000), ms_of(reference.events[i].frame), 10.5);
  }
}

TEST(VoiceTurnDetector, OptionsMoveTheEndAndCutLongTurns) {
  const auto talk = join({silence(1), voice(5, db(-20)), silence(2)});
  TurnOptions patient;
  patient.min_silence_ms = 800;
  const auto slow = run(talk, patient).ended();
  ASSERT_EQ(slow.size(), 1u);
  EXPECT_GE(ms_of(slow[0].frame) - 6000, 800);
  EXPECT_LE(ms_of(slow[0].frame) - 6000, 1000);
  TurnOptions capped;
  capped.max_turn_ms = 2000;
  const Recorded cut = run(talk, capped);
  const auto ended = cut.ended();
  ASSERT_EQ(ended.size(), 3u);
  EXPECT_EQ(ended[0].reason, TurnEnd::kMaxTurn);
  EXPECT_EQ(ended[0].frame - ended[0].start_frame, 2u * kRate);
  EXPECT_EQ(ended[2].reason, TurnEnd::kSilence);
  EXPECT_TRUE(cut.paired());
}

TEST(VoiceTurnDetector, WhatTheEchoCancellerRemovedIsNoOnesVoice) {
  const auto talk = join({silence(1), voice(2, db(-30)), silence(1)});
  for (const float kept : {0.01f, 0.5f}) {
    auto detector = make_turn_detector({}, kRate, 1);
    Recorded out;
    for (std::size_t at = 0; at < talk.size(); at += 160) {
      detector->echo_kept(kept);
      detector->observe(std::span(talk.data() + at, 160), out);
    }
    EXPECT_EQ(out.ended().size(), kept < 0.1f ? 0u : 1u) << kept;
  }
}

TEST(VoiceTurnDetector, BrokenSamplesAndFinishMidTurn) {
  auto talk = join({silence(1), voice(2, db(-20))});
  for (std::size_t i = kRate / 2; i < kRate / 2 + 100; ++i) {
    talk[i] = std::numeric_limits<float>::quiet_NaN();
  }
  talk[kRate / 2 + 200] = std::numeric_limits<float>::infinity();
  auto detector = make_turn_detector({}, kRate, 1);
  Recorded out;
  detector->observe(std::span<const float>(talk), out);
  ASSERT_EQ(out.events.size(), 1u) << "the voice started a turn despite the broken samples";
  detector->finish(TurnEnd::kInterrupted, out);
  detector->finish(TurnEnd::kStopped, out);
  const auto ended = out.ended();
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].reason, TurnEnd::kInterrupted);
  EXPECT_EQ(ended[0].frame, talk.size());
  EXPECT_EQ(detector->frames(), talk.size());
  // Empty buffers change nothing.
  detector->observe(std::span<const float>(), out);
  EXPECT_EQ(detector->frames(), talk.size());
}

}  // namespace
}  // namespace parlanto_audio
