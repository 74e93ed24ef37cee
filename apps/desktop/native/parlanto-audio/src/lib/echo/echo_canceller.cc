#include "echo/echo_canceller.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>

namespace parlanto_audio {

namespace {

bool native_rate(std::uint32_t rate) {
  return rate == 8000 || rate == 16000 || rate == 32000 || rate == 48000;
}

std::string engine_failure(const char* step, int code) {
  return std::string("echo cancellation: ") + step + " failed (engine error " +
         std::to_string(code) + ")";
}

}  // namespace

Expected<std::unique_ptr<EchoCanceller>, std::string> EchoCanceller::create(
    std::uint32_t mic_rate, std::uint16_t mic_channels, EchoCancelOptions options) {
  if (mic_rate == 0 || mic_channels == 0) {
    return unexpected(std::string("echo cancellation: the microphone has no rate or channels"));
  }
  std::uint32_t rate = options.engine_rate;
  if (rate == 0) rate = native_rate(mic_rate) ? mic_rate : 48000;
  if (!native_rate(rate)) {
    return unexpected("echo cancellation: the engine does not run at " + std::to_string(rate) +
                      " Hz");
  }

  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(options.extended_filter));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(options.delay_agnostic));
  Engine engine(webrtc::AudioProcessing::Create(config));
  if (!engine) return unexpected(std::string("echo cancellation: the engine could not be made"));

  const auto engine_rate = static_cast<int>(rate);
  webrtc::ProcessingConfig streams = {{
      webrtc::StreamConfig(engine_rate, mic_channels),
      webrtc::StreamConfig(engine_rate, mic_channels),
      webrtc::StreamConfig(engine_rate, 1),
      webrtc::StreamConfig(engine_rate, 1),
  }};
  if (const int code = engine->Initialize(streams); code != webrtc::AudioProcessing::kNoError) {
    return unexpected(engine_failure("initialisation", code));
  }
  webrtc::EchoCancellation* aec = engine->echo_cancellation();
  // Low suppression: the room measurements keep 33-49 dB of echo return loss
  // enhancement with it and lose less of the near voice in double talk.
  int code = aec->enable_drift_compensation(false);
  if (code == 0) code = aec->set_suppression_level(webrtc::EchoCancellation::kHighSuppression);
  if (code == 0) code = aec->Enable(true);
  if (code == 0) code = engine->high_pass_filter()->Enable(false);
  if (code == 0) code = engine->noise_suppression()->Enable(options.noise_suppression);
  if (code == 0 && options.gain_control) {
    code = engine->gain_control()->set_mode(webrtc::GainControl::kAdaptiveDigital);
  }
  if (code == 0) code = engine->gain_control()->Enable(options.gain_control);
  if (code != 0) return unexpected(engine_failure("configuration", code));
  // The engine reads these options when they are set, not when it is made.
  engine->SetExtraOptions(config);

  return std::unique_ptr<EchoCanceller>(
      new EchoCanceller(std::move(engine), mic_rate, rate, mic_channels));
}

void EchoCanceller::EngineDeleter::operator()(webrtc::AudioProcessing* engine) const {
  delete engine;
}

EchoCanceller::EchoCanceller(Engine engine, std::uint32_t mic_rate, std::uint32_t rate,
                             std::uint16_t channels)
    : engine_(std::move(engine)),
      rate_(rate),
      channels_(channels),
      frame_frames_(rate * ReferenceAlignment::kFrameMs / 1000),
      reference_(std::make_shared<ReferenceAlignment>(rate)),
      mic_resampler_(mic_rate, rate, channels),
      reference_frame_(frame_frames_),
      planes_(channels, std::vector<float>(frame_frames_)),
      plane_pointers_(channels) {
  for (std::size_t c = 0; c < channels; ++c) plane_pointers_[c] = planes_[c].data();
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
  const auto engine_rate = static_cast<int>(rate_);
  const webrtc::StreamConfig reverse(engine_rate, 1);
  const webrtc::StreamConfig forward(engine_rate, channels_);
  float* reference_plane = reference_frame_.data();
  if (pull.event == ReferenceAlignment::Event::kResumed) {
    // A new reference stream has its own delay: what the engine learnt of the
    // old one would only slow it down. (A rare event; the engine resets its
    // state in place.)
    engine_->Initialize();
    engine_->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kHighSuppression);
    heard_reference_frames_ = 0;
  }
  if (heard_reference_frames_ < kConvergenceFrames) {
    float sum = 0.0f;
    for (const float v : reference_frame_) sum += v * v;
    if (sum > kAudibleReference * static_cast<float>(frame_frames_) &&
        ++heard_reference_frames_ == kConvergenceFrames) {
      engine_->echo_cancellation()->set_suppression_level(
          webrtc::EchoCancellation::kLowSuppression);
    }
  }
  engine_->ProcessReverseStream(&reference_plane, reverse, reverse, &reference_plane);
  engine_->set_stream_delay_ms(static_cast<int>(reference_->primed_delay_ms()));
  for (std::size_t f = 0; f < frame_frames_; ++f) {
    for (std::size_t c = 0; c < channels_; ++c) planes_[c][f] = interleaved[f * channels_ + c];
  }
  engine_->ProcessStream(plane_pointers_.data(), forward, forward, plane_pointers_.data());
  float before = 0.0f;
  float after = 0.0f;
  for (std::size_t f = 0; f < frame_frames_; ++f) {
    for (std::size_t c = 0; c < channels_; ++c) {
      const float in = interleaved[f * channels_ + c];
      const float cancelled = planes_[c][f];
      before += in * in;
      after += cancelled * cancelled;
      out[f * channels_ + c] = cancelled;
    }
  }
  if (before > kAudibleReference * static_cast<float>(frame)) {
    kept = std::min(kept, after / before);
  }
  ++cancelled_frames_;
  return pull.event;
}

}  // namespace parlanto_audio
