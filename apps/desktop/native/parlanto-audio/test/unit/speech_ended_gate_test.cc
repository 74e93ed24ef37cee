#include "turn/speech_ended_gate.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "fake_engine_test.h"

namespace parlanto_audio {
namespace {

using namespace std::chrono_literals;

// A mono 48 kHz stream: 48 samples are a millisecond of stream time.
constexpr std::uint32_t kRate = 48000;
std::vector<float> samples_of(std::chrono::microseconds length, float value,
                              std::uint16_t channels = 1) {
  return std::vector<float>(static_cast<std::size_t>(length.count()) * kRate / 1'000'000 * channels,
                            value);
}

class GateTest : public FakeEngineTest {
 protected:
  void SetUp() override {
    gate =
        std::make_unique<SpeechEndedGate>(sink(JsCallbackSink::Converter::kSpeechEnded), kRate, 1);
  }
  void TearDown() override {
    gate.reset();
    FakeEngineTest::TearDown();
  }

  void voice_for(std::chrono::microseconds length) { gate->observe_f32(samples_of(length, 0.25f)); }
  void silence_for(std::chrono::microseconds length) {
    gate->observe_f32(samples_of(length, 0.001f));
  }
  static std::size_t notifications() { return fake_napi::queued().size(); }

  std::unique_ptr<SpeechEndedGate> gate;
};

TEST_F(GateTest, SixteenBitThresholdLiesBetween589And590Counts) {
  for (const std::int16_t count : {std::int16_t{590}, std::int16_t{-590}}) {
    SpeechEndedGate fresh(nullptr, kRate, 1);
    fresh.observe_i16(std::vector<std::int16_t>(480, count));
    EXPECT_TRUE(fresh.state().speaking) << count;
  }
  for (const std::int16_t count : {std::int16_t{589}, std::int16_t{-589}}) {
    SpeechEndedGate fresh(nullptr, kRate, 1);
    fresh.observe_i16(std::vector<std::int16_t>(480, count));
    EXPECT_FALSE(fresh.state().speaking) << count;
  }
}

TEST_F(GateTest, FloatLevelAtExactlyTheThresholdIsVoice) {
  const float below = std::nextafter(SpeechEndedGate::kThreshold, 0.0f);
  SpeechEndedGate at_threshold(nullptr, kRate, 1);
  at_threshold.observe_f32(std::vector<float>{SpeechEndedGate::kThreshold});
  EXPECT_TRUE(at_threshold.state().speaking);
  SpeechEndedGate just_below(nullptr, kRate, 1);
  just_below.observe_f32(std::vector<float>{below});
  EXPECT_FALSE(just_below.state().speaking);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(SpeechEndedGate::kThreshold), 0x3C9374BCu);
}

TEST_F(GateTest, LevelIsTheRmsOverAllInterleavedChannels) {
  const float loud = SpeechEndedGate::kThreshold * std::sqrt(2.0f);
  SpeechEndedGate halved(nullptr, kRate, 2);
  halved.observe_f32(std::vector<float>{loud * 0.99f, 0.0f, loud * 0.99f, 0.0f});
  EXPECT_FALSE(halved.state().speaking);
  SpeechEndedGate enough(nullptr, kRate, 2);
  enough.observe_f32(std::vector<float>{loud * 1.01f, 0.0f, -loud * 1.01f, 0.0f});
  EXPECT_TRUE(enough.state().speaking);
}

TEST_F(GateTest, NonFiniteSamples) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  gate->observe_f32(std::vector<float>{inf});
  EXPECT_TRUE(gate->state().speaking);
  gate->observe_f32(std::vector<float>(gate->min_silence_samples(), nan));  // NaN is silence
  EXPECT_EQ(notifications(), 1u);
}

TEST_F(GateTest, FiresOnceAtTheFirstSilentBufferEnding420msAfterVoice) {
  silence_for(5s);
  EXPECT_EQ(notifications(), 0u);  // silence from the start never ends anything

  voice_for(10ms);
  silence_for(400ms);
  gate->observe_f32(std::vector<float>(959, 0.001f));  // 419.98 ms
  EXPECT_EQ(notifications(), 0u);
  gate->observe_f32(std::vector<float>{0.001f});  // exactly 420 ms fires
  EXPECT_EQ(notifications(), 1u);
  silence_for(10s);
  EXPECT_EQ(notifications(), 1u);
  EXPECT_FALSE(gate->state().speaking);
}

TEST_F(GateTest, VoiceWithinTheWindowRestartsIt) {
  voice_for(10ms);
  silence_for(300ms);
  voice_for(10ms);
  silence_for(410ms);
  EXPECT_EQ(notifications(), 0u);
  silence_for(10ms);
  EXPECT_EQ(notifications(), 1u);
  voice_for(500ms);
  silence_for(1s);
  EXPECT_EQ(notifications(), 2u);  // a second utterance, a second notification
}

// Only samples count, never when they arrive: a backlog delivered at once (a
// stalled server catching up) covers the time it holds, and one long buffer
// is as good as many short ones.
TEST_F(GateTest, StreamTimeNotArrivalTimeMeasuresTheSilence) {
  voice_for(500ms);
  for (int i = 0; i < 80; ++i) silence_for(10ms);  // 0.8 s of backlog in a burst
  voice_for(500ms);
  silence_for(800ms);  // one buffer
  EXPECT_EQ(notifications(), 2u);
}

TEST_F(GateTest, EveryChannelsSamplesAreCounted) {
  SpeechEndedGate stereo(sink(JsCallbackSink::Converter::kSpeechEnded), 44100, 2);
  EXPECT_EQ(stereo.min_silence_samples(), 2u * 18522u);
  stereo.observe_f32(std::vector<float>(882, 0.25f));
  stereo.observe_f32(std::vector<float>(2u * 18522u - 1, 0.0f));
  EXPECT_EQ(notifications(), 0u);
  stereo.observe_f32(std::vector<float>(1, 0.0f));
  EXPECT_EQ(notifications(), 1u);
}

TEST_F(GateTest, EmptyBuffersChangeNothing) {
  voice_for(10ms);
  const SpeechState before = gate->state();
  gate->observe_f32({});
  gate->observe_i16({});
  EXPECT_EQ(gate->state().samples, before.samples);
  EXPECT_EQ(notifications(), 0u);
  EXPECT_TRUE(gate->state().speaking);
}

}  // namespace
}  // namespace parlanto_audio
