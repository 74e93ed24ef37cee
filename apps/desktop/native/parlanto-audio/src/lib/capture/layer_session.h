#pragma once

// The capture layer's native capture object: one stream at a time whose
// buffers go through a CaptureTap to one CoalescingSink. Unlike Capture, its
// start is split so that the waiting part runs off the JavaScript thread:
// prepare (JavaScript thread: the delivery handle), open (any thread: device
// choice, stream set-up, retries), adopt (JavaScript thread: the session takes
// the stream). After a stream error the session's Recovery opens the device
// again the same way, into the same delivery handle, so the delivered clock
// runs on across the gap, and tells JavaScript through the handle. stop() and
// the destructor run on the JavaScript thread.
//
// Echo cancellation. A microphone opened with it gets an EchoCanceller ahead
// of its tap and an internal loopback stream on the reference output device,
// whose buffers feed the canceller's ReferenceAlignment. The two streams live
// and die together, except that a reference stream that fails is opened again
// on its own (by the recovery), into the same alignment, while the
// microphone passes through. Either stream's drop ends its callbacks before a
// stream of the same alignment is built, so only one feed ever pushes.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/audio_host.h"
#include "capture/capture.h"
#include "capture/recovery.h"
#include "delivery/coalescing_sink.h"
#include "echo/echo_canceller.h"
#include "data/format_converter.h"
#include "capture/input_stream.h"
#include "base/module_error.h"
#include "turn/turn_detector.h"

namespace parlanto_audio {

struct EchoCancelRequest {
  // The output device whose playback is the echo: the id as the device list
  // gives it, or none for the default output device at each opening.
  std::optional<std::string> reference_id;
  bool noise_suppression = false;
  bool gain_control = false;
  // The application name the reference stream shows in mixers; empty for the module's.
  std::string app_name = {};
  // None: default_echo_engine().
  std::optional<EchoEngineKind> engine;
  // Opening again after a failure: the microphone opens even if the
  // reference cannot (the reference then counts as lost and is reopened on
  // its own). A first open fails instead.
  bool reference_may_fail = false;
};

struct LayerRequest {
  CaptureKind kind = CaptureKind::kMicrophone;
  std::optional<std::string> device_id;
  // Zero fields keep the device's rate or channel count.
  PcmFormat format;
  std::uint32_t bound_ms = 10'000;
  std::uint32_t chunk_ms = 0;  // the least audio a delivery waits for; 0 for any
  // Opening again: the device must be the one `device_id` names (no fallback
  // to the default).
  bool exact_device = false;
  std::optional<EchoCancelRequest> echo_cancel;  // microphones only
  // The application name the stream shows in mixers; empty for the module's.
  std::string app_name = {};
  TurnOptions turn;
};

// The echo reference's loopback stream. `failed` is set by its error callback.
struct ReferenceStream {
  std::unique_ptr<Stream> stream;
  std::shared_ptr<std::atomic<bool>> failed = std::make_shared<std::atomic<bool>>(false);
  std::string device_id;
};

// A stream that runs, and what it delivers.
struct OpenedLayerStream {
  std::unique_ptr<Stream> stream;
  // Set by the stream's error callback.
  std::shared_ptr<std::atomic<bool>> failed = std::make_shared<std::atomic<bool>>(false);
  // With echo cancellation: where the canceller's reference comes from, and
  // its stream (dropped before the microphone's). Without: null and empty.
  std::shared_ptr<ReferenceAlignment> alignment;
  ReferenceStream reference;
  EchoEngineKind echo_engine = EchoEngineKind::kWebRtc;  // with echo cancellation
  PcmFormat device;
  PcmFormat delivered;
  std::string device_id;  // text form of the device it was opened on; empty if unknown
  // What opening the same capture again asks for: the same format, and the
  // id the device was found by, or the default of the kind then.
  LayerRequest again;
};

// Chooses the device and starts its stream with up to kStartAttempts attempts,
// as Capture::start does, with the same errors; with echo cancellation, the
// reference device too (an unknown or missing one is an error, not a
// fallback), and the canceller's engine. Runs on any thread; blocks
// while the audio system answers and between attempts. Gives up between
// attempts once `stopped` is set.
ModuleResult<OpenedLayerStream> open_layer_stream(const LayerRequest& request,
                                                  const std::shared_ptr<CoalescingSink>& sink,
                                                  const std::shared_ptr<std::atomic<bool>>& stopped,
                                                  RetryPause pause = sleep_for_retry);

// Opens the loopback stream of `request`'s reference device into
// `alignment`: one attempt, on any thread but an audio thread. Its failure is
// reported on standard error, marks the reference lost and tells the sink.
ModuleResult<ReferenceStream> open_reference_stream(
    const EchoCancelRequest& request, const std::shared_ptr<ReferenceAlignment>& alignment,
    const std::shared_ptr<CoalescingSink>& sink);

class LayerSession {
 public:
  LayerSession() = default;
  ~LayerSession() { stop(); }
  LayerSession(const LayerSession&) = delete;
  LayerSession& operator=(const LayerSession&) = delete;

  // The stop flag that an open in progress and the stream's callback share.
  const std::shared_ptr<std::atomic<bool>>& stopped() const { return stopped_; }
  // What the delivery handle calls when a stream fails: the recovery looks.
  std::function<void()> fault_listener() const { return recovery_.waker(); }

  // An open from JavaScript (the first, or a move to the new default) may
  // begin: false while another open is in flight (the recovery's, or a
  // move's). Every begin_open() that returned true ends with adopt() or
  // open_failed().
  bool begin_open();
  // Takes a stream that opened; drops it at once if stop() came first. The
  // first starts the recovery, which from then on opens the device again
  // after a failure and reports a device that gives no audio (Recovery).
  bool adopt(OpenedLayerStream opened, std::shared_ptr<CoalescingSink> sink);
  // An open from JavaScript failed; after a move the capture has no stream,
  // and the recovery opens the default of the kind.
  void open_failed();
  // Drops the stream and its reference stream (a move to another device);
  // the sink stays for the next one.
  void drop_stream();
  // Sets the stop flag, ends the recovery, and drops the streams and the
  // session's sink holder. Waits at most for one host call of an open under way.
  void stop();

  // The reference of an echo-cancelled capture failed and is to be opened
  // again, or, with `running_too`, moves to another device even though it
  // runs. kOpen: the stream is dropped, and `alignment` is what a new
  // one feeds; kNothing: no canceller, or its reference runs; kBusy: the
  // microphone (which brings a reference of its own) or the reference is
  // being opened already, ask again later.
  struct ReferenceReopen {
    enum Outcome : std::uint8_t { kOpen, kNothing, kBusy, kStopped } outcome;
    std::shared_ptr<ReferenceAlignment> alignment;
    EchoCancelRequest request;  // what opens it; with kOpen
  };
  ReferenceReopen begin_reference_reopen(bool running_too = false);
  // Ends what begin_reference_reopen began: takes the stream opened for
  // `alignment`, if one opened, unless the capture stopped or its
  // microphone was opened again since (then false, and the stream drops).
  bool end_reference_reopen(const std::shared_ptr<ReferenceAlignment>& alignment,
                            std::optional<ReferenceStream> opened);

  bool stopped_now() const { return stopped_->load(); }
  // Set by the first adopt(), until stop(); JavaScript thread.
  const std::shared_ptr<CoalescingSink>& sink() const { return sink_; }
  // What opening the capture again asks for.
  LayerRequest again() const;

 private:
  // The recovery's hooks (Recovery::Hooks), on its thread.
  bool needs_open() const;
  void drop_failed();
  bool reopen();
  void keep_reference();

  // Moves the streams out, for the caller to drop once the lock is let go.
  struct Dropped {
    std::unique_ptr<Stream> stream;
    ReferenceStream reference;  // last, so it drops before the microphone's
  };
  Dropped take_streams();

  std::shared_ptr<std::atomic<bool>> stopped_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<CoalescingSink> sink_;

  // Guards the fields below it. Never held while calling the host or
  // dropping a stream, so a backend's error callback can always go on.
  mutable std::mutex mutex_;
  std::unique_ptr<Stream> stream_;
  std::shared_ptr<std::atomic<bool>> stream_failed_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<ReferenceAlignment> alignment_;
  ReferenceStream reference_;                          // dropped before stream_
  std::shared_ptr<ReferenceAlignment> reopening_for_;  // the alignment a reopen in flight feeds
  LayerRequest again_;
  bool opening_ = false;     // an open is in flight
  bool needs_open_ = false;  // there is no stream, and the recovery is to open one

  Recovery recovery_;  // last: its thread uses the rest
};

}  // namespace parlanto_audio
