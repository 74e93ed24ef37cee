#include "data/capture_callback.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

namespace parlanto_audio {

namespace {

// Clamp to [-1, 1] (NaN passes), scale by 32767, truncate toward zero.
// After the clamp the product lies within [-32767, 32767], so the cast
// cannot overflow; NaN is the one value left to map.
inline std::int16_t f32_to_i16(float x) {
  x = x < -1.0f ? -1.0f : x;
  x = x > 1.0f ? 1.0f : x;
  const float y = x * 32767.0f;
  return y == y ? static_cast<std::int16_t>(y) : std::int16_t{0};
}

inline void store_le(std::uint8_t* out, std::int16_t sample) {
  const auto bits = static_cast<std::uint16_t>(sample);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &bits, 2);
  } else {
    out[0] = static_cast<std::uint8_t>(bits & 0xFFu);
    out[1] = static_cast<std::uint8_t>(bits >> 8);
  }
}

}  // namespace

PcmChunk pcm_f32_to_i16_le(std::span<const float> samples) {
  PcmChunk chunk(samples.size() * 2);
  std::uint8_t* out = chunk.data();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    store_le(out + 2 * i, f32_to_i16(samples[i]));
  }
  return chunk;
}

PcmChunk pcm_i16_le(std::span<const std::int16_t> samples) {
  PcmChunk chunk(samples.size() * 2);
  if constexpr (std::endian::native == std::endian::little) {
    if (!samples.empty()) std::memcpy(chunk.data(), samples.data(), chunk.size());
  } else {
    for (std::size_t i = 0; i < samples.size(); ++i) store_le(chunk.data() + 2 * i, samples[i]);
  }
  return chunk;
}

// Both forms: stop flag first, then the gate on the raw samples (so a
// speech-ended signal is queued before this buffer's chunk), then the chunk.
void CaptureCallback::operator()(std::span<const float> samples) const {
  if (stopped->load()) return;
  if (buffers && !samples.empty()) buffers->fetch_add(1, std::memory_order_relaxed);
  if (gate) gate->observe_f32(samples);
  PcmChunk chunk = pcm_f32_to_i16_le(samples);
  if (chunk.empty() || !chunk_sink) return;
  chunk_sink->call(std::move(chunk), napi_tsfn_nonblocking);
}

void CaptureCallback::operator()(std::span<const std::int16_t> samples) const {
  if (stopped->load()) return;
  if (buffers && !samples.empty()) buffers->fetch_add(1, std::memory_order_relaxed);
  if (gate) gate->observe_i16(samples);
  PcmChunk chunk = pcm_i16_le(samples);
  if (chunk.empty() || !chunk_sink) return;
  chunk_sink->call(std::move(chunk), napi_tsfn_nonblocking);
}

void report_stream_error(const HostError& error) {
  std::string line = "[parlanto_audio] stream error: ";
  line.reserve(line.size() + error.text.size() + 1);
  // One error, one line: a description that spans lines is folded.
  for (const char c : error.text) {
    line.push_back(c == '\n' || c == '\r' ? ' ' : c);
  }
  line.push_back('\n');
  // A single write keeps the line whole among other writers of the stream;
  // the loop only covers interruptions and short writes.
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
#if defined(_WIN32)
    // The Windows C runtime counts in unsigned int.
    const int written =
        ::write(STDERR_FILENO, data, static_cast<unsigned>(std::min<std::size_t>(left, 1U << 20)));
#else
    const ssize_t written = ::write(STDERR_FILENO, data, left);
#endif
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace parlanto_audio
