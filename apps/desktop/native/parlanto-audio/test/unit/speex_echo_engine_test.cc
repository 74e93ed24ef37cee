// speexdsp's engine and the delay estimate that places its filter, on
// synthetic speech: syllables of voiced sound and noise at an irregular
// rhythm, the far end's through a room of a given delay.

#include "echo/speex_echo_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "echo/echo_delay_estimator.h"

namespace parlanto_audio {
namespace {

constexpr std::uint32_t kRate = 16000;
constexpr std::size_t kFrame = kRate / 100;
constexpr std::size_t kMs = kRate / 1000;

// `seconds` of talk: syllables of 80-250 ms, 40-300 ms apart.
std::vector<float> talk(double seconds, double pitch, unsigned seed, float level) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<float> out(static_cast<std::size_t>(seconds * kRate), 0.0f);
  std::size_t at = 0;
  double phase = 0.0;
  while (at < out.size()) {
    const auto length = static_cast<std::size_t>((80 + 170 * unit(random)) * kMs);
    const double f0 = pitch * (0.8 + 0.4 * unit(random));
    for (std::size_t i = 0; i < length && at + i < out.size(); ++i) {
      const double shape = std::sin(M_PI * static_cast<double>(i) / static_cast<double>(length));
      phase += 2.0 * M_PI * f0 / kRate;
      double voiced = 0.0;
      for (int h = 1; h <= 8; ++h) voiced += std::sin(h * phase) / h;
      out[at + i] =
          static_cast<float>(level * shape * shape * (0.6 * voiced + 0.5 * (unit(random) - 0.5)));
    }
    at += length + static_cast<std::size_t>((40 + 260 * unit(random)) * kMs);
  }
  return out;
}

// The far end as the microphone hears it: `delay_ms` later, 9 dB down, with
// two weaker reflections.
std::vector<float> room(const std::vector<float>& far, std::size_t delay_ms) {
  std::vector<float> echo(far.size(), 0.0f);
  const std::pair<std::size_t, float> paths[] = {{0, 0.355f}, {15, 0.18f}, {35, 0.09f}};
  for (const auto& [extra, gain] : paths) {
    const std::size_t d = (delay_ms + extra) * kMs;
    for (std::size_t i = d; i < far.size(); ++i) echo[i] += gain * far[i - d];
  }
  return echo;
}

double energy(const std::vector<float>& x, double from_s, double to_s) {
  double sum = 0.0;
  for (auto i = static_cast<std::size_t>(from_s * kRate);
       i < static_cast<std::size_t>(to_s * kRate) && i < x.size(); ++i) {
    sum += double{x[i]} * x[i];
  }
  return sum;
}

double db(double ratio) { return 10.0 * std::log10(ratio); }

struct Cancelled {
  std::vector<float> out;
  std::vector<std::uint32_t> delays_ms;  // the engine's reference delay after each frame
};

Cancelled cancel(SpeexEchoEngine& engine, const std::vector<float>& mic,
                 const std::vector<float>& far) {
  Cancelled run;
  run.out.resize(mic.size() / kFrame * kFrame);
  for (std::size_t at = 0; at + kFrame <= mic.size(); at += kFrame) {
    engine.process(mic.data() + at, far.data() + at, run.out.data() + at);
    run.delays_ms.push_back(engine.reference_delay_ms());
  }
  return run;
}

std::unique_ptr<SpeexEchoEngine> make_engine() {
  EchoEngineConfig config;
  config.rate = kRate;
  auto made = SpeexEchoEngine::create(config);
  EXPECT_TRUE(made.has_value());
  return std::unique_ptr<SpeexEchoEngine>(static_cast<SpeexEchoEngine*>(made->release()));
}

TEST(EchoDelayEstimator, FindsTheDelayOfSpeechThroughARoom) {
  for (const std::size_t delay : {0u, 60u, 180u, 350u}) {
    const auto far = talk(6.0, 120.0, 7, 0.3f);
    const auto near_noise = talk(6.0, 220.0, 8, 0.01f);  // a quiet near end
    auto mic = room(far, delay);
    for (std::size_t i = 0; i < mic.size(); ++i) mic[i] += near_noise[i];
    EchoDelayEstimator estimator(kRate, SpeexEchoEngine::kMaxDelayMs);
    for (std::size_t at = 0; at + kFrame <= mic.size(); at += kFrame) {
      estimator.observe(far.data() + at, mic.data() + at, kFrame);
    }
    ASSERT_TRUE(estimator.delay_ms().has_value()) << delay << " ms";
    EXPECT_NEAR(static_cast<double>(*estimator.delay_ms()), static_cast<double>(delay), 10.0);
    estimator.reset();
    EXPECT_FALSE(estimator.delay_ms().has_value());
  }
}

TEST(EchoDelayEstimator, NamesNoDelayWithoutEchoOrWithoutAReference) {
  const auto far = talk(6.0, 120.0, 7, 0.3f);
  const auto near = talk(6.0, 220.0, 9, 0.2f);  // unrelated to the far end
  const std::vector<float> silence(far.size(), 0.0f);
  EchoDelayEstimator unrelated(kRate, SpeexEchoEngine::kMaxDelayMs);
  EchoDelayEstimator unheard(kRate, SpeexEchoEngine::kMaxDelayMs);
  for (std::size_t at = 0; at + kFrame <= far.size(); at += kFrame) {
    unrelated.observe(far.data() + at, near.data() + at, kFrame);
    unheard.observe(silence.data() + at, near.data() + at, kFrame);
  }
  EXPECT_FALSE(unrelated.delay_ms().has_value()) << *unrelated.delay_ms();
  EXPECT_FALSE(unheard.delay_ms().has_value());
}

// A room whose echo starts past the filter's first span: the estimate moves
// the span once, and the echo is cancelled after it as in a near room.
TEST(SpeexEchoEngine, MovesItsFilterToAFarEchoAndCancelsIt) {
  for (const std::size_t delay : {50u, 240u}) {
    const auto far = talk(10.0, 120.0, 11, 0.3f);
    const auto mic = room(far, delay);
    auto engine = make_engine();
    const Cancelled run = cancel(*engine, mic, far);
    const double erle = db(energy(mic, 6.0, 10.0) / energy(run.out, 6.0, 10.0));
    std::printf("[ echo %zu ms ] reference delayed %u ms, ERLE %.1f dB\n", delay,
                run.delays_ms.back(), erle);
    EXPECT_GE(erle, 20.0) << delay << " ms";
    // The direct path lies inside the span, after its lead.
    EXPECT_GE(delay, run.delays_ms.back() + SpeexEchoEngine::kMinLeadMs);
    EXPECT_LE(delay, run.delays_ms.back() + SpeexEchoEngine::kMaxLeadMs);
    std::size_t moves = 0;
    for (std::size_t i = 1; i < run.delays_ms.size(); ++i) {
      moves += run.delays_ms[i] != run.delays_ms[i - 1] ? 1u : 0u;
    }
    EXPECT_LE(moves, 1u) << delay << " ms";
  }
}

TEST(SpeexEchoEngine, WithoutEchoTheNearVoicePassesAndSilenceStaysSilent) {
  const auto far = talk(8.0, 120.0, 12, 0.3f);
  const auto near = talk(8.0, 220.0, 13, 0.2f);
  auto engine = make_engine();
  // The far end plays, but the microphone does not hear it (headphones).
  const Cancelled run = cancel(*engine, near, far);
  EXPECT_NEAR(db(energy(run.out, 1.0, 8.0) / energy(near, 1.0, 8.0)), 0.0, 1.0);
  // No far end at all.
  const std::vector<float> silence(near.size(), 0.0f);
  auto quiet = make_engine();
  const Cancelled alone = cancel(*quiet, near, silence);
  EXPECT_NEAR(db(energy(alone.out, 1.0, 8.0) / energy(near, 1.0, 8.0)), 0.0, 1.0);
  const Cancelled nothing = cancel(*quiet, silence, silence);
  EXPECT_EQ(energy(nothing.out, 0.0, 8.0), 0.0);
}

// After restart() (a new reference stream, another delay) the engine starts
// from the first span again and cancels the new room.
TEST(SpeexEchoEngine, ARestartForgetsTheOldRoom) {
  const auto far = talk(10.0, 120.0, 14, 0.3f);
  auto engine = make_engine();
  const Cancelled far_room = cancel(*engine, room(far, 240), far);
  ASSERT_GT(far_room.delays_ms.back(), 0u);
  engine->restart();
  EXPECT_EQ(engine->reference_delay_ms(), 0u);
  const auto mic = room(far, 40);
  const Cancelled near_room = cancel(*engine, mic, far);
  EXPECT_EQ(near_room.delays_ms.back(), 0u);
  EXPECT_GE(db(energy(mic, 6.0, 10.0) / energy(near_room.out, 6.0, 10.0)), 20.0);
}

}  // namespace
}  // namespace parlanto_audio
