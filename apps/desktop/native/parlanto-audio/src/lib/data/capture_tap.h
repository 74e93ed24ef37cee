#pragma once

// The capture layer's data callback: what one stream's buffers go through on
// their way to the layer's delivery handle. For each buffer, on the audio
// thread: the stop flag; the sample clock's anchor on the monotonic clock;
// the echo-cancelling stage when the capture has one; the turn detector on
// the device's own samples (or the stage's), timed on the sample clock;
// the format converter; the append to the delivery handle.

#include <array>
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
#include "turn/level_turn_detector.h"
#include "turn/turn_detector.h"

namespace parlanto_audio {

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
//
// A turn still open when the state goes (its stream was dropped: stopped, or
// failed and about to be opened again) is ended then, so every speech-started
// is followed by its speech-ended.
struct CaptureTapState final : TurnEvents {
  CaptureTapState(std::shared_ptr<CoalescingSink> sink, std::unique_ptr<FormatConverter> converter,
                  MonotonicNow now = steady_now, TurnOptions turn = {});
  CaptureTapState(std::shared_ptr<CoalescingSink> sink, std::unique_ptr<FormatConverter> converter,
                  PcmFormat device, std::unique_ptr<EchoCanceller> canceller,
                  MonotonicNow now = steady_now, TurnOptions turn = {});
  ~CaptureTapState();

  const std::shared_ptr<CoalescingSink> sink;
  const std::unique_ptr<FormatConverter> converter;
  const std::unique_ptr<EchoCanceller> canceller;  // null without echo cancellation
  const PcmFormat device;
  const MonotonicNow now;
  std::uint64_t device_frames = 0;
  SampleClockAnchor anchor;
  const std::unique_ptr<TurnDetector> detector;  // at the converter's input rate
  // Set by the opener: tells a stop from a failure when the state goes.
  std::shared_ptr<const std::atomic<bool>> stopped;

  void process(std::span<const float> samples);
  void process(std::span<const std::int16_t> samples);

 private:
  template <typename Sample>
  void process_samples(std::span<const Sample> samples);
  template <typename Sample>
  void deliver(std::span<const Sample> samples, double anchor_ms);
  void on_turn_event(const TurnEvent& event) override;

  // A buffer's events wait for its chunk, so that JavaScript gets them after it.
  std::array<TurnEvent, 4> held_{};
  std::size_t held_count_ = 0;
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
