#pragma once

// The capture layer's native capture object: one stream at a time whose
// buffers go through a CaptureTap to one CoalescingSink. Unlike Capture, its
// start is split so that the waiting part runs off the JavaScript thread:
// prepare (JavaScript thread: the delivery handle), open (any thread: device
// choice, stream set-up, retries), adopt (JavaScript thread: the session takes
// the stream). After a stream error the layer opens the device again the same
// way, into the same delivery handle, so the delivered clock runs on across
// the gap. stop() and the destructor run on the JavaScript thread.

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
};

// A stream that runs, and what it delivers.
struct OpenedLayerStream {
  std::unique_ptr<Stream> stream;
  PcmFormat device;
  PcmFormat delivered;
  std::string device_id;  // text form of the device it was opened on; empty if unknown
  // What opening the same capture again asks for: the same format, and the
  // id the device was found by, or the default of the kind then.
  LayerRequest again;
};

// Chooses the device and starts its stream with up to kStartAttempts attempts,
// as Capture::start does, with the same errors. Runs on any thread; blocks
// while the audio system answers and between attempts. Gives up between
// attempts once `stopped` is set.
ModuleResult<OpenedLayerStream> open_layer_stream(const LayerRequest& request,
                                                const std::shared_ptr<CoalescingSink>& sink,
                                                const std::shared_ptr<std::atomic<bool>>& stopped,
                                                RetryPause pause = sleep_for_retry);

class LayerSession {
 public:
  LayerSession() = default;
  ~LayerSession() { stop(); }
  LayerSession(const LayerSession&) = delete;
  LayerSession& operator=(const LayerSession&) = delete;

  // The stop flag that an open in progress and the stream's callback share.
  const std::shared_ptr<std::atomic<bool>>& stopped() const { return stopped_; }

  // Takes a stream that opened (the first, or one opened again); drops it at
  // once if stop() came first.
  bool adopt(OpenedLayerStream opened, std::shared_ptr<CoalescingSink> sink);
  // Drops a stream that failed; the sink stays for the next one.
  void drop_stream() { stream_.reset(); }
  // Sets the stop flag and drops the stream and the session's sink holder.
  void stop();

  bool stopped_now() const { return stopped_->load(); }
  const std::shared_ptr<CoalescingSink>& sink() const { return sink_; }
  const LayerRequest& again() const { return again_; }

 private:
  std::shared_ptr<std::atomic<bool>> stopped_ = std::make_shared<std::atomic<bool>>(false);
  std::unique_ptr<Stream> stream_;
  std::shared_ptr<CoalescingSink> sink_;
  LayerRequest again_;
};

}  // namespace parlanto_audio
