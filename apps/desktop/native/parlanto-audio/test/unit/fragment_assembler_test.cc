#include "host/pulse/fragment_assembler.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

namespace parlanto_audio {
namespace {

// Stereo 16-bit: 2-byte samples, 4-byte frames.
constexpr std::size_t kSample = 2;
constexpr std::size_t kFrame = 4;

struct Delivered {
  std::vector<std::uint8_t> bytes;
  std::vector<std::size_t> sizes;
  bool all_aligned = true;

  auto sink() {
    return [this](const void* data, std::size_t size) {
      all_aligned = all_aligned && reinterpret_cast<std::uintptr_t>(data) % kSample == 0;
      sizes.push_back(size);
      const auto* p = static_cast<const std::uint8_t*>(data);
      bytes.insert(bytes.end(), p, p + size);
    };
  }
};

std::vector<std::uint8_t> counting_bytes(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{1});
  return bytes;
}

TEST(FragmentAssembler, WholeAlignedFragmentsPassThroughUntouched) {
  FragmentAssembler assembler(kSample, kFrame);
  alignas(8) std::uint8_t fragment[16] = {};
  const void* seen = nullptr;
  assembler.push(fragment, sizeof fragment, [&](const void* data, std::size_t size) {
    seen = data;
    EXPECT_EQ(size, sizeof fragment);
  });
  EXPECT_EQ(seen, fragment);
}

TEST(FragmentAssembler, FramesSplitAcrossFragmentsAreJoinedInOrder) {
  const auto source = counting_bytes(40);
  // Cuts that fall inside samples and inside frames, and a fragment shorter
  // than a frame.
  const std::size_t cuts[] = {3, 1, 2, 7, 9, 5, 13};
  FragmentAssembler assembler(kSample, kFrame);
  Delivered out;
  std::size_t offset = 0;
  for (std::size_t cut : cuts) {
    assembler.push(source.data() + offset, cut, out.sink());
    offset += cut;
  }
  ASSERT_EQ(offset, source.size());
  EXPECT_EQ(out.bytes, source);
  for (std::size_t size : out.sizes) EXPECT_EQ(size % kFrame, 0u);
  EXPECT_TRUE(out.all_aligned);
}

TEST(FragmentAssembler, AFragmentAtAnOddAddressIsCopiedToAnAlignedOne) {
  alignas(8) std::uint8_t storage[17] = {};
  std::memcpy(storage + 1, counting_bytes(16).data(), 16);
  FragmentAssembler assembler(kSample, kFrame);
  Delivered out;
  assembler.push(storage + 1, 16, out.sink());
  EXPECT_EQ(out.bytes, counting_bytes(16));
  EXPECT_TRUE(out.all_aligned);
}

TEST(FragmentAssembler, ResetDropsTheSplitFrameAfterAHole) {
  const auto source = counting_bytes(12);
  FragmentAssembler assembler(kSample, kFrame);
  Delivered out;
  assembler.push(source.data(), 6, out.sink());  // one frame and half of the next
  assembler.reset();
  assembler.push(source.data() + 8, 4, out.sink());
  EXPECT_EQ(out.bytes, (std::vector<std::uint8_t>{1, 2, 3, 4, 9, 10, 11, 12}));
}

}  // namespace
}  // namespace parlanto_audio
