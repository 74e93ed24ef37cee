#include "host/audio_host.h"

#include <string>

namespace parlanto_audio {

std::string_view sample_format_name(SampleFormat format) {
  switch (format) {
    case SampleFormat::I8:
      return "I8";
    case SampleFormat::I16:
      return "I16";
    case SampleFormat::I24:
      return "I24";
    case SampleFormat::I32:
      return "I32";
    case SampleFormat::I64:
      return "I64";
    case SampleFormat::U8:
      return "U8";
    case SampleFormat::U16:
      return "U16";
    case SampleFormat::U32:
      return "U32";
    case SampleFormat::U64:
      return "U64";
    case SampleFormat::F32:
      return "F32";
    case SampleFormat::F64:
      return "F64";
  }
  return "Unknown";
}

HostError timed_out(std::string_view who, std::string_view what) {
  return HostError{"Timeout: the " + std::string(who) + " did not answer within " +
                       std::to_string(kHostCallDeadline.count() / 1000) + " s (" + std::string(what) +
                       ")",
                   ErrorKind::kTimedOut};
}

HostError not_this_side(std::string_view side) {
  return HostError{"the device has no " + std::string(side) + " side"};
}

HostResult<std::unique_ptr<DeviceWatch>> Host::watch_devices(DeviceEventCallback) {
  return unexpected(HostError{"this audio system gives no device notifications"});
}

}  // namespace parlanto_audio
