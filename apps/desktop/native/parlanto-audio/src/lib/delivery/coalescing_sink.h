#pragma once

// The capture layer's delivery handle. While JavaScript has not taken the
// previous delivery, new audio is appended to the pending one instead of being
// queued as another call: however many buffers arrive during one turn of the
// event loop, JavaScript gets one call and one Buffer. The pending audio has a
// bound; beyond it the oldest frames are dropped and counted, so memory stays
// bounded while JavaScript is blocked, and nothing is lost below the bound.
//
// Each delivery calls the JavaScript function, with `this` undefined, as
//   (chunk, frame, time, dropped, turns, errors, echo, reopened, resumed)
// chunk: a Buffer of 16-bit little-endian interleaved frames, or undefined
// when only events are pending; frame: the index of its first frame on the
// capture's sample clock; time: CLOCK_MONOTONIC milliseconds of that frame;
// dropped: frames dropped so far; turns: an array of the turn detector's
// events ({ type: 'speech-started' | 'speech-ended', frame, startFrame,
// endFrame, reason }), or undefined; errors: an array of error texts (a
// stream's, or no audio for a while), or undefined; echo: an array of what
// happened to an echo-cancelled capture's reference, in order ('lost',
// 'resumed', 'failed'), or undefined; reopened: an array of the streams the
// recovery opened again (see reopened()), or undefined; resumed: true when
// the chunk is the first audio after the no-audio error, else undefined.
// Frames run without gaps or overlaps: the next chunk starts where this one
// ended, plus whatever was dropped in between.
//
// Threads. Created, configured before the stream plays, and released on the
// JavaScript thread (the start thread configures it, before any append).
// append(), turn_event(), stream_error(), echo_event() and the recovery's
// silence() and reopened() run on the audio, backend and recovery threads: they hold the pending state's mutex for one copy (and, past the
// bound, one move of the kept frames) and never wait for JavaScript. The
// pending state outlives the handle until the engine has delivered the last
// queued call, so audio queued before a stop still arrives.

#include <node_api.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "base/module_error.h"
#include "turn/turn_detector.h"

namespace parlanto_audio {

// A turn event as JavaScript sees it: { type: 'speech-started', frame } or
// { type: 'speech-ended', frame, startFrame, endFrame, reason }.
napi_value turn_event_value(napi_env env, const TurnEvent& event);

class CoalescingSink {
 public:
  // `on_closed`, when not null, is called with no arguments once the last
  // delivery has been made after the handle was released.
  static ModuleResult<std::shared_ptr<CoalescingSink>> create(napi_env env, napi_value on_delivery,
                                                              napi_value on_closed);
  ~CoalescingSink();  // releases the thread-safe function
  CoalescingSink(const CoalescingSink&) = delete;
  CoalescingSink& operator=(const CoalescingSink&) = delete;

  // The delivered format, the bound, and the least audio worth a call of its
  // own (events and the final delivery at release do not wait for it), in
  // frames; before the first append.
  void configure(std::uint16_t channels, std::uint32_t sample_rate, std::uint64_t bound_frames,
                 std::uint64_t min_frames);

  // Appends whole frames. `anchor_ms` is the current stream's estimate of the
  // monotonic time of its frame 0; deliveries read the time of their first
  // frame from the latest one.
  void append(std::span<const std::int16_t> samples, double anchor_ms);
  // A stream starts delivering into this handle (the first, or one opened
  // again after a failure). Its frames continue the delivered clock after the
  // frames lost in between, as measured on the monotonic clock: `anchor_ms` is
  // that stream's first estimate of the time of its own frame 0.
  void begin_stream(double anchor_ms);
  // The stream that fed this handle was dropped without an error (the
  // capture moves to another device): what is pending goes out with a call
  // of its own, however short, so that the next stream's gap can be counted.
  // Any thread.
  void flush();
  // A turn started or ended; frames on the current stream's delivered clock.
  void turn_event(const TurnEvent& event);
  void stream_error(std::string text);

  // What the echo-cancelling stage saw of its reference: lost and resumed
  // come from the microphone's audio thread (so they allocate nothing),
  // failed from the reference stream's error callback.
  enum class EchoEvent : std::uint8_t { kLost, kResumed, kFailed };
  void echo_event(EchoEvent event);

  // Called after each stream error and failed echo reference, on the thread
  // that reported it (the capture's recovery looks then). Set before the
  // first stream runs.
  void on_fault(std::function<void()> listener);

  // The device has given no audio for a while: `text` goes out as an error,
  // and the next audio is announced as resumed, ahead of it.
  void silence(std::string text);
  // The capture's recovery opened the stream again: on the device `device_id`
  // in the given format, with its echo reference (empty: none) on
  // `reference_id`; or, with `reference_only`, the echo reference alone runs
  // again on `reference_id`.
  struct Reopened {
    std::string device_id;
    std::uint32_t device_rate = 0;
    std::uint16_t device_channels = 0;
    std::string reference_id;
    bool reference_only = false;
  };
  void reopened(Reopened what);

  // Milliseconds since the last append or the latest restart_idle(),
  // whichever came later, on the monotonic clock, or -1 before either: how long
  // the device has given nothing, whatever JavaScript did.
  double idle_ms() const;
  // A stream was opened into this handle (the first, or one opened again):
  // its silence counts from now, not from the buffers of the stream before.
  // Any thread.
  void restart_idle();

  struct Counters {
    std::uint64_t pending_frames = 0;
    std::uint64_t dropped = 0;
  };
  Counters counters() const;

 private:
  struct Shared;
  struct Access;
  explicit CoalescingSink(std::shared_ptr<Shared> shared);
  void queue_call(bool needed);
  // Changes the pending state under its mutex and sees that a call is queued.
  template <typename Change>
  void queue_event(Change change);

  const std::shared_ptr<Shared> shared_;
};

}  // namespace parlanto_audio
