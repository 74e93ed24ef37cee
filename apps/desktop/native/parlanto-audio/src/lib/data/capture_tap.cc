#include "data/capture_tap.h"

#include <cmath>
#include <utility>

#include "turn/speech_ended_gate.h"

namespace parlanto_audio {

namespace {

// A share of the distance to a later estimate taken per buffer: enough to
// follow a device clock 100 ppm slow to within about 1 ms at 100 buffers a
// second, too little for delivery jitter to move the anchor.
constexpr double kAnchorCreep = 1.0 / 1000.0;

}  // namespace

std::chrono::nanoseconds steady_now() {
  // steady_clock is CLOCK_MONOTONIC here, the clock JavaScript reads as process.hrtime().
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

double SampleClockAnchor::update(double now_ms, std::uint64_t frames_so_far,
                                 std::uint32_t sample_rate) {
  const double estimate =
      now_ms - static_cast<double>(frames_so_far) * 1000.0 / static_cast<double>(sample_rate);
  if (!set_ || estimate < anchor_ms_) {
    anchor_ms_ = estimate;
    set_ = true;
  } else {
    anchor_ms_ += (estimate - anchor_ms_) * kAnchorCreep;
  }
  return anchor_ms_;
}

CaptureTapState::CaptureTapState(std::shared_ptr<CoalescingSink> sink_,
                                 std::unique_ptr<FormatConverter> converter_, MonotonicNow now_,
                                 TurnOptions turn)
    : CaptureTapState(std::move(sink_), std::move(converter_), PcmFormat{}, nullptr, now_, turn) {}

CaptureTapState::CaptureTapState(std::shared_ptr<CoalescingSink> sink_,
                                 std::unique_ptr<FormatConverter> converter_, PcmFormat device_,
                                 std::unique_ptr<EchoCanceller> canceller_, MonotonicNow now_,
                                 TurnOptions turn)
    : sink(std::move(sink_)),
      converter(std::move(converter_)),
      canceller(std::move(canceller_)),
      device(canceller ? device_ : converter->from()),
      now(now_),
      detector(
          make_turn_detector(turn, converter->from().sample_rate, converter->from().channels)) {}

CaptureTapState::~CaptureTapState() {
  // The stream's callbacks have ended: nothing else touches the detector.
  if (device_frames == 0) return;
  detector->finish(stopped && stopped->load() ? TurnEnd::kStopped : TurnEnd::kInterrupted, *this);
  for (std::size_t i = 0; i < held_count_; ++i) sink->turn_event(held_[i]);
}

void CaptureTapState::on_turn_event(const TurnEvent& event) {
  const PcmFormat from = converter->from();
  const PcmFormat to = converter->to();
  // The delivered clock's frames for the same instants.
  TurnEvent delivered = event;
  delivered.frame = event.frame * to.sample_rate / from.sample_rate;
  delivered.start_frame = event.start_frame * to.sample_rate / from.sample_rate;
  delivered.end_frame = event.end_frame * to.sample_rate / from.sample_rate;
  if (held_count_ < held_.size()) {
    held_[held_count_++] = delivered;
  } else {
    sink->turn_event(delivered);
  }
}

void CaptureTapState::process(std::span<const float> samples) { process_samples(samples); }

void CaptureTapState::process(std::span<const std::int16_t> samples) { process_samples(samples); }

template <typename Sample>
void CaptureTapState::process_samples(std::span<const Sample> samples) {
  const std::size_t frames = samples.size() / device.channels;
  if (frames == 0) return;
  const double now_ms = std::chrono::duration<double, std::milli>(now()).count();
  const bool first = device_frames == 0;
  device_frames += frames;
  const double anchor_ms = anchor.update(now_ms, device_frames, device.sample_rate);
  if (first) sink->begin_stream(anchor_ms);
  if (!canceller) {
    deliver(samples, anchor_ms);
    return;
  }

  const EchoCanceller::Result cancelled = canceller->process(samples);
  if (cancelled.event == ReferenceAlignment::Event::kLost) {
    sink->echo_event(CoalescingSink::EchoEvent::kLost);
  } else if (cancelled.event == ReferenceAlignment::Event::kResumed) {
    sink->echo_event(CoalescingSink::EchoEvent::kResumed);
  }
  // Empty while the canceller gathers its first 10 ms frame.
  if (cancelled.samples.empty()) return;
  detector->echo_kept(cancelled.kept);
  deliver(cancelled.samples, anchor_ms);
}

template <typename Sample>
void CaptureTapState::deliver(std::span<const Sample> samples, double anchor_ms) {
  detector->observe(samples, *this);
  sink->append(converter->convert(samples), anchor_ms);
  for (std::size_t i = 0; i < held_count_; ++i) sink->turn_event(held_[i]);
  held_count_ = 0;
}

void CaptureTap::operator()(std::span<const float> samples) const {
  if (stopped->load()) return;
  state->process(samples);
}

void CaptureTap::operator()(std::span<const std::int16_t> samples) const {
  if (stopped->load()) return;
  state->process(samples);
}

}  // namespace parlanto_audio
