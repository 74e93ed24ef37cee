// `fake` on the test addon's exports: scripts the fake host from JavaScript
// and reads back what the module did with it.
//
//   fake.reset({ devices: [{ key, name, input: side, output: side, idError,
//                            descriptionError, buildOutcomes: [null | text],
//                            rejectConfigs: [{ channels, sampleRate, error }],
//                            playOutcomes: [null | text] }],
//                devicesError, defaultInput: key, defaultOutput: key })
//     side = { default: config | [config | { error }], ranges: [{ channels,
//              minSampleRate, maxSampleRate, format }], rangesError }
//     config = { channels, sampleRate, format: 'F32' | 'I16' | 'I32' | ... }
//   fake.feed(selector, typedArray | [typedArray], { frames, speed }) -> streams fed
//   fake.fireError(selector, text) -> streams reached
//   fake.setDefault('input' | 'output', key): a new default, told to the device watches
//   fake.plug(device): a device added (same form as in reset), told to the device watches
//   fake.unplug(key) -> whether there was one: a device removed, told to the device watches
//   fake.streams(), fake.builds(), fake.counters()
//     selector = undefined (every stream) | serial number | device key
#include <node_api.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "host/fake/fake_host.h"

namespace parlanto_audio::testing {

namespace {

struct ScriptError {
  std::string message;
};

void check(napi_status status, const char* what) {
  if (status != napi_ok) throw ScriptError{std::string("fake: ") + what + " failed"};
}

napi_valuetype type_of(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  check(napi_typeof(env, value, &type), "typeof");
  return type;
}

bool is_nullish(napi_env env, napi_value value) {
  const napi_valuetype type = type_of(env, value);
  return type == napi_undefined || type == napi_null;
}

napi_value property(napi_env env, napi_value object, const char* key) {
  napi_value value = nullptr;
  check(napi_get_named_property(env, object, key, &value), key);
  return value;
}

std::string string_value(napi_env env, napi_value value, const char* what) {
  if (type_of(env, value) != napi_string)
    throw ScriptError{std::string("fake: ") + what + " must be a string"};
  std::size_t length = 0;
  check(napi_get_value_string_utf8(env, value, nullptr, 0, &length), what);
  std::string text(length, '\0');
  check(napi_get_value_string_utf8(env, value, text.data(), length + 1, &length), what);
  return text;
}

double number_value(napi_env env, napi_value value, const char* what) {
  double number = 0;
  if (napi_get_value_double(env, value, &number) != napi_ok) {
    throw ScriptError{std::string("fake: ") + what + " must be a number"};
  }
  return number;
}

template <typename T>
T whole_number(napi_env env, napi_value value, const char* what) {
  return static_cast<T>(number_value(env, value, what));
}

std::optional<std::string> optional_string(napi_env env, napi_value object, const char* key) {
  napi_value value = property(env, object, key);
  if (is_nullish(env, value)) return std::nullopt;
  return string_value(env, value, key);
}

std::vector<napi_value> array_items(napi_env env, napi_value value, const char* what) {
  bool is_array = false;
  check(napi_is_array(env, value, &is_array), what);
  if (!is_array) throw ScriptError{std::string("fake: ") + what + " must be an array"};
  std::uint32_t length = 0;
  check(napi_get_array_length(env, value, &length), what);
  std::vector<napi_value> items(length);
  for (std::uint32_t i = 0; i < length; ++i)
    check(napi_get_element(env, value, i, &items[i]), what);
  return items;
}

SampleFormat format_value(napi_env env, napi_value value) {
  const std::string name = string_value(env, value, "format");
  constexpr std::array kFormats = {SampleFormat::I8,  SampleFormat::I16, SampleFormat::I24,
                                   SampleFormat::I32, SampleFormat::I64, SampleFormat::U8,
                                   SampleFormat::U16, SampleFormat::U32, SampleFormat::U64,
                                   SampleFormat::F32, SampleFormat::F64};
  for (SampleFormat format : kFormats) {
    if (sample_format_name(format) == name) return format;
  }
  throw ScriptError{"fake: unknown sample format " + name};
}

SupportedStreamConfig config_value(napi_env env, napi_value object) {
  return {whole_number<std::uint16_t>(env, property(env, object, "channels"), "channels"),
          whole_number<std::uint32_t>(env, property(env, object, "sampleRate"), "sampleRate"),
          format_value(env, property(env, object, "format"))};
}

FakeDefaultRead default_read(napi_env env, napi_value object) {
  if (std::optional<std::string> error = optional_string(env, object, "error")) {
    return {std::nullopt, std::move(*error)};
  }
  return {config_value(env, object), {}};
}

std::optional<FakeSideScript> side_value(napi_env env, napi_value object) {
  if (is_nullish(env, object)) return std::nullopt;
  FakeSideScript side;
  napi_value defaults = property(env, object, "default");
  bool is_array = false;
  check(napi_is_array(env, defaults, &is_array), "default");
  if (is_array) {
    for (napi_value read : array_items(env, defaults, "default")) {
      side.defaults.push_back(default_read(env, read));
    }
  } else if (!is_nullish(env, defaults)) {
    side.defaults.push_back(default_read(env, defaults));
  }
  napi_value ranges = property(env, object, "ranges");
  if (!is_nullish(env, ranges)) {
    for (napi_value range : array_items(env, ranges, "ranges")) {
      side.ranges.push_back(
          {whole_number<std::uint16_t>(env, property(env, range, "channels"), "channels"),
           whole_number<std::uint32_t>(env, property(env, range, "minSampleRate"), "minSampleRate"),
           whole_number<std::uint32_t>(env, property(env, range, "maxSampleRate"), "maxSampleRate"),
           format_value(env, property(env, range, "format"))});
    }
  }
  side.ranges_error = optional_string(env, object, "rangesError");
  return side;
}

std::deque<FakeOutcome> outcomes_value(napi_env env, napi_value object, const char* key) {
  std::deque<FakeOutcome> outcomes;
  napi_value value = property(env, object, key);
  if (is_nullish(env, value)) return outcomes;
  for (napi_value item : array_items(env, value, key)) {
    outcomes.push_back(is_nullish(env, item) ? FakeOutcome{} : string_value(env, item, key));
  }
  return outcomes;
}

FakeDeviceScript device_value(napi_env env, napi_value object) {
  FakeDeviceScript device;
  device.key = string_value(env, property(env, object, "key"), "key");
  device.name = optional_string(env, object, "name").value_or(device.key);
  device.input = side_value(env, property(env, object, "input"));
  device.output = side_value(env, property(env, object, "output"));
  device.id_error = optional_string(env, object, "idError");
  device.description_error = optional_string(env, object, "descriptionError");
  device.build_outcomes = outcomes_value(env, object, "buildOutcomes");
  device.play_outcomes = outcomes_value(env, object, "playOutcomes");
  napi_value rejected = property(env, object, "rejectConfigs");
  if (!is_nullish(env, rejected)) {
    for (napi_value item : array_items(env, rejected, "rejectConfigs")) {
      FakeRejectedConfig config;
      if (napi_value channels = property(env, item, "channels"); !is_nullish(env, channels)) {
        config.channels = whole_number<std::uint16_t>(env, channels, "channels");
      }
      if (napi_value rate = property(env, item, "sampleRate"); !is_nullish(env, rate)) {
        config.sample_rate = whole_number<std::uint32_t>(env, rate, "sampleRate");
      }
      config.error = string_value(env, property(env, item, "error"), "error");
      device.rejected_configs.push_back(std::move(config));
    }
  }
  return device;
}

FakeStreamSelector selector_value(napi_env env, napi_value value) {
  FakeStreamSelector selector;
  const napi_valuetype type = type_of(env, value);
  if (type == napi_number) {
    selector.serial = whole_number<std::uint64_t>(env, value, "selector");
  } else if (type == napi_string) {
    selector.device = string_value(env, value, "selector");
  } else if (type != napi_undefined && type != napi_null) {
    throw ScriptError{"fake: a selector is a stream serial, a device key or nothing"};
  }
  return selector;
}

FakeBuffer buffer_value(napi_env env, napi_value value) {
  bool is_typed_array = false;
  check(napi_is_typedarray(env, value, &is_typed_array), "buffer");
  if (!is_typed_array) throw ScriptError{"fake: a buffer is a Float32Array or an Int16Array"};
  napi_typedarray_type type = napi_int8_array;
  std::size_t length = 0;
  void* data = nullptr;
  check(napi_get_typedarray_info(env, value, &type, &length, &data, nullptr, nullptr), "buffer");
  if (type == napi_float32_array) {
    std::vector<float> samples(length);
    if (length != 0) std::memcpy(samples.data(), data, length * sizeof(float));
    return samples;
  }
  if (type == napi_int16_array) {
    std::vector<std::int16_t> samples(length);
    if (length != 0) std::memcpy(samples.data(), data, length * sizeof(std::int16_t));
    return samples;
  }
  throw ScriptError{"fake: a buffer is a Float32Array or an Int16Array"};
}

// Building results for JavaScript.
class ObjectBuilder {
 public:
  explicit ObjectBuilder(napi_env env) : env_(env) {
    check(napi_create_object(env, &object_), "object");
  }
  ObjectBuilder& set(const char* key, napi_value value) {
    check(napi_set_named_property(env_, object_, key, value), key);
    return *this;
  }
  ObjectBuilder& set(const char* key, const std::string& text) {
    napi_value value = nullptr;
    check(napi_create_string_utf8(env_, text.data(), text.size(), &value), key);
    return set(key, value);
  }
  ObjectBuilder& set(const char* key, double number) {
    napi_value value = nullptr;
    check(napi_create_double(env_, number, &value), key);
    return set(key, value);
  }
  ObjectBuilder& set(const char* key, bool flag) {
    napi_value value = nullptr;
    check(napi_get_boolean(env_, flag, &value), key);
    return set(key, value);
  }
  napi_value get() const { return object_; }

 private:
  napi_env env_;
  napi_value object_ = nullptr;
};

template <typename T, typename Convert>
napi_value array_of(napi_env env, const std::vector<T>& items, Convert convert) {
  napi_value array = nullptr;
  check(napi_create_array_with_length(env, items.size(), &array), "array");
  for (std::size_t i = 0; i < items.size(); ++i) {
    check(napi_set_element(env, array, static_cast<std::uint32_t>(i), convert(items[i])), "array");
  }
  return array;
}

double milliseconds_since_epoch(std::chrono::steady_clock::time_point at) {
  return std::chrono::duration<double, std::milli>(at.time_since_epoch()).count();
}

template <std::size_t N>
std::array<napi_value, N> arguments(napi_env env, napi_callback_info info) {
  std::array<napi_value, N> argv{};
  std::size_t argc = N;
  check(napi_get_cb_info(env, info, &argc, argv.data(), nullptr, nullptr), "arguments");
  return argv;
}

napi_value reset(napi_env env, napi_callback_info info) {
  const auto argv = arguments<1>(env, info);
  FakeHostScript script;
  if (!is_nullish(env, argv[0])) {
    napi_value devices = property(env, argv[0], "devices");
    if (!is_nullish(env, devices)) {
      for (napi_value device : array_items(env, devices, "devices")) {
        script.devices.push_back(device_value(env, device));
      }
    }
    script.devices_error = optional_string(env, argv[0], "devicesError");
    script.default_input = optional_string(env, argv[0], "defaultInput");
    script.default_output = optional_string(env, argv[0], "defaultOutput");
  }
  reset_fake_host(std::move(script));
  return nullptr;
}

napi_value feed(napi_env env, napi_callback_info info) {
  const auto argv = arguments<3>(env, info);
  const FakeStreamSelector selector = selector_value(env, argv[0]);
  std::vector<FakeBuffer> buffers;
  bool is_array = false;
  check(napi_is_array(env, argv[1], &is_array), "buffers");
  if (is_array) {
    for (napi_value item : array_items(env, argv[1], "buffers")) {
      buffers.push_back(buffer_value(env, item));
    }
  } else {
    buffers.push_back(buffer_value(env, argv[1]));
  }
  FakeFeedOptions options;
  if (!is_nullish(env, argv[2])) {
    if (napi_value frames = property(env, argv[2], "frames"); !is_nullish(env, frames)) {
      options.frames_per_buffer = whole_number<std::size_t>(env, frames, "frames");
    }
    if (napi_value speed = property(env, argv[2], "speed"); !is_nullish(env, speed)) {
      options.speed = number_value(env, speed, "speed");
    }
  }
  napi_value count = nullptr;
  check(napi_create_double(env, static_cast<double>(feed_fake_streams(selector, buffers, options)),
                           &count),
        "result");
  return count;
}

napi_value fire_error(napi_env env, napi_callback_info info) {
  const auto argv = arguments<2>(env, info);
  const FakeStreamSelector selector = selector_value(env, argv[0]);
  const std::string text = string_value(env, argv[1], "text");
  napi_value count = nullptr;
  check(napi_create_double(env, static_cast<double>(fail_fake_streams(selector, text)), &count),
        "result");
  return count;
}

napi_value set_default(napi_env env, napi_callback_info info) {
  const auto argv = arguments<2>(env, info);
  set_fake_default(string_value(env, argv[0], "kind") == "output",
                   string_value(env, argv[1], "key"));
  return nullptr;
}

napi_value plug(napi_env env, napi_callback_info info) {
  const auto argv = arguments<1>(env, info);
  plug_fake_device(device_value(env, argv[0]));
  return nullptr;
}

napi_value unplug(napi_env env, napi_callback_info info) {
  const auto argv = arguments<1>(env, info);
  napi_value found = nullptr;
  check(napi_get_boolean(env, unplug_fake_device(string_value(env, argv[0], "key")), &found),
        "result");
  return found;
}

napi_value streams(napi_env env, napi_callback_info) {
  return array_of(env, fake_streams(), [&](const FakeStreamInfo& stream) {
    return ObjectBuilder(env)
        .set("serial", static_cast<double>(stream.serial))
        .set("device", stream.device)
        .set("format", std::string(sample_format_name(stream.format)))
        .set("channels", static_cast<double>(stream.config.channels))
        .set("sampleRate", static_cast<double>(stream.config.sample_rate))
        .set("playing", stream.playing)
        .set("delivered", static_cast<double>(stream.delivered))
        .set("pending", static_cast<double>(stream.pending))
        .get();
  });
}

napi_value builds(napi_env env, napi_callback_info) {
  return array_of(env, fake_builds(), [&](const FakeBuildRecord& build) {
    ObjectBuilder object(env);
    object.set("device", build.device)
        .set("format", std::string(sample_format_name(build.format)))
        .set("channels", static_cast<double>(build.config.channels))
        .set("sampleRate", static_cast<double>(build.config.sample_rate))
        .set("ok", !build.error.has_value())
        .set("atMs", milliseconds_since_epoch(build.at));
    if (build.error) object.set("error", *build.error);
    return object.get();
  });
}

napi_value counters(napi_env env, napi_callback_info) {
  const FakeCounters c = fake_counters();
  return ObjectBuilder(env)
      .set("hostsAlive", static_cast<double>(c.hosts_alive))
      .set("streamsAlive", static_cast<double>(c.streams_alive))
      .set("watchesAlive", static_cast<double>(c.watches_alive))
      .set("streamsBuilt", static_cast<double>(c.streams_built))
      .set("streamsDropped", static_cast<double>(c.streams_dropped))
      .set("buildsAttempted", static_cast<double>(c.builds_attempted))
      .set("plays", static_cast<double>(c.plays))
      .get();
}

// Turns a ScriptError into a thrown JavaScript Error.
template <napi_value (*Function)(napi_env, napi_callback_info)>
napi_value guarded(napi_env env, napi_callback_info info) {
  try {
    return Function(env, info);
  } catch (const ScriptError& error) {
    napi_throw_error(env, nullptr, error.message.c_str());
    return nullptr;
  }
}

}  // namespace

napi_value register_fake_host(napi_env env, napi_value exports) {
  const napi_property_descriptor functions[] = {
      {"reset", nullptr, guarded<reset>, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"feed", nullptr, guarded<feed>, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"fireError", nullptr, guarded<fire_error>, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"setDefault", nullptr, guarded<set_default>, nullptr, nullptr, nullptr, napi_default,
       nullptr},
      {"plug", nullptr, guarded<plug>, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"unplug", nullptr, guarded<unplug>, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"streams", nullptr, guarded<streams>, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"builds", nullptr, guarded<builds>, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"counters", nullptr, guarded<counters>, nullptr, nullptr, nullptr, napi_default, nullptr},
  };
  napi_value fake = nullptr;
  if (napi_create_object(env, &fake) != napi_ok ||
      napi_define_properties(env, fake, std::size(functions), functions) != napi_ok ||
      napi_set_named_property(env, exports, "fake", fake) != napi_ok) {
    napi_throw_error(env, nullptr, "Failed to register the fake host's bindings");
  }
  return exports;
}

}  // namespace parlanto_audio::testing
