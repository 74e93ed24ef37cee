#include "input_stream.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <thread>
#include <utility>

#include "capture_callback.h"
#include "speech_ended_gate.h"
#include "unicode_text.h"

namespace parlanto_audio {

namespace {

constexpr std::array<std::uint32_t, 4> kPreferredRates = {48000, 44100, 32000, 16000};

constexpr std::array<std::string_view, 4> kRetryPhrases = {
    "timeout waiting for sample rate", "sample rate", "device is busy", "not available"};

void add_candidate(std::vector<StreamConfig>& configs, std::uint16_t channels,
                   std::uint32_t sample_rate) {
  const StreamConfig config{channels, sample_rate};
  if (std::find(configs.begin(), configs.end(), config) == configs.end()) {
    configs.push_back(config);
  }
}

template <typename Callback>
HostResult<std::unique_ptr<Stream>> build(Device& device, SampleFormat format,
                                          const StreamConfig& config, Callback callback) {
  if (format == SampleFormat::F32) {
    return device.build_input_stream_f32(config, std::move(callback), report_stream_error);
  }
  return device.build_input_stream_i16(config, std::move(callback), report_stream_error);
}

}  // namespace

ModuleResult<std::shared_ptr<Device>> pick_device(Host& host,
                                                  const std::optional<std::string>& device_id,
                                                  bool is_output) {
  if (device_id) {
    const std::string_view trimmed = trim_unicode_whitespace(*device_id);
    if (!trimmed.empty()) {
      if (std::optional<DeviceId> id = host.parse_device_id(trimmed)) {
        if (std::shared_ptr<Device> device = host.device_by_id(*id)) return device;
      }
    }
  }
  if (is_output) {
    if (std::shared_ptr<Device> device = host.default_output_device()) return device;
    return module_error("No default output device (system audio)");
  }
  if (std::shared_ptr<Device> device = host.default_input_device()) return device;
  return module_error("No default input device found");
}

std::vector<std::uint32_t> preferred_rates_in_range(std::uint32_t min_rate,
                                                    std::uint32_t max_rate) {
  std::vector<std::uint32_t> rates;
  for (const std::uint32_t rate : kPreferredRates) {
    if (rate >= min_rate && rate <= max_rate) rates.push_back(rate);
  }
  if (rates.empty()) {
    rates.push_back(max_rate);
    if (min_rate != max_rate) rates.push_back(min_rate);
  }
  return rates;
}

ModuleResult<StreamCandidates> stream_candidates(const Device& device) {
  const bool input_side = device.supports_input();
  const auto read_default = [&] {
    return input_side ? device.default_input_config() : device.default_output_config();
  };

  const HostResult<SupportedStreamConfig> first = read_default();
  if (!first) return module_error("Failed to read stream config: " + first.error().text);
  StreamCandidates candidates{first->sample_format, {}};
  std::vector<StreamConfig>& configs = candidates.configs;

  // The default is read again: the audio system may have moved on since.
  const HostResult<SupportedStreamConfig> second = read_default();
  if (second && second->sample_format == candidates.format) {
    add_candidate(configs, second->channels, second->sample_rate);
  }

  const HostResult<std::vector<SupportedStreamConfigRange>> ranges =
      input_side ? device.supported_input_configs() : device.supported_output_configs();
  if (ranges) {
    for (const SupportedStreamConfigRange& range : ranges.value()) {
      if (range.sample_format != candidates.format) continue;
      for (const std::uint32_t rate :
           preferred_rates_in_range(range.min_sample_rate, range.max_sample_rate)) {
        const SupportedStreamConfig config = range.with_sample_rate(rate);
        add_candidate(configs, config.channels, config.sample_rate);
      }
    }
  }

  if (configs.empty()) {
    if (!second) return module_error("Failed to read stream config: " + second.error().text);
    const std::uint16_t channels = second->channels;
    add_candidate(configs, channels, second->sample_rate);
    for (const std::uint32_t rate : kPreferredRates) add_candidate(configs, channels, rate);
    add_candidate(configs, 2, 48000);
    add_candidate(configs, 2, 44100);
    add_candidate(configs, 1, 48000);
    add_candidate(configs, 1, 44100);
  }
  return candidates;
}

void sleep_for_retry(std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }

ModuleResult<InputStream> try_begin_input_stream_once(Device& device,
                                                      const StartCallbacks& callbacks,
                                                      std::shared_ptr<std::atomic<bool>> stopped) {
  ModuleResult<StreamCandidates> candidates = stream_candidates(device);
  if (!candidates) return unexpected(std::move(candidates).error());
  const SampleFormat format = candidates->format;

  ModuleResult<std::shared_ptr<JsCallbackSink>> chunk_sink =
      JsCallbackSink::create(callbacks.env, callbacks.on_data, JsCallbackSink::Converter::kChunk);
  if (!chunk_sink) return unexpected(std::move(chunk_sink).error());

  // This attempt's holder of the gate; after a successful build only the
  // stream's data callback keeps it.
  std::shared_ptr<SpeechEndedGate> gate;
  if (callbacks.on_speech_ended != nullptr) {
    ModuleResult<std::shared_ptr<JsCallbackSink>> speech_ended_sink = JsCallbackSink::create(
        callbacks.env, callbacks.on_speech_ended, JsCallbackSink::Converter::kSpeechEnded);
    if (!speech_ended_sink) return unexpected(std::move(speech_ended_sink).error());
    gate = std::make_shared<SpeechEndedGate>(std::move(*speech_ended_sink));
  }

  if (format != SampleFormat::F32 && format != SampleFormat::I16) {
    return module_error("Unsupported sample format: " + std::string(sample_format_name(format)));
  }

  std::unique_ptr<Stream> stream;
  StreamConfig built;
  std::string last_build_error;
  for (const StreamConfig& config : candidates->configs) {
    HostResult<std::unique_ptr<Stream>> result =
        build(device, format, config, CaptureCallback{stopped, *chunk_sink, gate});
    if (result) {
      stream = std::move(result).value();
      built = config;
      break;
    }
    last_build_error = std::move(result).error().text;
  }
  if (!stream) return module_error("build_input_stream failed: " + last_build_error);

  if (HostResult<Ok> played = stream->play(); !played) {
    return module_error("play stream failed: " + played.error().text);
  }
  return InputStream{std::move(stream), std::move(*chunk_sink), built.sample_rate, built.channels};
}

bool is_retryable(const ModuleError& error) {
  const std::string text = lowercase_utf8(error_text(error));
  return std::any_of(kRetryPhrases.begin(), kRetryPhrases.end(), [&](std::string_view phrase) {
    return text.find(phrase) != std::string::npos;
  });
}

ModuleResult<InputStream> begin_input_stream(Device& device, const StartCallbacks& callbacks,
                                             std::shared_ptr<std::atomic<bool>> stopped,
                                             RetryPause pause) {
  for (int attempt = 1;; ++attempt) {
    ModuleResult<InputStream> result = try_begin_input_stream_once(device, callbacks, stopped);
    if (result || attempt == kStartAttempts || !is_retryable(result.error())) return result;
    pause(kRetryPause);
  }
}

}  // namespace parlanto_audio
