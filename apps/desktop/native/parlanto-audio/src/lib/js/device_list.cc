#include "js/device_list.h"

#include <memory>
#include <utility>

namespace parlanto_audio {

namespace {

napi_status set_string(napi_env env, napi_value object, const char* key, const std::string& text) {
  napi_value value = nullptr;
  napi_status status = napi_create_string_utf8(env, text.data(), text.size(), &value);
  if (status == napi_ok) status = napi_set_named_property(env, object, key, value);
  return status;
}

ModuleResult<napi_value> to_js(napi_env env, const std::vector<DeviceInfo>& devices) {
  napi_value array = nullptr;
  napi_status status = napi_create_array_with_length(env, devices.size(), &array);
  for (std::size_t i = 0; status == napi_ok && i < devices.size(); ++i) {
    napi_value object = nullptr;
    status = napi_create_object(env, &object);
    if (status == napi_ok) status = set_string(env, object, "id", devices[i].id);
    if (status == napi_ok) status = set_string(env, object, "name", devices[i].name);
    if (status == napi_ok) {
      status = napi_set_element(env, array, static_cast<std::uint32_t>(i), object);
    }
  }
  if (status != napi_ok) {
    return unexpected(ModuleError{status, "Failed to convert the device list to JavaScript"});
  }
  return array;
}

napi_value list(napi_env env, DeviceKind kind) {
  const std::shared_ptr<Host> host = default_host();
  ModuleResult<std::vector<DeviceInfo>> devices = list_devices(host.get(), kind);
  if (!devices) {
    throw_error(env, devices.error());
    return nullptr;
  }
  ModuleResult<napi_value> array = to_js(env, *devices);
  if (!array) {
    throw_error(env, array.error());
    return nullptr;
  }
  return *array;
}

}  // namespace

ModuleResult<std::vector<DeviceInfo>> list_devices(Host* host, DeviceKind kind) {
  std::vector<DeviceInfo> out;
  if (host == nullptr) return out;
  HostResult<std::vector<std::shared_ptr<Device>>> devices = host->devices();
  if (!devices) {
    return module_error((kind == DeviceKind::kInput ? "input_devices: " : "output_devices: ") +
                        devices.error().text);
  }
  for (const std::shared_ptr<Device>& device : *devices) {
    if (!(kind == DeviceKind::kInput ? device->supports_input() : device->supports_output())) {
      continue;
    }
    HostResult<DeviceId> id = device->id();
    if (!id) continue;
    HostResult<DeviceDescription> description = device->description();
    if (!description) continue;
    out.push_back({id->to_string(), std::move(description->name)});
  }
  return out;
}

napi_value list_input_devices(napi_env env, napi_callback_info) {
  return list(env, DeviceKind::kInput);
}

napi_value list_output_devices(napi_env env, napi_callback_info) {
  return list(env, DeviceKind::kOutput);
}

}  // namespace parlanto_audio
