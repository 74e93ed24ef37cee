#pragma once

// The capture layer's data callback: what one stream's buffers go through on
// their way to the layer's delivery handle. For each buffer, on the audio
// thread: the stop flag; the sample clock's anchor on the monotonic clock;
// the echo-cancelling stage when the capture has one; the speech-end detector
// on the device's own samples (or the stage's), timed on the sample clock;
// the format converter; the append to the delivery handle.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "delivery/coalescing_sink.h"
#include "echo/echo_canceller.h"
#include "data/format_converter.h"
#include "turn/speech_ended_gate.h"

namespace parlanto_audio {

// The speech-end rule of SpeechEndedGate (a buffer whose RMS level reaches the
// threshold is voice; 420 ms of quieter audio after it ends the utterance),
// with time measured in frames received instead of arrival instants, so
// bursts and stalls of delivery do not change its decisions.
class SampleClockSpeechDetector {
 public:
  explicit SampleClockSpeechDetector(std::uint32_t sample_rate);

  // Feeds one buffer ending at device frame `end_frame`; returns the device
  // frame at which the silence completed when this buffer completes it.
  std::optional<std::uint64_t> observe(float sum_of_squares, std::size_t samples,
                                       std::uint64_t end_frame);

 private:
  const std::uint64_t min_silence_frames_;
  bool speaking_ = false;
  std::uint64_t last_voice_end_ = 0;
};

// Estimates the monotonic time of the sample clock's frame 0 from when
// buffers arrive: a buffer cannot arrive before its last frame was captured,
// so the earliest estimate seen is the best one; it follows a drifting device
// clock by creeping toward later estimates by a small share each buffer.
class SampleClockAnchor {
 public:
  double update(double now_ms, std::uint64_t frames_so_far, std::uint32_t sample_rate);
  double value() const { return anchor_ms_; }

 private:
  double anchor_ms_ = 0;
  bool set_ = false;
};

// Time since an arbitrary fixed point of CLOCK_MONOTONIC.
using MonotonicNow = std::chrono::nanoseconds (*)();
std::chrono::nanoseconds steady_now();

// With an echo canceller, the converter converts what the canceller returns
// (its rate() and channels()), and the detector measures that; the anchor
// still counts the device's own frames. Without one, the device's samples go
// to the detector and the converter as they came.
struct CaptureTapState {
  CaptureTapState(std::shared_ptr<CoalescingSink> sink, std::unique_ptr<FormatConverter> converter,
                  MonotonicNow now = steady_now);
  CaptureTapState(std::shared_ptr<CoalescingSink> sink, std::unique_ptr<FormatConverter> converter,
                  PcmFormat device, std::unique_ptr<EchoCanceller> canceller,
                  MonotonicNow now = steady_now);

  const std::shared_ptr<CoalescingSink> sink;
  const std::unique_ptr<FormatConverter> converter;
  const std::unique_ptr<EchoCanceller> canceller;  // null without echo cancellation
  const PcmFormat device;
  const MonotonicNow now;
  std::uint64_t device_frames = 0;
  std::uint64_t detected_frames = 0;  // at the converter's input rate
  SampleClockAnchor anchor;
  SampleClockSpeechDetector detector;

  void process(std::span<const float> samples);
  void process(std::span<const std::int16_t> samples);

 private:
  template <typename Sample>
  void process_samples(std::span<const Sample> samples);
  template <typename Sample>
  void deliver(std::span<const Sample> samples, double anchor_ms);
};

// Owned by the stream (inside the std::function it was built with); copies
// share one state, and the backend calls one copy at a time.
struct CaptureTap {
  std::shared_ptr<std::atomic<bool>> stopped;
  std::shared_ptr<CaptureTapState> state;

  void operator()(std::span<const float> samples) const;
  void operator()(std::span<const std::int16_t> samples) const;
};

}  // namespace parlanto_audio
