#include "data/format_converter.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace parlanto_audio {

namespace {

// speexdsp's quality scale runs from 0 to 10. At 7 a 10 kHz tone captured
// at 16 kHz comes out more than 70 dB down and the passband is flat to well
// within 0.1 dB up to 7 kHz, at a few hundred multiply-adds per output frame.
constexpr int kResamplerQuality = 7;

inline float sample_value(float sample) { return sample; }
inline float sample_value(std::int16_t sample) {
  return static_cast<float>(sample) * (1.0f / 32768.0f);
}

// Converted audio: full scale is 32768 counts, as the level detector counts it.
inline std::int16_t rounded_i16(float x) {
  const float y = std::nearbyint(x * 32768.0f);
  if (!(y == y)) return 0;
  return static_cast<std::int16_t>(std::clamp(y, -32768.0f, 32767.0f));
}

}  // namespace

std::unique_ptr<FormatConverter> FormatConverter::create(PcmFormat from, PcmFormat to) {
  if (from.sample_rate == 0 || to.sample_rate == 0 || from.channels == 0 || to.channels == 0) {
    return nullptr;
  }
  SpeexResamplerState* resampler = nullptr;
  if (from.sample_rate != to.sample_rate) {
    int error = 0;
    resampler = speex_resampler_init(to.channels, from.sample_rate, to.sample_rate,
                                     kResamplerQuality, &error);
    if (resampler == nullptr || error != RESAMPLER_ERR_SUCCESS) {
      if (resampler != nullptr) speex_resampler_destroy(resampler);
      return nullptr;
    }
    speex_resampler_skip_zeros(resampler);
  }
  return std::unique_ptr<FormatConverter>(new FormatConverter(from, to, resampler));
}

FormatConverter::FormatConverter(PcmFormat from, PcmFormat to, SpeexResamplerState_* resampler)
    : from_(from), to_(to), resampler_(resampler) {}

FormatConverter::~FormatConverter() {
  if (resampler_ != nullptr) speex_resampler_destroy(resampler_);
}

std::span<const std::int16_t> FormatConverter::convert(std::span<const float> samples) {
  if (from_ == to_) {
    // Unconverted: exactly the bytes the module's own classes deliver.
    out_.resize(samples.size());
    std::transform(samples.begin(), samples.end(), out_.begin(), float_to_i16);
    return out_;
  }
  return run(samples);
}

std::span<const std::int16_t> FormatConverter::convert(std::span<const std::int16_t> samples) {
  if (from_ == to_) return samples;
  return run(samples);
}

template <typename Sample>
std::span<const std::int16_t> FormatConverter::run(std::span<const Sample> samples) {
  const std::size_t in_channels = from_.channels;
  const std::size_t out_channels = to_.channels;
  const std::size_t frames = samples.size() / in_channels;

  mixed_.resize(frames * out_channels);
  for (std::size_t f = 0; f < frames; ++f) {
    const Sample* in = samples.data() + f * in_channels;
    float* out = mixed_.data() + f * out_channels;
    if (out_channels == in_channels) {
      for (std::size_t c = 0; c < in_channels; ++c) out[c] = sample_value(in[c]);
    } else if (out_channels == 1) {
      float sum = 0.0f;
      for (std::size_t c = 0; c < in_channels; ++c) sum += sample_value(in[c]);
      out[0] = sum / static_cast<float>(in_channels);
    } else if (in_channels == 1) {
      for (std::size_t c = 0; c < out_channels; ++c) out[c] = sample_value(in[0]);
    } else {
      // More channels than two into stereo: the first two (front left, right).
      for (std::size_t c = 0; c < out_channels; ++c) out[c] = sample_value(in[c]);
    }
  }

  const float* source = mixed_.data();
  std::size_t out_frames = frames;
  if (resampler_ != nullptr) {
    // Room for every frame this input can produce, plus the resampler's
    // fractional carry.
    const std::uint64_t room =
        (static_cast<std::uint64_t>(frames) * to_.sample_rate) / from_.sample_rate + 2;
    resampled_.resize(static_cast<std::size_t>(room) * out_channels);
    std::size_t consumed = 0;
    out_frames = 0;
    while (consumed < frames) {
      auto in_len = static_cast<spx_uint32_t>(frames - consumed);
      auto out_len = static_cast<spx_uint32_t>(room - out_frames);
      speex_resampler_process_interleaved_float(
          resampler_, mixed_.data() + consumed * out_channels, &in_len,
          resampled_.data() + out_frames * out_channels, &out_len);
      consumed += in_len;
      out_frames += out_len;
      if (in_len == 0 && out_len == 0) break;  // cannot happen with enough room; never spin
    }
    source = resampled_.data();
  }

  out_.resize(out_frames * out_channels);
  std::transform(source, source + out_.size(), out_.begin(), rounded_i16);
  return out_;
}

}  // namespace parlanto_audio
