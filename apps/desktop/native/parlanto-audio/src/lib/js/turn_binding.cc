#include "js/turn_binding.h"

#include <algorithm>
#include <memory>
#include <span>

#include "base/module_error.h"
#include "base/napi_helpers.h"
#include "delivery/coalescing_sink.h"

namespace parlanto_audio {

// The speechEnd options as capture/index.js passes them, already checked:
// { detector: 0 voice | 1 level, minSilenceMs, maxTurnMs (0: none) }.
TurnOptions turn_argument(napi_env env, napi_value value) {
  TurnOptions options;
  if (is_nullish(env, value)) return options;
  napi_value field = nullptr;
  if (napi_get_named_property(env, value, "detector", &field) == napi_ok &&
      uint32_argument(env, field) == 1) {
    options.detector = TurnOptions::Detector::kLevel;
  }
  if (napi_get_named_property(env, value, "minSilenceMs", &field) == napi_ok) {
    options.min_silence_ms = uint32_argument(env, field);
  }
  if (napi_get_named_property(env, value, "maxTurnMs", &field) == napi_ok) {
    options.max_turn_ms = uint32_argument(env, field);
  }
  return options;
}

namespace {

// Collects a detector's events, frames on the detector's clock.
struct EventArray final : TurnEvents {
  napi_env env;
  napi_value array = nullptr;
  std::uint32_t count = 0;
  explicit EventArray(napi_env env_) : env(env_) { napi_create_array(env, &array); }
  void on_turn_event(const TurnEvent& event) override {
    napi_set_element(env, array, count++, turn_event_value(env, event));
  }
};

}  // namespace

// detectSpeech(pcm, sampleRate, channels, speechEnd): the turn detector over
// recorded PCM (an Int16Array or Float32Array of interleaved frames, checked
// by capture/index.js), fed in 10 ms buffers as a device would feed it.
napi_value detect_speech(napi_env env, napi_callback_info info) {
  std::size_t argc = 4;
  napi_value argv[4] = {};
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
  napi_typedarray_type type = napi_int8_array;
  std::size_t length = 0;
  void* data = nullptr;
  if (napi_get_typedarray_info(env, argv[0], &type, &length, &data, nullptr, nullptr) != napi_ok ||
      (type != napi_int16_array && type != napi_float32_array)) {
    throw_error(env, {napi_invalid_arg, "detectSpeech: pcm must be an Int16Array or Float32Array"});
    return nullptr;
  }
  const std::uint32_t rate = uint32_argument(env, argv[1]);
  const std::uint16_t channels = static_cast<std::uint16_t>(uint32_argument(env, argv[2]));
  if (rate == 0 || channels == 0) {
    throw_error(env, {napi_invalid_arg, "detectSpeech: no sample rate or channel count"});
    return nullptr;
  }
  std::unique_ptr<TurnDetector> detector =
      make_turn_detector(turn_argument(env, argv[3]), rate, channels);
  EventArray events(env);
  const std::size_t step =
      static_cast<std::size_t>(std::max<std::uint32_t>(rate / 100, 1)) * channels;
  const std::size_t whole = length - length % channels;
  for (std::size_t at = 0; at < whole; at += step) {
    const std::size_t count = std::min(step, whole - at);
    if (type == napi_int16_array) {
      detector->observe(std::span(static_cast<const std::int16_t*>(data) + at, count), events);
    } else {
      detector->observe(std::span(static_cast<const float*>(data) + at, count), events);
    }
  }
  return events.array;
}

}  // namespace parlanto_audio
