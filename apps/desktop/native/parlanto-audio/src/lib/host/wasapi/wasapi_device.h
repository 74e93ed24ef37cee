#pragma once

#include <memory>

#include "host/wasapi/wasapi_com.h"

namespace parlanto_audio::wasapi {

// An active endpoint as a lookup found it: a snapshot of id, flow and name.
std::shared_ptr<Device> make_device(EndpointInfo info);

}  // namespace parlanto_audio::wasapi
