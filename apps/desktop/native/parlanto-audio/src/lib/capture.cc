#include "capture.h"

#include <utility>

namespace parlanto_audio {

Capture::Capture(CaptureKind kind, std::optional<std::string> device_id)
    : kind_(kind),
      stopped_(std::make_shared<std::atomic<bool>>(false)),
      device_id_(std::move(device_id)),
      channel_count_(kind == CaptureKind::kMicrophone ? 1 : 2) {}

Capture::~Capture() { finalize(); }

ModuleResult<Ok> Capture::start(napi_env env, napi_value on_data, napi_value on_speech_ended,
                                RetryPause pause) {
  if (stream_) return Ok{};

  std::shared_ptr<Host> host = default_host();
  if (!host) {
    return module_error(kind_ == CaptureKind::kSystemLoopback
                            ? "No default output device (system audio)"
                            : "No default input device found");
  }
  ModuleResult<std::shared_ptr<Device>> device =
      pick_device(*host, device_id_, kind_ == CaptureKind::kSystemLoopback);
  if (!device) return unexpected(std::move(device).error());

  stopped_->exchange(false);
  ModuleResult<InputStream> started =
      begin_input_stream(**device, StartCallbacks{env, on_data, on_speech_ended}, stopped_, pause);
  if (!started) return unexpected(std::move(started).error());

  InputStream& input = *started;
  sample_rate_ = input.sample_rate;
  channel_count_ = input.channels;
  chunk_sink_ = std::move(input.chunk_sink);
  stream_ = std::move(input.stream);
  host_ = std::move(host);
  return Ok{};
}

void Capture::stop() {
  stopped_->exchange(true);
  stream_.reset();
  chunk_sink_.reset();
  host_.reset();
}

void Capture::finalize() {
  stopped_.reset();
  stream_.reset();
  device_id_.reset();
  chunk_sink_.reset();
  host_.reset();
}

}  // namespace parlanto_audio
