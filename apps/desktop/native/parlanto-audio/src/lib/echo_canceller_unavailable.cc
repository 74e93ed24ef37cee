// The echo-cancelling stage where its engine is not built in (the Windows
// module, for now): a capture that asks for cancellation is refused with a
// clear error, and everything else links as it does elsewhere.
#ifdef _WIN32

#include "echo_canceller.h"

namespace webrtc {
// Never made here; complete only so the stage's members can be destroyed.
class AudioProcessing {
 public:
  virtual ~AudioProcessing() = default;
};
}  // namespace webrtc

namespace parlanto_audio {

Expected<std::unique_ptr<EchoCanceller>, std::string> EchoCanceller::create(std::uint32_t,
                                                                            std::uint16_t,
                                                                            EchoCancelOptions) {
  return unexpected(std::string("echo cancellation is not built into the Windows module yet"));
}

EchoCanceller::~EchoCanceller() = default;

EchoCanceller::Result EchoCanceller::process(std::span<const float>) { return {}; }

EchoCanceller::Result EchoCanceller::process(std::span<const std::int16_t>) { return {}; }

}  // namespace parlanto_audio

#endif
