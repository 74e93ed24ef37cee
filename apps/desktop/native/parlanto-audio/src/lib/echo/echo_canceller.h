#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/expected.h"
#include "echo/reference_alignment.h"

namespace webrtc {
class AudioProcessing;
}

namespace parlanto_audio {

struct EchoCancelOptions {
  // The engine finds the delay between reference and microphone itself.
  bool delay_agnostic = true;
  // A longer echo tail and steadier adaptation, for rooms and loud speakers.
  bool extended_filter = true;
  bool noise_suppression = false;
  bool gain_control = false;
  // 0: the microphone's rate when the engine takes it natively, else 48000.
  std::uint32_t engine_rate = 0;
};

// The echo-cancelling stage: between the microphone stream's buffer and the
// data callback's work (detector, conversion, delivery). It cuts the
// microphone into 10 ms frames at the engine's rate, takes the matching 10 ms
// of reference from its ReferenceAlignment and returns the cancelled frames.
// While the reference is lost the frames pass through untouched.
//
// Threads. Made and destroyed on the thread that builds the microphone
// stream; process() runs on the microphone's audio thread only, one call at a
// time. Both engine directions are driven from process(), so the engine is
// never entered from two threads. process() does not allocate once its
// output has grown to the largest buffer seen (the first buffers of a stream).
class EchoCanceller {
 public:
  static Expected<std::unique_ptr<EchoCanceller>, std::string> create(
      std::uint32_t mic_rate, std::uint16_t mic_channels, EchoCancelOptions options = {});
  ~EchoCanceller();
  EchoCanceller(const EchoCanceller&) = delete;
  EchoCanceller& operator=(const EchoCanceller&) = delete;

  // What process() returns: rate and channels of the cancelled audio.
  std::uint32_t rate() const { return rate_; }
  std::uint16_t channels() const { return channels_; }
  // Where the reference stream's feed comes from.
  const std::shared_ptr<ReferenceAlignment>& reference() const { return reference_; }

  struct Result {
    // Whole 10 ms frames, interleaved; valid until the next call. May be empty
    // while a frame is still being gathered.
    std::span<const float> samples;
    ReferenceAlignment::Event event = ReferenceAlignment::Event::kNone;
    // The least share of a frame's energy the engine kept, over the frames
    // returned (1: nothing removed, or no reference): near 0 where the frame
    // was the echo alone.
    float kept = 1.0f;
  };
  Result process(std::span<const float> mic);
  Result process(std::span<const std::int16_t> mic);

  // Frames processed by the engine, and those passed through without a
  // reference.
  std::uint64_t cancelled_frames() const { return cancelled_frames_; }
  std::uint64_t passed_frames() const { return passed_frames_; }

 private:
  // Deletes the engine where its definition is known: a build without the
  // engine (see echo_canceller_unavailable.cc) never includes its headers.
  struct EngineDeleter {
    void operator()(webrtc::AudioProcessing* engine) const;
  };
  using Engine = std::unique_ptr<webrtc::AudioProcessing, EngineDeleter>;

  EchoCanceller(Engine engine, std::uint32_t mic_rate, std::uint32_t rate, std::uint16_t channels);
  Result take(std::span<const float> at_engine_rate);
  ReferenceAlignment::Event run_frame(const float* interleaved, float* out, float& kept);

  // Until the engine has heard this much of the reference (its filter has
  // converged), it suppresses hard; then lightly, to keep the near voice in
  // double talk.
  static constexpr std::uint64_t kConvergenceFrames = 200;
  static constexpr float kAudibleReference = 1e-6f;  // mean square, about -60 dBFS

  const Engine engine_;
  const std::uint32_t rate_;
  const std::uint16_t channels_;
  const std::size_t frame_frames_;  // frames (per channel) in 10 ms
  const std::shared_ptr<ReferenceAlignment> reference_;
  Resampler mic_resampler_;

  // Audio-thread state.
  std::vector<float> converted_;  // the buffer as float, then at the engine's rate
  std::vector<float> pending_;    // less than one frame, carried to the next call
  std::vector<float> output_;     // what the last call returns
  std::vector<float> reference_frame_;
  std::vector<std::vector<float>> planes_;  // the engine takes one array per channel
  std::vector<float*> plane_pointers_;
  std::uint64_t heard_reference_frames_ = 0;
  std::uint64_t cancelled_frames_ = 0;
  std::uint64_t passed_frames_ = 0;
};

}  // namespace parlanto_audio
