// The audio-host seam on Windows' core audio (WASAPI, shared mode): the host
// and its lookups. The shared COM helpers, the devices with their capture
// streams, and the device watch each have a file of their own in this folder.
//
// Devices. Every active endpoint is a device: a capture endpoint has an input
// side, a render endpoint an output side, and an input stream built on a
// render endpoint records what it plays (loopback). A device's id is the
// endpoint id ("{0.0.1.00000000}.{guid}"); device objects are snapshots of id,
// flow and friendly name, so no COM object crosses threads or apartments.
//
// Threads. Host and device requests run on the calling JavaScript thread
// inside their own COM scope and share nothing, so they need no lock. Each
// stream owns one capture thread, which sets COM up for itself, opens the
// endpoint, waits on the buffer event and calls the data callback with every
// packet the engine hands over. The stream's drop stops that thread and joins
// it, then destroys the callbacks. A device watch, likewise, owns one thread
// (see wasapi_device_watch.cc).

#include <string>
#include <vector>

#include "host/audio_host.h"
#include "host/wasapi/wasapi_com.h"
#include "host/wasapi/wasapi_device.h"
#include "host/wasapi/wasapi_device_watch.h"

namespace parlanto_audio {
namespace {

using namespace wasapi;

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "{0.0.F.SSSSSSSS}.{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}": F the flow (0
// render, 1 capture), S hexadecimal, x hexadecimal.
bool is_endpoint_id(std::string_view text) {
  constexpr std::string_view kShape = "{0.0.F.HHHHHHHH}.{HHHHHHHH-HHHH-HHHH-HHHH-HHHHHHHHHHHH}";
  if (text.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const char want = kShape[i];
    const char got = text[i];
    if (want == 'H') {
      if (!is_hex(got)) return false;
    } else if (want == 'F') {
      if (got != '0' && got != '1') return false;
    } else if (want != got) {
      return false;
    }
  }
  return true;
}

class WasapiHost final : public Host {
 public:
  HostResult<std::vector<std::shared_ptr<Device>>> devices() override {
    ComScope com;
    if (!com.usable()) return unexpected(error_of(com.result(), "CoInitializeEx"));
    ComPtr<IMMDeviceEnumerator> enumerator;
    HRESULT hr = make_enumerator(enumerator);
    if (FAILED(hr)) return unexpected(error_of(hr, "MMDeviceEnumerator"));
    ComPtr<IMMDeviceCollection> collection;
    hr = enumerator->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, collection.put());
    if (FAILED(hr)) return unexpected(error_of(hr, "EnumAudioEndpoints"));
    UINT count = 0;
    hr = collection->GetCount(&count);
    if (FAILED(hr)) return unexpected(error_of(hr, "GetCount"));
    std::vector<std::shared_ptr<Device>> devices;
    for (UINT i = 0; i < count; ++i) {
      ComPtr<IMMDevice> device;
      if (FAILED(collection->Item(i, device.put()))) continue;
      auto info = info_of(device.get());
      // An endpoint that cannot be read is left out; the others are listed.
      if (info) devices.push_back(wasapi::make_device(std::move(*info)));
    }
    return devices;
  }

  std::optional<DeviceId> parse_device_id(std::string_view text) const override {
    if (!is_endpoint_id(text)) return std::nullopt;
    return DeviceId(std::string(text));
  }

  // An endpoint that is missing, unplugged or disabled is no device; an
  // enumerator that cannot be had is an error.
  HostResult<std::shared_ptr<Device>> device_by_id(const DeviceId& id) override {
    ComScope com;
    if (!com.usable()) return unexpected(error_of(com.result(), "CoInitializeEx"));
    ComPtr<IMMDeviceEnumerator> enumerator;
    const HRESULT hr = make_enumerator(enumerator);
    if (FAILED(hr)) return unexpected(error_of(hr, "MMDeviceEnumerator"));
    ComPtr<IMMDevice> device;
    if (FAILED(open_endpoint(id.to_string(), device))) return std::shared_ptr<Device>();
    return device_of(device.get());
  }

  HostResult<std::shared_ptr<Device>> default_input_device() override {
    return default_device(eCapture);
  }
  HostResult<std::shared_ptr<Device>> default_output_device() override {
    return default_device(eRender);
  }

  HostResult<std::unique_ptr<DeviceWatch>> watch_devices(DeviceEventCallback on_event) override {
    return wasapi::start_device_watch(std::move(on_event));
  }

 private:
  static std::shared_ptr<Device> device_of(IMMDevice* device) {
    auto info = info_of(device);
    if (!info) return nullptr;
    return wasapi::make_device(std::move(*info));
  }

  static HostResult<std::shared_ptr<Device>> default_device(EDataFlow flow) {
    ComScope com;
    if (!com.usable()) return unexpected(error_of(com.result(), "CoInitializeEx"));
    ComPtr<IMMDeviceEnumerator> enumerator;
    HRESULT hr = make_enumerator(enumerator);
    if (FAILED(hr)) return unexpected(error_of(hr, "MMDeviceEnumerator"));
    ComPtr<IMMDevice> device;
    hr = enumerator->GetDefaultAudioEndpoint(flow, eConsole, device.put());
    if (hr == E_NOTFOUND) return std::shared_ptr<Device>();
    if (FAILED(hr)) return unexpected(error_of(hr, "GetDefaultAudioEndpoint"));
    return device_of(device.get());
  }
};

}  // namespace

std::shared_ptr<Host> default_host() { return shared_host<WasapiHost>(); }

}  // namespace parlanto_audio
