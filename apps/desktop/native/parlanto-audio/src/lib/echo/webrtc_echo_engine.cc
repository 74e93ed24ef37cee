// The stage's engine on WebRTC audio processing 0.3: the only file that
// includes its headers.
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "echo/echo_engine.h"
#include "echo/reference_alignment.h"

namespace parlanto_audio {

namespace {

std::string engine_failure(const char* step, int code) {
  return std::string("echo cancellation: ") + step + " failed (engine error " +
         std::to_string(code) + ")";
}

class WebRtcEchoEngine final : public EchoEngine {
 public:
  WebRtcEchoEngine(std::unique_ptr<webrtc::AudioProcessing> engine, std::uint32_t rate,
                   std::uint16_t channels)
      : engine_(std::move(engine)),
        rate_(static_cast<int>(rate)),
        channels_(channels),
        frame_frames_(rate * ReferenceAlignment::kFrameMs / 1000),
        reference_(frame_frames_),
        planes_(channels, std::vector<float>(frame_frames_)),
        plane_pointers_(channels) {
    for (std::size_t c = 0; c < channels; ++c) plane_pointers_[c] = planes_[c].data();
  }

  void process(const float* mic, const float* reference, float* out) override {
    if (heard_reference_frames_ < kConvergenceFrames) {
      float sum = 0.0f;
      for (std::size_t f = 0; f < frame_frames_; ++f) sum += reference[f] * reference[f];
      if (sum > kAudibleReference * static_cast<float>(frame_frames_) &&
          ++heard_reference_frames_ == kConvergenceFrames) {
        engine_->echo_cancellation()->set_suppression_level(
            webrtc::EchoCancellation::kLowSuppression);
      }
    }
    const webrtc::StreamConfig reverse(rate_, 1);
    const webrtc::StreamConfig forward(rate_, channels_);
    std::copy_n(reference, frame_frames_, reference_.data());
    float* reference_plane = reference_.data();
    engine_->ProcessReverseStream(&reference_plane, reverse, reverse, &reference_plane);
    engine_->set_stream_delay_ms(static_cast<int>(ReferenceAlignment::primed_delay_ms()));
    for (std::size_t f = 0; f < frame_frames_; ++f) {
      for (std::size_t c = 0; c < channels_; ++c) planes_[c][f] = mic[f * channels_ + c];
    }
    engine_->ProcessStream(plane_pointers_.data(), forward, forward, plane_pointers_.data());
    for (std::size_t f = 0; f < frame_frames_; ++f) {
      for (std::size_t c = 0; c < channels_; ++c) out[f * channels_ + c] = planes_[c][f];
    }
  }

  // A rare event; the engine resets its state in place.
  void restart() override {
    engine_->Initialize();
    engine_->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kHighSuppression);
    heard_reference_frames_ = 0;
  }

 private:
  // Until the engine has heard this much of the reference (its filter has
  // converged), it suppresses hard; then lightly, to keep the near voice in
  // double talk.
  static constexpr std::uint64_t kConvergenceFrames = 200;
  static constexpr float kAudibleReference = 1e-6f;  // mean square, about -60 dBFS

  const std::unique_ptr<webrtc::AudioProcessing> engine_;
  const int rate_;
  const std::uint16_t channels_;
  const std::size_t frame_frames_;
  std::vector<float> reference_;            // the engine may write to its reverse stream
  std::vector<std::vector<float>> planes_;  // the engine takes one array per channel
  std::vector<float*> plane_pointers_;
  std::uint64_t heard_reference_frames_ = 0;
};

}  // namespace

bool echo_engine_built(EchoEngineKind) { return true; }

EchoEngineMade make_webrtc_echo_engine(const EchoEngineConfig& options) {
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(options.extended_filter));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(options.delay_agnostic));
  std::unique_ptr<webrtc::AudioProcessing> engine(webrtc::AudioProcessing::Create(config));
  if (!engine) return unexpected(std::string("echo cancellation: the engine could not be made"));

  const auto engine_rate = static_cast<int>(options.rate);
  webrtc::ProcessingConfig streams = {{
      webrtc::StreamConfig(engine_rate, options.channels),
      webrtc::StreamConfig(engine_rate, options.channels),
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
  return std::unique_ptr<EchoEngine>(
      new WebRtcEchoEngine(std::move(engine), options.rate, options.channels));
}

}  // namespace parlanto_audio
