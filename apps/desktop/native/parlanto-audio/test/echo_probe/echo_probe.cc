// A test-only addon on the real backend: a microphone capture with the
// echo-cancelling stage fed by a loopback reference, beside a plain capture
// of the same microphone, so tests on a private server can compare the two.
// It is not the module's surface; the capture layer owns that.
//
//   const p = probe.start({ reference: 'default' | id, onSpeechEnded, cancel: true, plain: true,
//                           delayAgnostic: true, extendedFilter: true, engine: 'webrtc' | 'speex' });
//   p.mark();                 // sample positions of both captures, now
//   p.reconnectReference();   // a new loopback stream on the reference device
//   const r = p.stop();       // { rate, channels, plain, cancelled, marks, events, stageSeconds }

#include <node_api.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/audio_host.h"
#include "echo/echo_canceller.h"
#include "delivery/js_callback_sink.h"
#include "turn/speech_ended_gate.h"

namespace parlanto_audio {
namespace {

// What the audio threads leave for JavaScript. A test probe: a mutex is fine.
struct Recording {
  std::mutex lock;
  std::vector<float> plain;
  std::vector<float> cancelled;
  std::vector<std::string> events;
  double stage_seconds = 0.0;
};

struct Probe {
  std::shared_ptr<Host> host;
  std::string reference_id;
  std::shared_ptr<Recording> recording = std::make_shared<Recording>();
  std::shared_ptr<EchoCanceller> stage;  // null for a plain capture only
  std::unique_ptr<Stream> plain;
  std::unique_ptr<Stream> microphone;
  std::unique_ptr<Stream> reference;
  std::uint32_t rate = 0;
  std::uint16_t channels = 0;
  std::vector<std::pair<std::size_t, std::size_t>> marks;
};

napi_value fail(napi_env env, const std::string& message) {
  napi_throw_error(env, nullptr, message.c_str());
  return nullptr;
}

std::string string_property(napi_env env, napi_value object, const char* name) {
  napi_value value;
  napi_valuetype type;
  if (napi_get_named_property(env, object, name, &value) != napi_ok) return {};
  napi_typeof(env, value, &type);
  if (type != napi_string) return {};
  char text[512];
  size_t length = 0;
  napi_get_value_string_utf8(env, value, text, sizeof text, &length);
  return std::string(text, length);
}

napi_value float_array(napi_env env, const std::vector<float>& samples) {
  void* data = nullptr;
  napi_value buffer;
  napi_value array;
  napi_create_arraybuffer(env, samples.size() * sizeof(float), &data, &buffer);
  if (!samples.empty()) std::memcpy(data, samples.data(), samples.size() * sizeof(float));
  napi_create_typedarray(env, napi_float32_array, samples.size(), buffer, 0, &array);
  return array;
}

std::shared_ptr<Device> reference_device(Probe& probe) {
  HostResult<std::shared_ptr<Device>> found = std::shared_ptr<Device>();
  if (probe.reference_id.empty() || probe.reference_id == "default") {
    found = probe.host->default_output_device();
  } else if (const auto id = probe.host->parse_device_id(probe.reference_id)) {
    found = probe.host->device_by_id(*id);
  }
  return found ? *found : nullptr;
}

std::string open_reference(Probe& probe) {
  probe.reference.reset();  // its callbacks end before the next feed exists
  const auto device = reference_device(probe);
  if (!device) return "no reference device";
  const auto config = device->default_output_config();
  if (!config) return config.error().text;
  std::shared_ptr<ReferenceAlignment::Feed> feed =
      probe.stage->reference()->feed(config->sample_rate, config->channels);
  std::weak_ptr<ReferenceAlignment> alignment = probe.stage->reference();
  auto stream = device->build_input_stream_f32(
      {config->channels, config->sample_rate},
      [feed](std::span<const float> samples) { feed->push(samples); },
      [alignment](const HostError&) {
        if (auto held = alignment.lock()) held->mark_lost();
      });
  if (!stream) return stream.error().text;
  if (auto played = (*stream)->play(); !played) return played.error().text;
  probe.reference = std::move(stream).value();
  return {};
}

void finalize_probe(napi_env, void* data, void*) { delete static_cast<Probe*>(data); }

Probe* unwrap(napi_env env, napi_callback_info info, napi_value* args = nullptr,
              size_t* argc = nullptr) {
  napi_value self;
  size_t none = 0;
  napi_get_cb_info(env, info, argc ? argc : &none, args, &self, nullptr);
  void* data = nullptr;
  napi_unwrap(env, self, &data);
  return static_cast<Probe*>(data);
}

napi_value mark(napi_env env, napi_callback_info info) {
  Probe* probe = unwrap(env, info);
  std::lock_guard hold(probe->recording->lock);
  probe->marks.emplace_back(probe->recording->plain.size(), probe->recording->cancelled.size());
  return nullptr;
}

napi_value reconnect_reference(napi_env env, napi_callback_info info) {
  Probe* probe = unwrap(env, info);
  if (!probe->stage) return fail(env, "a plain capture has no reference");
  if (const std::string error = open_reference(*probe); !error.empty()) return fail(env, error);
  return nullptr;
}

napi_value stop(napi_env env, napi_callback_info info) {
  Probe* probe = unwrap(env, info);
  probe->microphone.reset();
  probe->plain.reset();
  probe->reference.reset();
  const std::shared_ptr<EchoCanceller> stage = std::move(probe->stage);
  napi_value result;
  napi_create_object(env, &result);
  auto set = [&](const char* name, napi_value value) {
    napi_set_named_property(env, result, name, value);
  };
  napi_value number;
  napi_create_uint32(env, probe->rate, &number);
  set("rate", number);
  napi_create_uint32(env, probe->channels, &number);
  set("channels", number);
  std::lock_guard hold(probe->recording->lock);
  set("plain", float_array(env, probe->recording->plain));
  set("cancelled", float_array(env, probe->recording->cancelled));
  napi_create_double(env, probe->recording->stage_seconds, &number);
  set("stageSeconds", number);
  if (stage) {
    const auto& alignment = *stage->reference();
    napi_create_double(env, static_cast<double>(alignment.short_frames()), &number);
    set("shortFrames", number);
    napi_create_double(env, static_cast<double>(alignment.realignments()), &number);
    set("realignments", number);
    napi_create_double(env, static_cast<double>(stage->passed_frames()), &number);
    set("passedFrames", number);
  }
  napi_value list;
  napi_create_array(env, &list);
  for (std::size_t i = 0; i < probe->recording->events.size(); ++i) {
    napi_value text;
    napi_create_string_utf8(env, probe->recording->events[i].c_str(), NAPI_AUTO_LENGTH, &text);
    napi_set_element(env, list, static_cast<std::uint32_t>(i), text);
  }
  set("events", list);
  napi_create_array(env, &list);
  for (std::size_t i = 0; i < probe->marks.size(); ++i) {
    napi_value pair;
    napi_value plain_at;
    napi_value cancelled_at;
    napi_create_array(env, &pair);
    napi_create_uint32(env, static_cast<std::uint32_t>(probe->marks[i].first), &plain_at);
    napi_create_uint32(env, static_cast<std::uint32_t>(probe->marks[i].second), &cancelled_at);
    napi_set_element(env, pair, 0, plain_at);
    napi_set_element(env, pair, 1, cancelled_at);
    napi_set_element(env, list, static_cast<std::uint32_t>(i), pair);
  }
  set("marks", list);
  return result;
}

napi_value start(napi_env env, napi_callback_info info) {
  size_t argc = 1;
  napi_value options;
  napi_get_cb_info(env, info, &argc, &options, nullptr, nullptr);
  if (argc < 1) return fail(env, "start({ reference, onSpeechEnded, cancel })");

  auto probe = std::make_unique<Probe>();
  probe->host = default_host();
  probe->reference_id = string_property(env, options, "reference");
  napi_value value;
  bool cancel = true;
  if (napi_get_named_property(env, options, "cancel", &value) == napi_ok) {
    napi_valuetype type;
    napi_typeof(env, value, &type);
    if (type == napi_boolean) napi_get_value_bool(env, value, &cancel);
  }
  auto flag = [&](const char* name, bool& out) {
    napi_value property;
    napi_valuetype type;
    if (napi_get_named_property(env, options, name, &property) != napi_ok) return;
    napi_typeof(env, property, &type);
    if (type == napi_boolean) napi_get_value_bool(env, property, &out);
  };
  bool with_plain = true;
  flag("plain", with_plain);
  EchoCancelOptions engine_options;
  flag("delayAgnostic", engine_options.delay_agnostic);
  flag("extendedFilter", engine_options.extended_filter);
  if (const std::string engine = string_property(env, options, "engine"); !engine.empty()) {
    engine_options.engine = parse_echo_engine(engine);
    if (!engine_options.engine) return fail(env, "engine: 'webrtc' or 'speex'");
  }
  auto found = probe->host->default_input_device();
  if (!found || !*found) return fail(env, "no microphone");
  const std::shared_ptr<Device> mic = *found;
  const auto config = mic->default_input_config();
  if (!config) return fail(env, config.error().text);
  probe->rate = config->sample_rate;
  probe->channels = config->channels;
  const StreamConfig stream_config{config->channels, config->sample_rate};
  auto recording = probe->recording;

  if (with_plain) {
    auto plain = mic->build_input_stream_f32(
        stream_config,
        [recording](std::span<const float> samples) {
          std::lock_guard hold(recording->lock);
          recording->plain.insert(recording->plain.end(), samples.begin(), samples.end());
        },
        [](const HostError&) {});
    if (!plain) return fail(env, plain.error().text);
    probe->plain = std::move(plain).value();
  }

  if (cancel) {
    auto stage = EchoCanceller::create(config->sample_rate, config->channels, engine_options);
    if (!stage) return fail(env, stage.error());
    probe->stage = std::move(stage).value();
    probe->rate = probe->stage->rate();
    std::shared_ptr<SpeechEndedGate> gate;
    if (napi_get_named_property(env, options, "onSpeechEnded", &value) == napi_ok) {
      napi_valuetype type;
      napi_typeof(env, value, &type);
      if (type == napi_function) {
        auto sink = JsCallbackSink::create(env, value, JsCallbackSink::Converter::kSpeechEnded);
        if (!sink) return fail(env, "speech-ended sink");
        gate = std::make_shared<SpeechEndedGate>(std::move(sink).value(), probe->rate,
                                                 probe->channels);
      }
    }

    std::shared_ptr<EchoCanceller> stage_held = probe->stage;
    auto microphone = mic->build_input_stream_f32(
        stream_config,
        [recording, stage_held, gate](std::span<const float> samples) {
          const auto started = std::chrono::steady_clock::now();
          const EchoCanceller::Result result = stage_held->process(samples);
          const double spent =
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
          if (gate) gate->observe_f32(result.samples);
          std::lock_guard hold(recording->lock);
          recording->stage_seconds += spent;
          recording->cancelled.insert(recording->cancelled.end(), result.samples.begin(),
                                      result.samples.end());
          if (result.event == ReferenceAlignment::Event::kLost) recording->events.push_back("lost");
          if (result.event == ReferenceAlignment::Event::kResumed) {
            recording->events.push_back("resumed");
          }
        },
        [](const HostError&) {});
    if (!microphone) return fail(env, microphone.error().text);
    probe->microphone = std::move(microphone).value();
    if (const std::string error = open_reference(*probe); !error.empty()) return fail(env, error);
    if (auto played = probe->microphone->play(); !played) return fail(env, played.error().text);
  }
  if (probe->plain) {
    if (auto played = probe->plain->play(); !played) return fail(env, played.error().text);
  }

  napi_value object;
  napi_create_object(env, &object);
  const napi_property_descriptor methods[] = {
      {"mark", nullptr, mark, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"reconnectReference", nullptr, reconnect_reference, nullptr, nullptr, nullptr, napi_default,
       nullptr},
      {"stop", nullptr, stop, nullptr, nullptr, nullptr, napi_default, nullptr},
  };
  napi_define_properties(env, object, 3, methods);
  napi_wrap(env, object, probe.release(), finalize_probe, nullptr, nullptr);
  return object;
}

}  // namespace
}  // namespace parlanto_audio

extern "C" NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
  napi_value function;
  napi_create_function(env, "start", NAPI_AUTO_LENGTH, parlanto_audio::start, nullptr, &function);
  napi_set_named_property(env, exports, "start", function);
  return exports;
}
