#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace parlanto_audio {

// Turns the byte fragments a backend reads into buffers of whole frames that
// can be read as samples in place. Fragments normally hold whole frames at an
// aligned address and pass straight through; a fragment that ends inside a
// frame leaves that frame's first bytes waiting for the next one, and one at an
// odd address is copied. One per stream, used only on the thread that reads
// the stream; allocates only when a copy is larger than any before.
class FragmentAssembler {
 public:
  FragmentAssembler(std::size_t sample_bytes, std::size_t frame_bytes)
      : sample_bytes_(sample_bytes), frame_bytes_(frame_bytes), carry_(frame_bytes) {}

  // Calls deliver(const void* data, std::size_t bytes) for the whole frames
  // now complete, if any; `data` is aligned for the sample type.
  template <typename Deliver>
  void push(const void* data, std::size_t bytes, Deliver&& deliver) {
    if (bytes == 0) return;
    const bool aligned = reinterpret_cast<std::uintptr_t>(data) % sample_bytes_ == 0;
    if (carry_bytes_ == 0 && aligned && bytes % frame_bytes_ == 0) {
      deliver(data, bytes);
      return;
    }
    const auto* input = static_cast<const std::byte*>(data);
    const std::size_t total = carry_bytes_ + bytes;
    const std::size_t whole = total / frame_bytes_ * frame_bytes_;
    if (whole == 0) {
      std::memcpy(carry_.data() + carry_bytes_, input, bytes);
      carry_bytes_ = total;
      return;
    }
    const std::size_t words = (whole + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);
    if (scratch_.size() < words) scratch_.resize(words);
    auto* out = reinterpret_cast<std::byte*>(scratch_.data());
    std::memcpy(out, carry_.data(), carry_bytes_);
    std::memcpy(out + carry_bytes_, input, whole - carry_bytes_);
    const std::size_t rest = total - whole;
    std::memcpy(carry_.data(), input + (bytes - rest), rest);
    carry_bytes_ = rest;
    deliver(static_cast<const void*>(out), whole);
  }

  // Forgets a split frame: the stream skipped data, so what follows does not
  // continue it.
  void reset() { carry_bytes_ = 0; }

 private:
  std::size_t sample_bytes_;
  std::size_t frame_bytes_;
  std::vector<std::byte> carry_;
  std::size_t carry_bytes_ = 0;
  std::vector<std::uint64_t> scratch_;  // 8-byte words: aligned for any sample type
};

}  // namespace parlanto_audio
