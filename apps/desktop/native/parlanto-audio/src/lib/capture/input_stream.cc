#include "capture/input_stream.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <thread>
#include <utility>

#include "base/unicode_text.h"
#include "data/capture_callback.h"
#include "turn/speech_ended_gate.h"

namespace parlanto_audio {

namespace {

constexpr std::array<std::uint32_t, 4> kPreferredRates = {48000, 44100, 32000, 16000};

void add_candidate(std::vector<StreamConfig>& configs, std::uint16_t channels,
                   std::uint32_t sample_rate) {
  const StreamConfig config{channels, sample_rate};
  if (std::find(configs.begin(), configs.end(), config) == configs.end()) {
    configs.push_back(config);
  }
}

const char* no_device_message(bool is_output) {
  return is_output ? "No default output device (system audio)" : "No default input device found";
}

// Builds the first of `configs` that builds, each with a fresh gate for its
// own rate and channel count when `speech_ended_sink` is given, and plays it.
ModuleResult<InputStream> build_and_play(Device& device, SampleFormat format,
                                         const std::vector<StreamConfig>& configs,
                                         std::shared_ptr<JsCallbackSink> chunk_sink,
                                         std::shared_ptr<JsCallbackSink> speech_ended_sink,
                                         const std::shared_ptr<std::atomic<bool>>& stopped,
                                         const StreamHooks& hooks) {
  if (!is_stream_format(format)) {
    return module_error("Unsupported sample format: " + std::string(sample_format_name(format)));
  }
  Expected<BuiltStream, HostError> built = build_first_candidate(
      device, format, configs, hooks.role, {},
      [&](const StreamConfig& config) {
        std::shared_ptr<SpeechEndedGate> gate;
        if (speech_ended_sink) {
          gate = std::make_shared<SpeechEndedGate>(speech_ended_sink, config.sample_rate,
                                                   config.channels);
        }
        return Candidate<CaptureCallback>{
            CaptureCallback{stopped, chunk_sink, std::move(gate), hooks.buffers}};
      },
      hooks.on_error);
  if (!built) {
    return module_error("build_input_stream failed: " + built.error().text, {}, built.error().kind);
  }
  if (HostResult<Ok> played = built->stream->play(); !played) {
    return module_error("play stream failed: " + played.error().text, {}, played.error().kind);
  }
  return InputStream{std::move(built->stream), std::move(chunk_sink), std::move(speech_ended_sink),
                     built->config.sample_rate, built->config.channels};
}

}  // namespace

std::optional<DeviceId> parse_device_id(const Host& host,
                                        const std::optional<std::string>& device_id) {
  if (!device_id) return std::nullopt;
  const std::string_view trimmed = trim_unicode_whitespace(*device_id);
  if (trimmed.empty() || trimmed.size() > kMaxDeviceIdBytes) return std::nullopt;
  return host.parse_device_id(trimmed);
}

ModuleResult<PickedDevice> pick_device(Host& host, const std::optional<std::string>& device_id,
                                       bool is_output) {
  if (std::optional<DeviceId> id = parse_device_id(host, device_id)) {
    HostResult<std::shared_ptr<Device>> found = host.device_by_id(*id);
    // Without an answer about this device the default cannot be had either;
    // asking again would only double the wait.
    if (!found) return module_error(no_device_message(is_output), std::move(found.error().text));
    if (*found) return PickedDevice{std::move(*found), std::move(id)};
  }
  HostResult<std::shared_ptr<Device>> device =
      is_output ? host.default_output_device() : host.default_input_device();
  if (!device) return module_error(no_device_message(is_output), std::move(device.error().text));
  if (!*device) return module_error(no_device_message(is_output));
  return PickedDevice{std::move(*device), std::nullopt};
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
  if (!first)
    return module_error("Failed to read stream config: " + first.error().text, {},
                        first.error().kind);
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
    if (!second)
      return module_error("Failed to read stream config: " + second.error().text, {},
                          second.error().kind);
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
                                                      std::shared_ptr<std::atomic<bool>> stopped,
                                                      const StreamHooks& hooks) {
  ModuleResult<StreamCandidates> candidates = stream_candidates(device);
  if (!candidates) return unexpected(std::move(candidates).error());

  ModuleResult<std::shared_ptr<JsCallbackSink>> chunk_sink =
      JsCallbackSink::create(callbacks.env, callbacks.on_data, JsCallbackSink::Converter::kChunk);
  if (!chunk_sink) return unexpected(std::move(chunk_sink).error());

  std::shared_ptr<JsCallbackSink> speech_ended_sink;
  if (callbacks.on_speech_ended != nullptr) {
    ModuleResult<std::shared_ptr<JsCallbackSink>> created = JsCallbackSink::create(
        callbacks.env, callbacks.on_speech_ended, JsCallbackSink::Converter::kSpeechEnded);
    if (!created) return unexpected(std::move(created).error());
    speech_ended_sink = std::move(*created);
  }
  return build_and_play(device, candidates->format, candidates->configs, std::move(*chunk_sink),
                        std::move(speech_ended_sink), stopped, hooks);
}

ModuleResult<InputStream> reopen_input_stream(Device& device, const StreamConfig& config,
                                              std::shared_ptr<JsCallbackSink> chunk_sink,
                                              std::shared_ptr<JsCallbackSink> speech_ended_sink,
                                              std::shared_ptr<std::atomic<bool>> stopped,
                                              const StreamHooks& hooks) {
  const bool input_side = device.supports_input();
  const HostResult<SupportedStreamConfig> current =
      input_side ? device.default_input_config() : device.default_output_config();
  if (!current)
    return module_error("Failed to read stream config: " + current.error().text, {},
                        current.error().kind);
  return build_and_play(device, current->sample_format, {config}, std::move(chunk_sink),
                        std::move(speech_ended_sink), stopped, hooks);
}

bool is_retryable(const ModuleError& error) { return error.kind == ErrorKind::kBusy; }

ModuleResult<InputStream> begin_input_stream(Device& device, const StartCallbacks& callbacks,
                                             std::shared_ptr<std::atomic<bool>> stopped,
                                             RetryPause pause, const StreamHooks& hooks) {
  return with_start_retries(
      [&] { return try_begin_input_stream_once(device, callbacks, stopped, hooks); }, pause,
      [] { return false; });
}

}  // namespace parlanto_audio
