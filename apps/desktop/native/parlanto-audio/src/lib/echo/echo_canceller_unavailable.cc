// The echo-cancelling stage of a module built without WebRTC's engine (a
// Windows build where WebRTC audio processing could not be cross-built, see
// scripts/setup-windows.sh, or a Linux without its headers): the stage runs on
// speexdsp's engine, and asking for WebRTC's says that it is missing.
#include "echo/echo_engine.h"

namespace parlanto_audio {

bool echo_engine_built(EchoEngineKind kind) { return kind == EchoEngineKind::kSpeex; }

EchoEngineMade make_webrtc_echo_engine(const EchoEngineConfig& /*config*/) {
  return unexpected(std::string(
      "echo cancellation: this build of the module has no WebRTC echo engine (WebRTC audio "
      "processing 0.3); it has speexdsp's ('speex')"));
}

}  // namespace parlanto_audio
