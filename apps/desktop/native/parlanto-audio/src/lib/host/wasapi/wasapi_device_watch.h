#pragma once

#include <memory>

#include "host/audio_host.h"

namespace parlanto_audio::wasapi {

// Device notifications from the endpoint notifications (see DeviceWatch).
HostResult<std::unique_ptr<DeviceWatch>> start_device_watch(DeviceEventCallback on_event);

}  // namespace parlanto_audio::wasapi
