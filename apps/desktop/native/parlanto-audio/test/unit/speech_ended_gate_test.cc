#include "speech_ended_gate.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "fake_engine_test.h"

namespace parlanto_audio {
namespace {

using namespace std::chrono_literals;

std::chrono::nanoseconds fake_time{0};
int clock_reads = 0;
std::chrono::nanoseconds fake_now() {
  ++clock_reads;
  return fake_time;
}

class GateTest : public FakeEngineTest {
 protected:
  void SetUp() override {
    fake_time = 1000s;  // anything but zero: the clock's origin is arbitrary
    clock_reads = 0;
    gate =
        std::make_unique<SpeechEndedGate>(sink(JsCallbackSink::Converter::kSpeechEnded), fake_now);
  }
  void TearDown() override {
    gate.reset();
    FakeEngineTest::TearDown();
  }

  void at(std::chrono::nanoseconds since_start, const std::vector<float>& samples) {
    fake_time = 1000s + since_start;
    gate->observe_f32(samples);
  }
  static std::size_t notifications() { return fake_napi::queued().size(); }

  static inline const std::vector<float> voice = std::vector<float>(480, 0.25f);
  static inline const std::vector<float> silence = std::vector<float>(480, 0.001f);
  std::unique_ptr<SpeechEndedGate> gate;
};

TEST_F(GateTest, SixteenBitThresholdLiesBetween589And590Counts) {
  for (const std::int16_t count : {std::int16_t{590}, std::int16_t{-590}}) {
    SpeechEndedGate fresh(nullptr, fake_now);
    fresh.observe_i16(std::vector<std::int16_t>(480, count));
    EXPECT_TRUE(fresh.state().speaking) << count;
  }
  for (const std::int16_t count : {std::int16_t{589}, std::int16_t{-589}}) {
    SpeechEndedGate fresh(nullptr, fake_now);
    fresh.observe_i16(std::vector<std::int16_t>(480, count));
    EXPECT_FALSE(fresh.state().speaking) << count;
  }
}

TEST_F(GateTest, FloatLevelAtExactlyTheThresholdIsVoice) {
  const float below = std::nextafter(SpeechEndedGate::kThreshold, 0.0f);
  SpeechEndedGate at_threshold(nullptr, fake_now);
  at_threshold.observe_f32(std::vector<float>{SpeechEndedGate::kThreshold});
  EXPECT_TRUE(at_threshold.state().speaking);
  SpeechEndedGate just_below(nullptr, fake_now);
  just_below.observe_f32(std::vector<float>{below});
  EXPECT_FALSE(just_below.state().speaking);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(SpeechEndedGate::kThreshold), 0x3C9374BCu);
}

TEST_F(GateTest, LevelIsTheRmsOverAllInterleavedChannels) {
  const float loud = SpeechEndedGate::kThreshold * std::sqrt(2.0f);
  SpeechEndedGate halved(nullptr, fake_now);
  halved.observe_f32(std::vector<float>{loud * 0.99f, 0.0f, loud * 0.99f, 0.0f});
  EXPECT_FALSE(halved.state().speaking);
  SpeechEndedGate enough(nullptr, fake_now);
  enough.observe_f32(std::vector<float>{loud * 1.01f, 0.0f, -loud * 1.01f, 0.0f});
  EXPECT_TRUE(enough.state().speaking);
}

TEST_F(GateTest, NonFiniteSamples) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  at(0ms, {inf});
  EXPECT_TRUE(gate->state().speaking);
  at(420ms, {nan});  // NaN is silence: it ends the utterance
  EXPECT_EQ(notifications(), 1u);
}

TEST_F(GateTest, FiresOnceAtTheFirstSilentBufferAtLeast420msAfterVoice) {
  at(0ms, silence);
  at(5s, silence);
  EXPECT_EQ(notifications(), 0u);  // silence from the start never ends anything

  at(10s, voice);
  at(10s + 419'999'999ns, silence);
  EXPECT_EQ(notifications(), 0u);
  at(10s + 420ms, silence);
  EXPECT_EQ(notifications(), 1u);
  at(11s, silence);
  at(20s, silence);
  EXPECT_EQ(notifications(), 1u);
  EXPECT_FALSE(gate->state().speaking);
}

TEST_F(GateTest, VoiceWithinTheWindowRestartsIt) {
  at(0ms, voice);
  at(300ms, silence);
  at(300ms, voice);
  at(719ms, silence);
  EXPECT_EQ(notifications(), 0u);
  at(720ms, silence);
  EXPECT_EQ(notifications(), 1u);
  at(2s, voice);
  at(3s, silence);
  EXPECT_EQ(notifications(), 2u);  // a second utterance, a second notification
}

TEST_F(GateTest, EmptyBuffersChangeNothingAndReadNoClock) {
  at(0ms, voice);
  const int reads = clock_reads;
  at(10s, {});
  gate->observe_i16({});
  EXPECT_EQ(clock_reads, reads);
  EXPECT_EQ(notifications(), 0u);
  EXPECT_TRUE(gate->state().speaking);
}

TEST_F(GateTest, ClockBehindTheLastVoiceCountsAsNoElapsedTime) {
  at(1s, voice);
  at(0s, silence);
  EXPECT_EQ(notifications(), 0u);
  EXPECT_TRUE(gate->state().speaking);
}

}  // namespace
}  // namespace parlanto_audio
