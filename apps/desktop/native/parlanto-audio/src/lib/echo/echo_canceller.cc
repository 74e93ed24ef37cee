#include "echo/echo_canceller.h"

#include <algorithm>

namespace parlanto_audio {

namespace {

// A frame quieter than this (mean square, about -60 dBFS) tells nothing of
// how much the engine removed.
constexpr float kAudibleReference = 1e-6f;

bool webrtc_rate(std::uint32_t rate) {
  return rate == 8000 || rate == 16000 || rate == 32000 || rate == 48000;
}

// speexdsp's canceller runs at any rate, at a cost that grows with it; the
// rooms it is tuned for need no more than speech's band.
bool speex_rate(std::uint32_t rate) { return rate >= 8000 && rate <= 48000 && rate % 100 == 0; }

}  // namespace

const char* echo_engine_name(EchoEngineKind kind) {
  return kind == EchoEngineKind::kWebRtc ? "webrtc" : "speex";
}

std::optional<EchoEngineKind> parse_echo_engine(std::string_view name) {
  if (name == "webrtc") return EchoEngineKind::kWebRtc;
  if (name == "speex") return EchoEngineKind::kSpeex;
  return std::nullopt;
}

EchoEngineKind default_echo_engine() {
  return echo_engine_built(EchoEngineKind::kWebRtc) ? EchoEngineKind::kWebRtc
                                                    : EchoEngineKind::kSpeex;
}

Expected<std::unique_ptr<EchoCanceller>, std::string> EchoCanceller::create(
    std::uint32_t mic_rate, std::uint16_t mic_channels, EchoCancelOptions options) {
  if (mic_rate == 0 || mic_channels == 0) {
    return unexpected(std::string("echo cancellation: the microphone has no rate or channels"));
  }
  const EchoEngineKind kind = options.engine.value_or(default_echo_engine());
  const bool webrtc = kind == EchoEngineKind::kWebRtc;
  std::uint32_t rate = options.engine_rate;
  if (rate == 0 && webrtc) rate = webrtc_rate(mic_rate) ? mic_rate : 48000;
  if (rate == 0) rate = mic_rate >= 16000 ? 16000 : 8000;
  if (webrtc ? !webrtc_rate(rate) : !speex_rate(rate)) {
    return unexpected("echo cancellation: the engine does not run at " + std::to_string(rate) +
                      " Hz");
  }
  EchoEngineConfig config;
  config.rate = rate;
  config.channels = mic_channels;
  config.delay_agnostic = options.delay_agnostic;
  config.extended_filter = options.extended_filter;
  config.noise_suppression = options.noise_suppression;
  config.gain_control = options.gain_control;
  EchoEngineMade engine = webrtc ? make_webrtc_echo_engine(config) : make_speex_echo_engine(config);
  if (!engine) return unexpected(std::move(engine).error());
  return std::unique_ptr<EchoCanceller>(
      new EchoCanceller(std::move(engine).value(), kind, mic_rate, rate, mic_channels));
}

EchoCanceller::EchoCanceller(std::unique_ptr<EchoEngine> engine, EchoEngineKind kind,
                             std::uint32_t mic_rate, std::uint32_t rate, std::uint16_t channels)
    : engine_(std::move(engine)),
      engine_kind_(kind),
      rate_(rate),
      channels_(channels),
      frame_frames_(rate * ReferenceAlignment::kFrameMs / 1000),
      reference_(std::make_shared<ReferenceAlignment>(rate)),
      mic_resampler_(mic_rate, rate, channels),
      reference_frame_(frame_frames_) {
  // A second of audio covers every buffer size a backend uses.
  converted_.reserve(std::size_t{mic_rate} * channels);
  pending_.reserve(frame_frames_ * channels);
  output_.reserve(std::size_t{rate} * channels);
}

EchoCanceller::~EchoCanceller() = default;

EchoCanceller::Result EchoCanceller::process(std::span<const float> mic) {
  converted_.resize(mic_resampler_.max_output(mic.size()));
  converted_.resize(mic_resampler_.process(mic, converted_));
  return take(converted_);
}

EchoCanceller::Result EchoCanceller::process(std::span<const std::int16_t> mic) {
  // Scaled into a part of converted_ beyond what the resampler writes, then
  // resampled to its front (the resampler reads ahead of where it writes only
  // when rates are equal, and then it is a copy).
  constexpr float kScale = 1.0f / 32768.0f;
  const std::size_t out = mic_resampler_.max_output(mic.size());
  converted_.resize(out + mic.size());
  float* scaled = converted_.data() + out;
  for (std::size_t i = 0; i < mic.size(); ++i) scaled[i] = static_cast<float>(mic[i]) * kScale;
  const std::size_t n = mic_resampler_.process(std::span<const float>(scaled, mic.size()),
                                               std::span<float>(converted_.data(), out));
  converted_.resize(n);
  return take(converted_);
}

EchoCanceller::Result EchoCanceller::take(std::span<const float> input) {
  Result result;
  const std::size_t frame = frame_frames_ * channels_;
  const std::size_t total = pending_.size() + input.size();
  output_.resize(total / frame * frame);

  std::size_t used = 0;     // of input
  std::size_t written = 0;  // of output_
  if (!pending_.empty() && total >= frame) {
    used = frame - pending_.size();
    pending_.insert(pending_.end(), input.begin(),
                    input.begin() + static_cast<std::ptrdiff_t>(used));
    const auto event = run_frame(pending_.data(), output_.data(), result.kept);
    if (event != ReferenceAlignment::Event::kNone) result.event = event;
    pending_.clear();
    written = frame;
  }
  while (input.size() - used >= frame) {
    const auto event = run_frame(input.data() + used, output_.data() + written, result.kept);
    if (event != ReferenceAlignment::Event::kNone) result.event = event;
    used += frame;
    written += frame;
  }
  pending_.insert(pending_.end(), input.begin() + static_cast<std::ptrdiff_t>(used), input.end());
  result.samples = std::span<const float>(output_.data(), written);
  return result;
}

ReferenceAlignment::Event EchoCanceller::run_frame(const float* interleaved, float* out,
                                                   float& kept) {
  const std::size_t frame = frame_frames_ * channels_;
  const ReferenceAlignment::Pull pull = reference_->pull(reference_frame_);
  if (!pull.active) {
    std::copy_n(interleaved, frame, out);
    ++passed_frames_;
    return pull.event;
  }
  if (pull.event == ReferenceAlignment::Event::kResumed) engine_->restart();
  engine_->process(interleaved, reference_frame_.data(), out);
  float before = 0.0f;
  float after = 0.0f;
  for (std::size_t i = 0; i < frame; ++i) {
    before += interleaved[i] * interleaved[i];
    after += out[i] * out[i];
  }
  if (before > kAudibleReference * static_cast<float>(frame)) {
    kept = std::min(kept, after / before);
  }
  ++cancelled_frames_;
  return pull.event;
}

}  // namespace parlanto_audio
