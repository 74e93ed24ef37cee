#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/expected.h"

namespace parlanto_audio {

// The engines the echo-cancelling stage can run on. WebRTC's is linked where
// the build found it; speexdsp's is in every build.
enum class EchoEngineKind : std::uint8_t { kWebRtc, kSpeex };

// "webrtc" or "speex": the names JavaScript uses.
const char* echo_engine_name(EchoEngineKind kind);
std::optional<EchoEngineKind> parse_echo_engine(std::string_view name);
bool echo_engine_built(EchoEngineKind kind);
// WebRTC's where built, else speexdsp's.
EchoEngineKind default_echo_engine();

struct EchoEngineConfig {
  std::uint32_t rate = 48000;
  std::uint16_t channels = 1;
  // WebRTC's modes: it finds the delay itself, and a longer filter for rooms.
  bool delay_agnostic = true;
  bool extended_filter = true;
  bool noise_suppression = false;
  bool gain_control = false;
};

// One engine behind the stage, fed whole 10 ms frames: the microphone's,
// channels interleaved, and the mono reference the ReferenceAlignment pulled
// for the same 10 ms. Made on the thread that builds the microphone stream;
// process() and restart() then run on the microphone's audio thread only.
class EchoEngine {
 public:
  virtual ~EchoEngine() = default;
  // `out` holds a frame like `mic` and does not overlap it.
  virtual void process(const float* mic, const float* reference, float* out) = 0;
  // A new reference stream has its own delay: what was learnt of the old one
  // would only slow the engine down.
  virtual void restart() = 0;
};

using EchoEngineMade = Expected<std::unique_ptr<EchoEngine>, std::string>;
// In webrtc_echo_engine.cc, or in echo_canceller_unavailable.cc where the
// build has no WebRTC engine (which then says so).
EchoEngineMade make_webrtc_echo_engine(const EchoEngineConfig& config);
EchoEngineMade make_speex_echo_engine(const EchoEngineConfig& config);

}  // namespace parlanto_audio
