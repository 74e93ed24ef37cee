// `echoStage(far, mic, rate, engine?)`: runs a mono microphone recording through the
// echo-cancelling stage, with `far` (what the speakers played) as its
// reference, the way a capture feeds it: the reference in 20 ms buffers that
// arrive 50 ms before the microphone hears them, the microphone in 512-frame
// buffers, on `engine` ('webrtc' or 'speex'; the build's default when left
// out; `rate` is one both run at unconverted, e.g. 16000). Returns
// { samples, cancelledFrames, passedFrames }, samples as long as `mic` (the
// stage's last part-frame is zeros); throws what create() says where the
// stage cannot be made.
#include <node_api.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "echo/echo_canceller.h"

namespace parlanto_audio::testing {

namespace {

std::span<const float> floats_of(napi_env env, napi_value value) {
  bool is_typed = false;
  napi_is_typedarray(env, value, &is_typed);
  if (!is_typed) return {};
  napi_typedarray_type type{};
  std::size_t length = 0;
  void* data = nullptr;
  napi_get_typedarray_info(env, value, &type, &length, &data, nullptr, nullptr);
  if (type != napi_float32_array) return {};
  return {static_cast<const float*>(data), length};
}

napi_value fail(napi_env env, const std::string& message) {
  napi_throw_error(env, nullptr, message.c_str());
  return nullptr;
}

napi_value echo_stage(napi_env env, napi_callback_info info) {
  napi_value argv[4] = {nullptr, nullptr, nullptr, nullptr};
  std::size_t argc = 4;
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
  const std::span<const float> far = floats_of(env, argv[0]);
  const std::span<const float> mic = floats_of(env, argv[1]);
  std::uint32_t rate = 0;
  if (argc < 3 || napi_get_value_uint32(env, argv[2], &rate) != napi_ok || rate == 0 ||
      far.size() != mic.size()) {
    return fail(env, "echoStage(far, mic, rate): two Float32Arrays of one length and a rate");
  }

  EchoCancelOptions options;
  if (argc >= 4) {
    char name[16] = {};
    std::size_t length = 0;
    napi_get_value_string_utf8(env, argv[3], name, sizeof name, &length);
    options.engine = parse_echo_engine(std::string_view(name, length));
    if (!options.engine) return fail(env, "echoStage: the engine is 'webrtc' or 'speex'");
  }
  auto made = EchoCanceller::create(rate, 1, options);
  if (!made) return fail(env, made.error());
  EchoCanceller& stage = **made;
  const auto feed = stage.reference()->feed(rate, 1);
  const std::size_t reference_buffer = rate / 50;  // 20 ms
  const std::size_t lead = rate / 20;              // 50 ms
  constexpr std::size_t kMicBuffer = 512;

  std::vector<float> out;
  out.reserve(mic.size());
  std::size_t fed = 0;
  for (std::size_t at = 0; at + kMicBuffer <= mic.size(); at += kMicBuffer) {
    while (fed < at + kMicBuffer + lead && fed + reference_buffer <= far.size()) {
      feed->push(far.subspan(fed, reference_buffer));
      fed += reference_buffer;
    }
    const EchoCanceller::Result result = stage.process(mic.subspan(at, kMicBuffer));
    out.insert(out.end(), result.samples.begin(), result.samples.end());
  }
  out.resize(mic.size(), 0.0f);

  napi_value buffer = nullptr;
  void* bytes = nullptr;
  napi_value samples = nullptr;
  napi_value result = nullptr;
  napi_value cancelled = nullptr;
  napi_value passed = nullptr;
  if (napi_create_arraybuffer(env, out.size() * sizeof(float), &bytes, &buffer) != napi_ok ||
      napi_create_typedarray(env, napi_float32_array, out.size(), buffer, 0, &samples) != napi_ok ||
      napi_create_object(env, &result) != napi_ok ||
      napi_create_double(env, static_cast<double>(stage.cancelled_frames()), &cancelled) !=
          napi_ok ||
      napi_create_double(env, static_cast<double>(stage.passed_frames()), &passed) != napi_ok) {
    return fail(env, "echoStage: the result could not be made");
  }
  std::copy(out.begin(), out.end(), static_cast<float*>(bytes));
  napi_set_named_property(env, result, "samples", samples);
  napi_set_named_property(env, result, "cancelledFrames", cancelled);
  napi_set_named_property(env, result, "passedFrames", passed);
  return result;
}

}  // namespace

napi_value register_echo_stage_probe(napi_env env, napi_value exports) {
  napi_value function = nullptr;
  if (napi_create_function(env, "echoStage", NAPI_AUTO_LENGTH, echo_stage, nullptr, &function) ==
      napi_ok) {
    napi_set_named_property(env, exports, "echoStage", function);
  }
  return exports;
}

}  // namespace parlanto_audio::testing
