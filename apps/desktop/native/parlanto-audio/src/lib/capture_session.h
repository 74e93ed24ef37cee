#pragma once

// The capture layer's native capture object: one stream whose buffers go
// through a CaptureTap to a CoalescingSink. Unlike Capture, its start is
// split so that the waiting part runs off the JavaScript thread:
// prepare (JavaScript thread: the delivery handle), open (any thread: device
// choice, stream set-up, retries), adopt (JavaScript thread: the session takes
// the stream). stop() and the destructor run on the JavaScript thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "audio_host.h"
#include "capture.h"
#include "coalescing_sink.h"
#include "format_converter.h"
#include "input_stream.h"
#include "module_error.h"

namespace parlanto_audio {

struct SessionRequest {
  CaptureKind kind = CaptureKind::kMicrophone;
  std::optional<std::string> device_id;
  // Zero fields keep the device's rate or channel count.
  PcmFormat format;
  std::uint32_t bound_ms = 10'000;
  std::uint32_t chunk_ms = 0;  // the least audio a delivery waits for; 0 for any
};

// A stream that runs, and what it delivers.
struct OpenedSession {
  std::unique_ptr<Stream> stream;
  PcmFormat device;
  PcmFormat delivered;
  std::string device_id;  // text form of the device it was opened on; empty if unknown
};

// Chooses the device and starts its stream with up to kStartAttempts attempts,
// as Capture::start does, with the same errors. Runs on any thread; blocks
// while the audio system answers and between attempts. Gives up between
// attempts once `stopped` is set.
ModuleResult<OpenedSession> open_session_stream(const SessionRequest& request,
                                                const std::shared_ptr<CoalescingSink>& sink,
                                                const std::shared_ptr<std::atomic<bool>>& stopped,
                                                RetryPause pause = sleep_for_retry);

class CaptureSession {
 public:
  CaptureSession() = default;
  ~CaptureSession() { stop(); }
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  // The stop flag that an open in progress and the stream's callback share.
  const std::shared_ptr<std::atomic<bool>>& stopped() const { return stopped_; }

  // Takes a stream that opened; drops it at once if stop() came first.
  bool adopt(OpenedSession opened, std::shared_ptr<CoalescingSink> sink);
  // Sets the stop flag and drops the stream and the session's sink holder.
  void stop();

 private:
  std::shared_ptr<std::atomic<bool>> stopped_ = std::make_shared<std::atomic<bool>>(false);
  std::unique_ptr<Stream> stream_;
  std::shared_ptr<CoalescingSink> sink_;
};

}  // namespace parlanto_audio
