#pragma once

#include <memory>

#include "host/audio_host.h"

namespace parlanto_audio::pulse {

// Device notifications from the server's subscription (see DeviceWatch).
HostResult<std::unique_ptr<DeviceWatch>> start_device_watch(DeviceEventCallback on_event);

}  // namespace parlanto_audio::pulse
