#include "data/capture_tap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace parlanto_audio {
namespace {

TEST(SampleClockSpeechDetector, EndsAfter420MsOfFramesWhateverTheirArrival) {
  SampleClockSpeechDetector detector(48000);
  constexpr float kVoice = 0.1f * 0.1f * 960;  // sum of squares of a 480-frame stereo buffer
  std::uint64_t frame = 0;
  const auto buffer = [&](float sum) { return detector.observe(sum, 960, frame += 480); };
  EXPECT_FALSE(buffer(0.0f)) << "silence from the start never ends speech";
  EXPECT_FALSE(buffer(kVoice));
  const std::uint64_t voice_end = frame;
  std::optional<std::uint64_t> ended;
  while (!ended && frame < voice_end + 48000) ended = buffer(0.0f);
  ASSERT_TRUE(ended);
  EXPECT_EQ(*ended, voice_end + 20160) << "420 ms of frames after the voice";
  EXPECT_LT(frame - voice_end, 20160u + 480u);
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(buffer(0.0f)) << "once per utterance";
}

TEST(SampleClockAnchor, TakesTheEarliestArrivalAndFollowsAClockThatDrifts) {
  SampleClockAnchor anchor;
  // Buffers of 10 ms whose arrival jitters by up to 8 ms; frame 0 at 1000 ms.
  std::uint64_t frames = 0;
  for (int i = 0; i < 500; ++i) {
    frames += 480;
    const double jitter = (i * 37 % 9);
    anchor.update(1000.0 + static_cast<double>(frames) / 48.0 + jitter, frames, 48000);
  }
  EXPECT_NEAR(anchor.value(), 1000.0, 1.0);
  // The device's clock runs 100 ppm slow for 60 s: the anchor follows.
  for (int i = 0; i < 6000; ++i) {
    frames += 480;
    const double now = 1000.0 + static_cast<double>(frames) / 48.0 * (1.0 + 1e-4);
    anchor.update(now + (i * 37 % 9), frames, 48000);
  }
  const double drifted = static_cast<double>(frames) / 48.0 * 1e-4;
  EXPECT_NEAR(anchor.value(), 1000.0 + drifted, 2.0);
}

}  // namespace
}  // namespace parlanto_audio
