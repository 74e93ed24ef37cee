#include "layer_session.h"

#include <utility>

#include "capture_callback.h"
#include "capture_tap.h"

namespace parlanto_audio {

namespace {

template <typename Callback>
HostResult<std::unique_ptr<Stream>> build(Device& device, SampleFormat format,
                                          const StreamConfig& config, Callback callback,
                                          StreamErrorCallback on_error) {
  if (format == SampleFormat::F32) {
    return device.build_input_stream_f32(config, std::move(callback), std::move(on_error));
  }
  return device.build_input_stream_i16(config, std::move(callback), std::move(on_error));
}

ModuleResult<OpenedLayerStream> open_once(Device& device, const LayerRequest& request,
                                      const std::shared_ptr<CoalescingSink>& sink,
                                      const std::shared_ptr<std::atomic<bool>>& stopped) {
  ModuleResult<StreamCandidates> candidates = stream_candidates(device);
  if (!candidates) return unexpected(std::move(candidates).error());
  const SampleFormat format = candidates->format;
  if (format != SampleFormat::F32 && format != SampleFormat::I16) {
    return module_error("Unsupported sample format: " + std::string(sample_format_name(format)));
  }

  // Stream errors keep their standard-error line and reach the layer too.
  const std::weak_ptr<CoalescingSink> weak_sink = sink;
  const StreamErrorCallback on_error = [weak_sink](const HostError& error) {
    report_stream_error(error);
    if (const auto held = weak_sink.lock()) held->stream_error("stream error: " + error.text);
  };

  OpenedLayerStream opened;
  std::string last_build_error;
  for (StreamConfig config : candidates->configs) {
    config.role = request.kind == CaptureKind::kSystemLoopback ? StreamRole::kSystemAudio
                                                               : StreamRole::kMicrophone;
    const PcmFormat from{config.sample_rate, config.channels};
    const PcmFormat to{request.format.sample_rate ? request.format.sample_rate : from.sample_rate,
                       request.format.channels ? request.format.channels : from.channels};
    std::unique_ptr<FormatConverter> converter = FormatConverter::create(from, to);
    if (!converter) {
      last_build_error = "cannot convert " + std::to_string(from.sample_rate) + " Hz to " +
                         std::to_string(to.sample_rate) + " Hz";
      continue;
    }
    const CaptureTap tap{stopped, std::make_shared<CaptureTapState>(sink, std::move(converter))};
    HostResult<std::unique_ptr<Stream>> result = build(device, format, config, tap, on_error);
    if (result) {
      opened.stream = std::move(result).value();
      opened.device = from;
      opened.delivered = to;
      break;
    }
    last_build_error = std::move(result).error().text;
  }
  if (!opened.stream) return module_error("build_input_stream failed: " + last_build_error);

  const std::uint64_t bound_frames =
      static_cast<std::uint64_t>(opened.delivered.sample_rate) * request.bound_ms / 1000;
  const std::uint64_t min_frames =
      static_cast<std::uint64_t>(opened.delivered.sample_rate) * request.chunk_ms / 1000;
  sink->configure(opened.delivered.channels, opened.delivered.sample_rate, bound_frames,
                  min_frames);
  if (HostResult<Ok> played = opened.stream->play(); !played) {
    return module_error("play stream failed: " + played.error().text);
  }
  if (HostResult<DeviceId> id = device.id()) opened.device_id = id->to_string();
  return opened;
}

}  // namespace

ModuleResult<OpenedLayerStream> open_layer_stream(const LayerRequest& request,
                                                const std::shared_ptr<CoalescingSink>& sink,
                                                const std::shared_ptr<std::atomic<bool>>& stopped,
                                                RetryPause pause) {
  const bool is_output = request.kind == CaptureKind::kSystemLoopback;
  std::shared_ptr<Host> host = default_host();
  if (!host) {
    return module_error(is_output ? "No default output device (system audio)"
                                  : "No default input device found");
  }
  std::shared_ptr<Device> device;
  std::optional<std::string> found_by;
  if (request.exact_device && request.device_id) {
    std::optional<DeviceId> id = parse_device_id(*host, request.device_id);
    HostResult<std::shared_ptr<Device>> exact =
        id ? host->device_by_id(*id) : HostResult<std::shared_ptr<Device>>(nullptr);
    if (!exact) return module_error(std::move(exact.error().text));
    if (!*exact) return module_error("the device is not there");
    device = *exact;
    found_by = request.device_id;
  } else {
    ModuleResult<PickedDevice> picked = pick_device(*host, request.device_id, is_output);
    if (!picked) return unexpected(std::move(picked).error());
    device = picked->device;
    if (picked->id) found_by = picked->id->to_string();
  }

  for (int attempt = 1;; ++attempt) {
    ModuleResult<OpenedLayerStream> result = open_once(*device, request, sink, stopped);
    if (result) {
      result->again = request;
      result->again.device_id = found_by;
      result->again.exact_device = found_by.has_value();
      result->again.format = result->delivered;
      return result;
    }
    if (attempt == kStartAttempts || !is_retryable(result.error()) || stopped->load()) {
      return result;
    }
    pause(kRetryPause);
  }
}

bool LayerSession::adopt(OpenedLayerStream opened, std::shared_ptr<CoalescingSink> sink) {
  if (stopped_->load()) return false;  // the stream and its callbacks go with `opened`
  stream_ = std::move(opened.stream);
  sink_ = std::move(sink);
  again_ = std::move(opened.again);
  return true;
}

void LayerSession::stop() {
  stopped_->exchange(true);
  stream_.reset();
  sink_.reset();
}

}  // namespace parlanto_audio
