#pragma once

// Stream set-up: which device to capture and which configuration to open it
// with, then the running input stream with its data callback. A start runs on
// the JavaScript thread and may block it (the audio system's queries, each
// bounded by the host's deadline, and the pauses between attempts); reopening
// runs on a capture's recovery thread. Nothing is kept between calls.

#include <node_api.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/module_error.h"
#include "data/capture_callback.h"
#include "delivery/js_callback_sink.h"
#include "host/audio_host.h"

namespace parlanto_audio {

// Device ids longer than this are unknown ids, never sent to the audio
// system: no system names its devices anywhere near this long (PulseAudio's
// names stop at 128 bytes, Windows endpoint ids are under 100 characters), and
// an absurd one could break the connection every capture shares.
inline constexpr std::size_t kMaxDeviceIdBytes = 1024;

// The id `device_id` names once trimmed, or nothing for a blank, malformed or
// over-long id.
std::optional<DeviceId> parse_device_id(const Host& host,
                                        const std::optional<std::string>& device_id);

struct PickedDevice {
  std::shared_ptr<Device> device;
  std::optional<DeviceId> id;  // the id it was found by; none when it is the default
};

// The device named by `device_id` (trimmed; blank, malformed, over-long and
// unknown ids fall back silently), else the default input device, or the
// default output device when `is_output`. When the audio system cannot be
// asked, the no-device error carries its reason as the cause.
ModuleResult<PickedDevice> pick_device(Host& host, const std::optional<std::string>& device_id,
                                       bool is_output);

// The preferred rates (48000, 44100, 32000, 16000) inside [min_rate, max_rate];
// when none is, `max_rate` then `min_rate` (once if equal).
std::vector<std::uint32_t> preferred_rates_in_range(std::uint32_t min_rate, std::uint32_t max_rate);

// The configurations one attempt tries, in order and without duplicates, and
// the sample format they all share: the format of the default configuration
// of the side the device has (input if it has one, else output).
struct StreamCandidates {
  SampleFormat format = SampleFormat::F32;
  std::vector<StreamConfig> configs;
};
ModuleResult<StreamCandidates> stream_candidates(const Device& device);

// Whether a stream's data callbacks can take `format`: floats or 16-bit integers.
inline bool is_stream_format(SampleFormat format) {
  return format == SampleFormat::F32 || format == SampleFormat::I16;
}

// What a stream's set-up makes of one candidate configuration: the data
// callback its stream is built with, or, without one, why it is passed over.
template <typename Callback>
struct Candidate {
  std::optional<Callback> callback;
  std::string passed_over = {};
};

// A stream built and not yet playing, and the configuration it was built with.
struct BuiltStream {
  std::unique_ptr<Stream> stream;
  StreamConfig config;
};

// The one walk over a device's candidates every stream (a capture's, the
// layer's, an echo reference's) is opened by: each of `configs`, labelled
// with `role` and `app_name`, gets its data callback from `prepare(config)`
// and is built in `format` (one is_stream_format allows); the first that
// builds is returned. Otherwise the last build error, or the reason the last
// candidate was passed over. Every stream goes with its callback on failure.
template <typename Prepare>
Expected<BuiltStream, HostError> build_first_candidate(Device& device, SampleFormat format,
                                                       const std::vector<StreamConfig>& configs,
                                                       StreamRole role, const std::string& app_name,
                                                       Prepare&& prepare,
                                                       const StreamErrorCallback& on_error) {
  HostError last;
  for (StreamConfig config : configs) {
    config.role = role;
    config.app_name = app_name;
    auto candidate = prepare(std::as_const(config));
    if (!candidate.callback) {
      last = HostError{std::move(candidate.passed_over)};
      continue;
    }
    HostResult<std::unique_ptr<Stream>> built =
        format == SampleFormat::F32
            ? device.build_input_stream_f32(config, std::move(*candidate.callback), on_error)
            : device.build_input_stream_i16(config, std::move(*candidate.callback), on_error);
    if (built) return BuiltStream{std::move(built).value(), std::move(config)};
    last = std::move(built).error();
  }
  return unexpected(std::move(last));
}

// A started stream. The caller owns all of it; the stream's data callback
// holds its own share of the chunk sink, of the stop flag and of the gate.
// The speech-ended sink is absent without a speech-ended callback; the caller
// keeps it to build a fresh gate should the stream be opened again.
struct InputStream {
  std::unique_ptr<Stream> stream;
  std::shared_ptr<JsCallbackSink> chunk_sink;
  std::shared_ptr<JsCallbackSink> speech_ended_sink;
  std::uint32_t sample_rate = 0;
  std::uint16_t channels = 0;
};

// What a capture hangs on every stream it builds besides the sinks.
struct StreamHooks {
  StreamRole role = StreamRole::kMicrophone;
  std::shared_ptr<std::atomic<std::uint64_t>> buffers;  // may be null
  StreamErrorCallback on_error = report_stream_error;
};

// The JavaScript callbacks given to start, valid for the duration of the call.
// `on_speech_ended` is null when speech-end detection is off.
struct StartCallbacks {
  napi_env env = nullptr;
  napi_value on_data = nullptr;
  napi_value on_speech_ended = nullptr;
};

// How begin_input_stream waits between attempts; tests may pass their own.
using RetryPause = void (*)(std::chrono::milliseconds);
void sleep_for_retry(std::chrono::milliseconds pause);

// Whether a failed attempt is worth another: the audio system said the device
// is busy or still settling.
bool is_retryable(const ModuleError& error);

inline constexpr int kStartAttempts = 3;
inline constexpr std::chrono::milliseconds kRetryPause{400};

// One attempt: read the configurations, create the sinks (and the gate when a
// speech-ended callback is given), build the first candidate that builds, and
// play it. A failed attempt has released everything it made when it returns.
ModuleResult<InputStream> try_begin_input_stream_once(Device& device,
                                                      const StartCallbacks& callbacks,
                                                      std::shared_ptr<std::atomic<bool>> stopped,
                                                      const StreamHooks& hooks = {});

// The retry policy of every stream start: up to kStartAttempts attempts,
// pausing kRetryPause before another while the audio system says the device
// is busy or still settling; `give_up()` ends it early (a stop, a failure no
// attempt can mend). The last failure is returned unchanged.
template <typename Attempt, typename GiveUp>
auto with_start_retries(Attempt&& attempt, RetryPause pause, GiveUp&& give_up)
    -> decltype(attempt()) {
  for (int n = 1;; ++n) {
    auto result = attempt();
    if (result || n == kStartAttempts || !is_retryable(result.error()) || give_up()) return result;
    pause(kRetryPause);
  }
}

// Up to kStartAttempts attempts, pausing kRetryPause before another attempt
// when the audio system says the device is busy or still settling. The last failure is returned
// unchanged.
ModuleResult<InputStream> begin_input_stream(Device& device, const StartCallbacks& callbacks,
                                             std::shared_ptr<std::atomic<bool>> stopped,
                                             RetryPause pause = sleep_for_retry,
                                             const StreamHooks& hooks = {});

// Opens `device` again for a capture that is already started: exactly
// `config` (the backend converts), the device's default sample format, the
// given sinks and a fresh gate. One attempt, no pauses; runs on any thread
// but the audio thread, since it creates no JavaScript handles.
ModuleResult<InputStream> reopen_input_stream(Device& device, const StreamConfig& config,
                                              std::shared_ptr<JsCallbackSink> chunk_sink,
                                              std::shared_ptr<JsCallbackSink> speech_ended_sink,
                                              std::shared_ptr<std::atomic<bool>> stopped,
                                              const StreamHooks& hooks);

}  // namespace parlanto_audio
