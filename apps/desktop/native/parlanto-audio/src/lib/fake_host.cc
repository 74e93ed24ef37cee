// Placeholder until the backend lands.
#include "audio_host.h"

namespace parlanto_audio {

std::shared_ptr<Host> default_host() { return nullptr; }

}  // namespace parlanto_audio
