#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "data/capture_callback.h"

namespace parlanto_audio {
namespace {

TEST(Conversion, FloatSamplesClampScaleAndTruncate) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::vector<float> samples = {1.0f, -1.0f, 0.5f, -0.5f, 2.0f, std::nanf(""),
                                      kInf, -kInf, 0.1f, -2.0f, 0.0f, -0.0f};
  const PcmChunk expected = {0xFF, 0x7F, 0x01, 0x80, 0xFF, 0x3F, 0x01, 0xC0,
                             0xFF, 0x7F, 0x00, 0x00, 0xFF, 0x7F, 0x01, 0x80,
                             0xCC, 0x0C, 0x01, 0x80, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(pcm_f32_to_i16_le(samples), expected);
}

TEST(Conversion, IntegerSamplesAreTheirLittleEndianBytes) {
  const std::vector<std::int16_t> samples = {1, -2, 32767, -32768};
  const PcmChunk expected = {0x01, 0x00, 0xFE, 0xFF, 0xFF, 0x7F, 0x00, 0x80};
  EXPECT_EQ(pcm_i16_le(samples), expected);
}

TEST(Conversion, StereoBufferKeepsItsInterleavedOrderInOneExactChunk) {
  std::vector<float> floats(960);
  std::vector<std::int16_t> ints(960);
  for (std::size_t i = 0; i < 960; ++i) {
    const int sign = i % 2 == 0 ? 1 : -1;  // left channel rising, right channel falling
    ints[i] = static_cast<std::int16_t>(sign * static_cast<int>(i));
    floats[i] = static_cast<float>(sign) * (static_cast<float>(i) + 0.5f) / 32767.0f;
  }
  const PcmChunk from_floats = pcm_f32_to_i16_le(floats);
  const PcmChunk from_ints = pcm_i16_le(ints);
  ASSERT_EQ(from_floats.size(), 1920u);
  EXPECT_EQ(from_floats.capacity(), 1920u);
  EXPECT_EQ(from_floats, from_ints);
  EXPECT_EQ(from_ints[2 * 7], 0xF9);  // frame 3, right channel: -7
  EXPECT_EQ(from_ints[2 * 7 + 1], 0xFF);
}

TEST(Conversion, EmptyInputGivesAnEmptyChunkWithoutAllocating) {
  EXPECT_EQ(pcm_f32_to_i16_le({}).capacity(), 0u);
  EXPECT_EQ(pcm_i16_le({}).capacity(), 0u);
}

}  // namespace
}  // namespace parlanto_audio
