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

// A room of `delay_ms`, which may be negative: the reference reaches the
// stage that much after the microphone hears it.
struct Signals {
  std::vector<float> reference;
  std::vector<float> mic;
};
Signals through(const std::vector<float>& far, int delay_ms) {
  if (delay_ms >= 0) return {far, room(far, static_cast<std::size_t>(delay_ms))};
  std::vector<float> late(far.size(), 0.0f);
  const auto d = static_cast<std::size_t>(-delay_ms) * kMs;
  for (std::size_t i = d; i < far.size(); ++i) late[i] = far[i - d];
  return {late, room(far, 0)};
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
  std::vector<std::int32_t> starts_ms;  // where the filter's span began after each frame
};

Cancelled cancel(SpeexEchoEngine& engine, const std::vector<float>& mic,
                 const std::vector<float>& far) {
  Cancelled run;
  run.out.resize(mic.size() / kFrame * kFrame);
  for (std::size_t at = 0; at + kFrame <= mic.size(); at += kFrame) {
    engine.process(mic.data() + at, far.data() + at, run.out.data() + at);
    run.starts_ms.push_back(engine.filter_start_ms());
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
  for (const int delay : {-40, 0, 60, 180, 350}) {
    const auto far = talk(6.0, 120.0, 7, 0.3f);
    const auto near_noise = talk(6.0, 220.0, 8, 0.01f);  // a quiet near end
    auto [reference, mic] = through(far, delay);
    for (std::size_t i = 0; i < mic.size(); ++i) mic[i] += near_noise[i];
    EchoDelayEstimator estimator(kRate, SpeexEchoEngine::kMaxAheadMs, SpeexEchoEngine::kMaxDelayMs);
    for (std::size_t at = 0; at + kFrame <= mic.size(); at += kFrame) {
      estimator.observe(reference.data() + at, mic.data() + at, kFrame);
    }
    ASSERT_TRUE(estimator.delay_ms().has_value()) << delay << " ms";
    EXPECT_NEAR(*estimator.delay_ms(), delay, 10) << delay << " ms";
    estimator.reset();
    EXPECT_FALSE(estimator.delay_ms().has_value());
  }
}

TEST(EchoDelayEstimator, NamesNoDelayWithoutEchoOrWithoutAReference) {
  const auto far = talk(6.0, 120.0, 7, 0.3f);
  const auto near = talk(6.0, 220.0, 9, 0.2f);  // unrelated to the far end
  const std::vector<float> silence(far.size(), 0.0f);
  EchoDelayEstimator unrelated(kRate, SpeexEchoEngine::kMaxAheadMs, SpeexEchoEngine::kMaxDelayMs);
  EchoDelayEstimator unheard(kRate, SpeexEchoEngine::kMaxAheadMs, SpeexEchoEngine::kMaxDelayMs);
  for (std::size_t at = 0; at + kFrame <= far.size(); at += kFrame) {
    unrelated.observe(far.data() + at, near.data() + at, kFrame);
    unheard.observe(silence.data() + at, near.data() + at, kFrame);
  }
  EXPECT_FALSE(unrelated.delay_ms().has_value()) << *unrelated.delay_ms();
  EXPECT_FALSE(unheard.delay_ms().has_value());
}

// A room whose echo starts past the filter's first span, and a reference that
// comes later than the microphone hears it: the estimate moves the span once,
// and the echo is cancelled after it as in a near room. The output is the
// microphone's kMaxAheadMs later.
TEST(SpeexEchoEngine, MovesItsFilterToAFarEchoAndCancelsIt) {
  for (const int delay : {-40, 50, 240}) {
    const auto far = talk(10.0, 120.0, 11, 0.3f);
    const auto [reference, mic] = through(far, delay);
    auto engine = make_engine();
    const Cancelled run = cancel(*engine, mic, reference);
    const double ahead = SpeexEchoEngine::kMaxAheadMs / 1000.0;
    const double erle = db(energy(mic, 6.0, 10.0 - ahead) / energy(run.out, 6.0 + ahead, 10.0));
    std::printf("[ echo %d ms ] the filter's span starts at %d ms, ERLE %.1f dB\n", delay,
                run.starts_ms.back(), erle);
    EXPECT_GE(erle, 20.0) << delay << " ms";
    // The direct path lies inside the span, after its lead.
    EXPECT_GE(delay, run.starts_ms.back() + static_cast<int>(SpeexEchoEngine::kMinLeadMs));
    EXPECT_LE(delay, run.starts_ms.back() + static_cast<int>(SpeexEchoEngine::kMaxLeadMs));
    std::size_t moves = 0;
    for (std::size_t i = 1; i < run.starts_ms.size(); ++i) {
      moves += run.starts_ms[i] != run.starts_ms[i - 1] ? 1u : 0u;
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
  auto idle = make_engine();
  const Cancelled nothing = cancel(*idle, silence, silence);
  EXPECT_EQ(energy(nothing.out, 0.0, 8.0), 0.0);
}

// After restart() (a new reference stream, another delay) the engine starts
// from the first span again and cancels the new room.
TEST(SpeexEchoEngine, ARestartForgetsTheOldRoom) {
  const auto far = talk(10.0, 120.0, 14, 0.3f);
  auto engine = make_engine();
  const Cancelled far_room = cancel(*engine, room(far, 240), far);
  ASSERT_GT(far_room.starts_ms.back(), 0);
  engine->restart();
  EXPECT_EQ(engine->filter_start_ms(), 0);
  const auto mic = room(far, 40);
  const Cancelled near_room = cancel(*engine, mic, far);
  EXPECT_EQ(near_room.starts_ms.back(), 0);
  const double ahead = SpeexEchoEngine::kMaxAheadMs / 1000.0;
  EXPECT_GE(db(energy(mic, 6.0, 10.0 - ahead) / energy(near_room.out, 6.0 + ahead, 10.0)), 20.0);
}

}  // namespace
}  // namespace parlanto_audio
