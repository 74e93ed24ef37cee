#pragma once

// The devices a backend's watch knows. Audio systems announce changes one
// device at a time, often more than once for the same change, without the
// name of a device that went away, and not at all while a server restarts;
// the roster turns what a watch hears into the seam's DeviceEvents: an event
// only where the set of devices or a default really changed, and a removed
// device's last known name. Not thread-safe: the watch serializes its calls.

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

  // The events that take a watch from this roster to `now`, the audio
  // system's state found after an absence (a server that restarted): for
  // output devices, then input devices, those gone, those new, then a new
  // default. By id, since a restarted system may number its devices anew.
  std::vector<DeviceEvent> changes_to(const DeviceRoster& now) const;

 private:
  std::map<std::string, RosterEntry> known_;  // by id
  std::string default_input_;
  std::string default_output_;
};

}  // namespace parlanto_audio
