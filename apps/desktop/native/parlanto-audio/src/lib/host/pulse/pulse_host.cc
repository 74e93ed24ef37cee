// The audio-host seam on PulseAudio's client library (also served by PipeWire's
// pulse server): the host, its requests and its connection's renewal. The
// connection, the devices and their streams, and the device watch each have
// a file of their own in this folder.
//
// Devices. Every source that is not a monitor is a device with an input side,
// id "source:<name>"; every sink is a device with an output side, id
// "sink:<name>", and an input stream built on it records the sink's monitor
// source. Device objects are snapshots taken when they were looked up.

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/audio_host.h"
#include "host/pulse/pulse_connection.h"
#include "host/pulse/pulse_device.h"
#include "host/pulse/pulse_device_watch.h"

namespace parlanto_audio {
namespace {

using pulse::deadline_from_now;
using pulse::DeviceKind;
using pulse::kSinkPrefix;
using pulse::kSourcePrefix;
using pulse::PulseConnection;

class PulseHost final : public Host {
  using Connection = std::shared_ptr<PulseConnection>;

 public:
  // Each of these calls has one deadline for all it asks the server.
  HostResult<std::vector<std::shared_ptr<Device>>> devices() override {
    const pa_usec_t deadline = deadline_from_now();
    return ask(
        deadline,
        [&](const Connection& connection) -> HostResult<std::vector<std::shared_ptr<Device>>> {
          auto listing = connection->list(deadline);
          if (!listing) return unexpected(std::move(listing.error()));
          std::vector<std::shared_ptr<Device>> devices;
          for (auto& info : *listing) {
            if (info.is_monitor) continue;
            devices.push_back(pulse::make_device(connection, std::move(info)));
          }
          return devices;
        });
  }

  std::optional<DeviceId> parse_device_id(std::string_view text) const override {
    for (const std::string_view prefix : {kSourcePrefix, kSinkPrefix}) {
      if (text.size() > prefix.size() && text.starts_with(prefix))
        return DeviceId(std::string(text));
    }
    return std::nullopt;
  }

  HostResult<std::shared_ptr<Device>> device_by_id(const DeviceId& id) override {
    const pa_usec_t deadline = deadline_from_now();
    const std::string& text = id.to_string();
    if (text.starts_with(kSourcePrefix)) {
      return find(DeviceKind::kSource, text.substr(kSourcePrefix.size()), deadline);
    }
    if (text.starts_with(kSinkPrefix))
      return find(DeviceKind::kSink, text.substr(kSinkPrefix.size()), deadline);
    return std::shared_ptr<Device>();
  }

  HostResult<std::shared_ptr<Device>> default_input_device() override {
    const pa_usec_t deadline = deadline_from_now();
    auto defaults = ask(deadline, [&](const Connection& connection) {
      return connection->server_defaults(deadline);
    });
    if (!defaults) return unexpected(std::move(defaults.error()));
    if (defaults->source.empty()) return std::shared_ptr<Device>();
    return find(DeviceKind::kSource, defaults->source, deadline);
  }

  HostResult<std::shared_ptr<Device>> default_output_device() override {
    const pa_usec_t deadline = deadline_from_now();
    auto defaults = ask(deadline, [&](const Connection& connection) {
      return connection->server_defaults(deadline);
    });
    if (!defaults) return unexpected(std::move(defaults.error()));
    if (defaults->sink.empty()) return std::shared_ptr<Device>();
    return find(DeviceKind::kSink, defaults->sink, deadline);
  }

  HostResult<std::unique_ptr<DeviceWatch>> watch_devices(DeviceEventCallback on_event) override {
    return pulse::start_device_watch(std::move(on_event));
  }

 private:
  // The host's connection, opened on first use and again after the server went away.
  HostResult<std::shared_ptr<PulseConnection>> connect(pa_usec_t deadline) {
    std::lock_guard guard(mutex_);
    if (connection_ && !connection_->failed()) return connection_;
    auto opened = PulseConnection::open(deadline);
    if (!opened) return opened;
    connection_ = *opened;
    return connection_;
  }

  // Runs `request` on the host's connection. A connection that turns out to be
  // broken (the server went away since its last use) is replaced and the
  // request made once more on the new one.
  template <typename Request>
  auto ask(pa_usec_t deadline, Request&& request)
      -> decltype(request(std::declval<const Connection&>())) {
    for (int attempt = 0;; ++attempt) {
      auto connection = connect(deadline);
      if (!connection) return unexpected(std::move(connection.error()));
      auto result = request(*connection);
      if (result || attempt > 0 || !(*connection)->failed()) return result;
    }
  }

  // A monitor is reached through its sink, never as a source of its own.
  HostResult<std::shared_ptr<Device>> find(DeviceKind kind, const std::string& name,
                                           pa_usec_t deadline) {
    return ask(deadline, [&](const Connection& connection) -> HostResult<std::shared_ptr<Device>> {
      auto info = connection->find(kind, name, deadline);
      if (!info) return unexpected(std::move(info.error()));
      if (!*info || (*info)->is_monitor) return std::shared_ptr<Device>();
      return pulse::make_device(connection, std::move(**info));
    });
  }

  std::mutex mutex_;
  std::shared_ptr<PulseConnection> connection_;  // guarded by mutex_
};

}  // namespace

std::shared_ptr<Host> default_host() { return shared_host<PulseHost>(); }

}  // namespace parlanto_audio
