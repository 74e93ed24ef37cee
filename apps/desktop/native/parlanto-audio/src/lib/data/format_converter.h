#pragma once

// The capture layer's format conversion: interleaved device frames (float or
// 16-bit, the device's rate and channel count) into interleaved 16-bit frames
// at the rate and channel count the application asked for. Channels are
// converted first (down-mixing averages them; one channel feeds both sides of
// a stereo output), then the rate, with speexdsp's resampler; its start-up
// delay is skipped, so output frame n is the device's frame n x out / in.
//
// Built on the JavaScript or start thread; afterwards used only by the one
// stream data callback that owns it, on the audio thread. Scratch memory grows
// to the largest buffer seen and is then reused.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct SpeexResamplerState_;

namespace parlanto_audio {

struct PcmFormat {
  std::uint32_t sample_rate = 0;
  std::uint16_t channels = 0;
  bool operator==(const PcmFormat&) const = default;
};

class FormatConverter {
 public:
  // Null when the resampler cannot be made for these rates.
  static std::unique_ptr<FormatConverter> create(PcmFormat from, PcmFormat to);
  ~FormatConverter();
  FormatConverter(const FormatConverter&) = delete;
  FormatConverter& operator=(const FormatConverter&) = delete;

  // The converted frames of one buffer, valid until the next call. A buffer
  // with a partial last frame has that frame ignored.
  std::span<const std::int16_t> convert(std::span<const float> samples);
  std::span<const std::int16_t> convert(std::span<const std::int16_t> samples);

  PcmFormat from() const { return from_; }
  PcmFormat to() const { return to_; }

 private:
  FormatConverter(PcmFormat from, PcmFormat to, SpeexResamplerState_* resampler);
  template <typename Sample>
  std::span<const std::int16_t> run(std::span<const Sample> samples);

  const PcmFormat from_;
  const PcmFormat to_;
  SpeexResamplerState_* const resampler_;  // null when the rates are equal
  std::vector<float> mixed_;               // input frames in the output's channels
  std::vector<float> resampled_;
  std::vector<std::int16_t> out_;
};

// The conversion of the module's own chunks: clamp to [-1, 1], scale by 32767,
// truncate toward zero; NaN becomes 0.
inline std::int16_t float_to_i16(float x) {
  x = x < -1.0f ? -1.0f : x;
  x = x > 1.0f ? 1.0f : x;
  const float y = x * 32767.0f;
  return y == y ? static_cast<std::int16_t>(y) : std::int16_t{0};
}

}  // namespace parlanto_audio
