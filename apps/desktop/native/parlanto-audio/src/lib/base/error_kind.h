#pragma once

#include <cstdint>

namespace parlanto_audio {

// What a failure means to whoever decides what happens next. The audio
// backends set it where their platform tells them; nothing above the seam
// decides by reading an error's text.
enum class ErrorKind : std::uint8_t {
  kOther,
  kBusy,      // in use, or still settling (a format or rate change): worth another try
  kGone,      // the device or the audio server went away
  kTimedOut,  // the audio system did not answer within its deadline
};

}  // namespace parlanto_audio
