// The echo-cancelling stage of a module built without its engine (a Windows
// build where WebRTC audio processing could not be cross-built, see
// scripts/setup-windows.sh): create() says so, and since no stage is ever
// made, the rest is never reached.
#include "echo/echo_canceller.h"

namespace parlanto_audio {

void EchoCanceller::EngineDeleter::operator()(webrtc::AudioProcessing* /*engine*/) const {}

Expected<std::unique_ptr<EchoCanceller>, std::string> EchoCanceller::create(
    std::uint32_t /*mic_rate*/, std::uint16_t /*mic_channels*/, EchoCancelOptions /*options*/) {
  return unexpected(std::string(
      "echo cancellation is not available in this build of the module: it was built without "
      "its engine (WebRTC audio processing 0.3)"));
}

EchoCanceller::~EchoCanceller() = default;

EchoCanceller::Result EchoCanceller::process(std::span<const float> /*mic*/) { return {}; }

EchoCanceller::Result EchoCanceller::process(std::span<const std::int16_t> /*mic*/) { return {}; }

}  // namespace parlanto_audio
