#include "data/format_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "data/capture_callback.h"

namespace parlanto_audio {
namespace {

// Feeds `seconds` of 48 kHz stereo in buffers of awkward, changing sizes.
std::size_t feed(FormatConverter& converter, int seconds, std::vector<std::int16_t>* out = nullptr,
                 std::size_t impulse_at = SIZE_MAX) {
  constexpr std::array<std::size_t, 7> kSizes = {1, 7, 160, 441, 480, 1024, 3};
  std::size_t produced = 0;
  std::size_t fed = 0;
  std::size_t turn = 0;
  const std::size_t total = static_cast<std::size_t>(seconds) * 48000;
  std::vector<float> buffer;
  while (fed < total) {
    const std::size_t frames = std::min(kSizes[turn++ % kSizes.size()], total - fed);
    buffer.assign(frames * 2, 0.0f);
    if (impulse_at >= fed && impulse_at < fed + frames) {
      buffer[(impulse_at - fed) * 2] = 0.8f;
      buffer[(impulse_at - fed) * 2 + 1] = 0.8f;
    }
    const std::span<const std::int16_t> converted = converter.convert(buffer);
    produced += converted.size();
    if (out) out->insert(out->end(), converted.begin(), converted.end());
    fed += frames;
  }
  return produced;
}

TEST(FormatConverter, ExactlyTheDeliveredRateOverLongRunsWhateverTheBufferSizes) {
  auto converter = FormatConverter::create({48000, 2}, {16000, 1});
  ASSERT_TRUE(converter);
  const std::size_t first = feed(*converter, 10);
  const std::size_t held_back = 160000 - first;
  EXPECT_LE(held_back, 64u) << "only the filter's delay (4 ms) is held back";
  // Another 10 s: exactly 160000 more, so nothing drifts.
  EXPECT_EQ(feed(*converter, 10), 160000u);
}

TEST(FormatConverter, OutputFrameNIsInputFrameNTimesTheRatio) {
  auto converter = FormatConverter::create({48000, 2}, {16000, 1});
  std::vector<std::int16_t> out;
  feed(*converter, 1, &out, 30000);
  const auto peak = std::max_element(out.begin(), out.end(), [](std::int16_t a, std::int16_t b) {
    return std::abs(a) < std::abs(b);
  });
  EXPECT_NEAR(static_cast<double>(peak - out.begin()), 10000.0, 1.0);
}

TEST(FormatConverter, ChannelsAreAveragedOrCopiedAtTheSameRate) {
  auto down = FormatConverter::create({48000, 2}, {48000, 1});
  const std::vector<float> stereo = {0.5f, 0.25f, -1.0f, 0.0f};
  const std::span<const std::int16_t> mono = down->convert(stereo);
  ASSERT_EQ(mono.size(), 2u);
  EXPECT_EQ(mono[0], 12288);   // 0.375 of 32768
  EXPECT_EQ(mono[1], -16384);  // -0.5
  auto up = FormatConverter::create({48000, 1}, {48000, 2});
  const std::vector<std::int16_t> one = {100, -7};
  const std::span<const std::int16_t> both = up->convert(one);
  EXPECT_EQ(std::vector<std::int16_t>(both.begin(), both.end()),
            (std::vector<std::int16_t>{100, 100, -7, -7}));
}

TEST(FormatConverter, UnconvertedAudioIsExactlyTheModulesOwnChunk) {
  auto same = FormatConverter::create({44100, 2}, {44100, 2});
  const std::vector<float> samples = {1.0f, -1.0f, 0.1f, std::nanf(""), 2.0f, -0.5f};
  const std::span<const std::int16_t> converted = same->convert(samples);
  const PcmChunk chunk = pcm_f32_to_i16_le(samples);
  ASSERT_EQ(converted.size() * 2, chunk.size());
  EXPECT_EQ(std::memcmp(converted.data(), chunk.data(), chunk.size()), 0);
}

}  // namespace
}  // namespace parlanto_audio
