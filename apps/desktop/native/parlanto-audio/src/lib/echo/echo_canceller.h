#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/expected.h"
#include "echo/reference_alignment.h"
#include "echo/echo_engine.h"

namespace parlanto_audio {

struct EchoCancelOptions {
  // None: default_echo_engine().
  std::optional<EchoEngineKind> engine;
  // The engine finds the delay between reference and microphone itself.
  bool delay_agnostic = true;
  // A longer echo tail and steadier adaptation, for rooms and loud speakers.
  bool extended_filter = true;
  bool noise_suppression = false;
  bool gain_control = false;
  // 0: for WebRTC's engine the microphone's rate when it takes it natively,
  // else 48000; for speexdsp's 16000, or 8000 for a microphone slower than that.
  std::uint32_t engine_rate = 0;
};

// The echo-cancelling stage: between the microphone stream's buffer and the
// data callback's work (detector, conversion, delivery). It cuts the
// microphone into 10 ms frames at the engine's rate, takes the matching 10 ms
// of reference from its ReferenceAlignment, has its EchoEngine cancel them
// and returns the cancelled frames.
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
  EchoEngineKind engine() const { return engine_kind_; }
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
  EchoCanceller(std::unique_ptr<EchoEngine> engine, EchoEngineKind kind, std::uint32_t mic_rate,
                std::uint32_t rate, std::uint16_t channels);
  Result take(std::span<const float> at_engine_rate);
  ReferenceAlignment::Event run_frame(const float* interleaved, float* out, float& kept);

  const std::unique_ptr<EchoEngine> engine_;
  const EchoEngineKind engine_kind_;
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
  std::uint64_t cancelled_frames_ = 0;
  std::uint64_t passed_frames_ = 0;
};

}  // namespace parlanto_audio
