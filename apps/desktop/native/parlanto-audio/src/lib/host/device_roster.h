#pragma once

// The devices a watch knows, for a backend whose audio system announces
// changes one endpoint at a time (by id, often more than once for the same
// change, and without the name of a device that went away). It turns those
// announcements into the seam's DeviceEvents: an event only where the set of
// devices or a default really changed, and a removed device's last known name.
// Not thread-safe: one watch thread owns it.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/audio_host.h"

namespace parlanto_audio {

// One device as the backend's device list gives it.
struct RosterEntry {
  std::string id;
  std::string name;
  bool output = false;
};

class DeviceRoster {
 public:
  // The starting point: the devices present and each kind's default id (empty
  // for none). Gives no events.
  void reset(const std::vector<RosterEntry>& present, std::string default_input,
             std::string default_output);

  // The device is present now: added, unless it was known already (a known
  // device's name is brought up to date).
  std::optional<DeviceEvent> present(const RosterEntry& entry);
  // The device with this id is gone (removed, disabled, unplugged): removed,
  // with its last known name, if it was known.
  std::optional<DeviceEvent> absent(const std::string& id);
  // The default of a kind is now `entry` (its id empty: there is none): a
  // change when it is another device than before. A known device keeps the
  // name the roster has for it.
  std::optional<DeviceEvent> default_is(const RosterEntry& entry);

 private:
  std::map<std::string, RosterEntry> known_;  // by id
  std::string default_input_;
  std::string default_output_;
};

}  // namespace parlanto_audio
