#pragma once

#include <memory>

#include "host/pulse/pulse_connection.h"

namespace parlanto_audio::pulse {

// A source or sink as a lookup found it, on the connection it was found on.
// Devices are snapshots: one found again after a change is a new object.
std::shared_ptr<Device> make_device(std::shared_ptr<PulseConnection> connection, DeviceInfo info);

}  // namespace parlanto_audio::pulse
