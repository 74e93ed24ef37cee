#include "capture/capture.h"

#include <mutex>
#include <utility>

#include "capture/recovery.h"
#include "data/capture_callback.h"

namespace parlanto_audio {

namespace {

using Clock = std::chrono::steady_clock;

// Set once by the error callback of one stream (on a backend thread), read by
// the recovery thread.
class StreamFault {
 public:
  void fail(std::string text) {
    std::lock_guard lock(mutex_);
    if (failed_) return;
    failed_ = true;
    text_ = std::move(text);
  }
  bool failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
  }
  std::string text() const {
    std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  mutable std::mutex mutex_;
  bool failed_ = false;
  std::string text_;
};

}  // namespace

// A started capture. The JavaScript thread makes it with the first stream and
// ends it with shutdown(); in between its Recovery owns the stream's life: it
// reports a stream that failed and opens the device again, and reports once
// when no data has come for kNoDataTimeout.
//
// Locks: mutex_ guards the stream, its fault and quit_. Nobody holds it while
// calling the host or dropping a stream, so a backend's error callback (which
// may run under the backend's own lock) can always take it.
class CaptureSession : public std::enable_shared_from_this<CaptureSession> {
 public:
  struct Setup {
    std::shared_ptr<Host> host;
    bool is_output = false;
    std::optional<DeviceId> device_id;  // none: the default device of the kind, at each opening
    StreamRole role = StreamRole::kMicrophone;
    std::shared_ptr<std::atomic<bool>> stopped;
  };

  explicit CaptureSession(Setup setup) : setup_(std::move(setup)) {}

  ~CaptureSession() { shutdown(); }

  // What the streams of this session are built with; `fault` is the stream's own.
  StreamHooks hooks(std::shared_ptr<StreamFault> fault) {
    return StreamHooks{setup_.role, buffers_,
                       [wake = recovery_.waker(), fault = std::move(fault)](const HostError& error) {
                         report_stream_error(error);
                         fault->fail(error.text);
                         wake();
                       }};
  }

  // Takes the first stream and starts the recovery thread; false when no
  // thread could be had (the stream goes with the session then).
  bool run(InputStream started, std::shared_ptr<StreamFault> fault) {
    config_ = StreamConfig{started.channels, started.sample_rate, setup_.role};
    chunk_sink_ = std::move(started.chunk_sink);
    speech_ended_sink_ = std::move(started.speech_ended_sink);
    {
      std::lock_guard lock(mutex_);
      stream_ = std::move(started.stream);
      fault_ = std::move(fault);
    }
    last_data_ = Clock::now();
    return recovery_.start(Recovery::Hooks{
        [this] {
          std::lock_guard lock(mutex_);
          return fault_->failed();
        },
        [this] { drop_failed(); }, [this] { return reopen(); }, [this] { return idle_ms(); },
        [this] {
          const HostError error{no_data_text()};
          report_stream_error(error);
          report(error.text);
        },
        {}});
  }

  // Ends the recovery thread, then drops the stream and the sinks. Waits at
  // most for one host call of a reopening that is under way.
  void shutdown() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    recovery_.stop();
    std::unique_ptr<Stream> stream;
    {
      std::lock_guard lock(mutex_);
      stream = std::move(stream_);
    }
    stream.reset();
    chunk_sink_.reset();
    speech_ended_sink_.reset();
  }

 private:
  // The error reaches JavaScript as onData(error), behind the chunks queued
  // before it; never after stop().
  void report(const std::string& text) {
    if (setup_.stopped->load() || !chunk_sink_) return;
    chunk_sink_->call_error("stream error: " + text, napi_tsfn_nonblocking);
  }

  void drop_failed() {
    std::unique_ptr<Stream> failed;
    std::string text;
    {
      std::lock_guard lock(mutex_);
      failed = std::move(stream_);
      text = fault_->text();
    }
    report(text);
  }

  // One attempt: the same device id, or the default of the kind now; the
  // same configuration; a fresh gate.
  bool reopen() {
    {
      std::lock_guard lock(mutex_);
      if (quit_) return true;
    }
    auto fault = std::make_shared<StreamFault>();
    ModuleResult<InputStream> opened = open(fault);
    std::unique_lock lock(mutex_);
    if (const bool quit = quit_; quit || !opened) {
      lock.unlock();  // a stream opened after all goes here, outside the lock
      return quit;
    }
    stream_ = std::move(opened->stream);
    fault_ = std::move(fault);
    seen_ = buffers_->load(std::memory_order_relaxed);
    last_data_ = Clock::now();
    return true;
  }

  ModuleResult<InputStream> open(std::shared_ptr<StreamFault> fault) {
    Host& host = *setup_.host;
    HostResult<std::shared_ptr<Device>> device = setup_.device_id
                                                     ? host.device_by_id(*setup_.device_id)
                                                 : setup_.is_output ? host.default_output_device()
                                                                    : host.default_input_device();
    if (!device) return module_error(std::move(device.error().text));
    if (!*device) return module_error("the device is not there");
    return reopen_input_stream(**device, config_, chunk_sink_, speech_ended_sink_, setup_.stopped,
                               hooks(std::move(fault)));
  }

  // Time since a buffer last came; the recovery thread's own.
  double idle_ms() {
    const Clock::time_point now = Clock::now();
    if (const std::uint64_t count = buffers_->load(std::memory_order_relaxed); count != seen_) {
      seen_ = count;
      last_data_ = now;
    }
    return std::chrono::duration<double, std::milli>(now - last_data_).count();
  }

  const Setup setup_;
  const std::shared_ptr<std::atomic<std::uint64_t>> buffers_ =
      std::make_shared<std::atomic<std::uint64_t>>(0);
  // Written by run() before the thread starts; constant while it runs.
  StreamConfig config_;
  std::shared_ptr<JsCallbackSink> chunk_sink_;
  std::shared_ptr<JsCallbackSink> speech_ended_sink_;  // null without a speech-ended callback
  // The recovery thread's own.
  std::uint64_t seen_ = 0;
  Clock::time_point last_data_;

  std::mutex mutex_;
  std::unique_ptr<Stream> stream_;      // guarded by mutex_
  std::shared_ptr<StreamFault> fault_;  // guarded by mutex_; the current stream's
  bool quit_ = false;                   // guarded by mutex_
  Recovery recovery_;                   // last: its thread uses the rest
};

Capture::Capture(CaptureKind kind, std::optional<std::string> device_id)
    : kind_(kind),
      stopped_(std::make_shared<std::atomic<bool>>(false)),
      device_id_(std::move(device_id)),
      channel_count_(kind == CaptureKind::kMicrophone ? 1 : 2) {}

Capture::~Capture() { finalize(); }

ModuleResult<Ok> Capture::start(napi_env env, napi_value on_data, napi_value on_speech_ended,
                                RetryPause pause) {
  if (session_) return Ok{};

  const bool is_output = kind_ == CaptureKind::kSystemLoopback;
  std::shared_ptr<Host> host = default_host();
  if (!host) {
    return module_error(is_output ? "No default output device (system audio)"
                                  : "No default input device found");
  }
  ModuleResult<PickedDevice> picked = pick_device(*host, device_id_, is_output);
  if (!picked) return unexpected(std::move(picked).error());

  stopped_->exchange(false);
  auto session = std::make_shared<CaptureSession>(CaptureSession::Setup{
      host, is_output, picked->id, is_output ? StreamRole::kSystemAudio : StreamRole::kMicrophone,
      stopped_});
  auto fault = std::make_shared<StreamFault>();
  ModuleResult<InputStream> started =
      begin_input_stream(*picked->device, StartCallbacks{env, on_data, on_speech_ended}, stopped_,
                         pause, session->hooks(fault));
  if (!started) return unexpected(std::move(started).error());

  sample_rate_ = started->sample_rate;
  channel_count_ = started->channels;
  if (!session->run(std::move(*started), std::move(fault))) {
    return module_error("Failed to start the capture's recovery thread");
  }
  session_ = std::move(session);
  return Ok{};
}

void Capture::stop() {
  stopped_->exchange(true);
  if (session_) session_->shutdown();
  session_.reset();
}

void Capture::finalize() {
  stopped_.reset();
  if (session_) session_->shutdown();
  session_.reset();
  device_id_.reset();
}

}  // namespace parlanto_audio
