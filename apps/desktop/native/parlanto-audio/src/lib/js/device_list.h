#pragma once

// listInputDevices and listOutputDevices: the devices that can record or play,
// asked afresh of the default host on every call, as { id, name } objects in
// the host's order. Devices whose id or description cannot be read are left
// out. JavaScript thread only; no state is kept.

#include <node_api.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/audio_host.h"
#include "base/module_error.h"

namespace parlanto_audio {

struct DeviceInfo {
  std::string id;  // the id's text form, which pick_device accepts back
  std::string name;
};

enum class DeviceKind : std::uint8_t { kInput, kOutput };

// A null host has no devices.
ModuleResult<std::vector<DeviceInfo>> list_devices(Host* host, DeviceKind kind);

napi_value list_input_devices(napi_env env, napi_callback_info info);
napi_value list_output_devices(napi_env env, napi_callback_info info);

}  // namespace parlanto_audio
