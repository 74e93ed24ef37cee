#include "host/device_roster.h"

#include <utility>

namespace parlanto_audio {

namespace {

DeviceEvent event_of(DeviceEvent::Type type, const RosterEntry& entry) {
  return DeviceEvent{type, entry.output, DeviceId(entry.id), entry.name};
}

}  // namespace

void DeviceRoster::reset(const std::vector<RosterEntry>& present, std::string default_input,
                         std::string default_output) {
  known_.clear();
  for (const RosterEntry& entry : present) known_[entry.id] = entry;
  default_input_ = std::move(default_input);
  default_output_ = std::move(default_output);
}

std::optional<DeviceEvent> DeviceRoster::present(const RosterEntry& entry) {
  auto [found, fresh] = known_.try_emplace(entry.id, entry);
  if (!fresh) {
    found->second.name = entry.name;
    return std::nullopt;
  }
  return event_of(DeviceEvent::Type::kAdded, entry);
}

std::optional<DeviceEvent> DeviceRoster::absent(const std::string& id) {
  const auto found = known_.find(id);
  if (found == known_.end()) return std::nullopt;
  const RosterEntry gone = std::move(found->second);
  known_.erase(found);
  return event_of(DeviceEvent::Type::kRemoved, gone);
}

std::optional<DeviceEvent> DeviceRoster::default_is(const RosterEntry& entry) {
  std::string& current = entry.output ? default_output_ : default_input_;
  if (entry.id == current) return std::nullopt;
  current = entry.id;
  if (entry.id.empty()) return std::nullopt;
  const auto found = known_.find(entry.id);
  return event_of(
      DeviceEvent::Type::kDefaultChanged,
      found != known_.end() && found->second.output == entry.output ? found->second : entry);
}

std::vector<DeviceEvent> DeviceRoster::changes_to(const DeviceRoster& now) const {
  std::vector<DeviceEvent> events;
  for (const bool output : {true, false}) {
    for (const auto& [id, entry] : known_) {
      if (entry.output == output && !now.known_.contains(id)) {
        events.push_back(event_of(DeviceEvent::Type::kRemoved, entry));
      }
    }
    for (const auto& [id, entry] : now.known_) {
      if (entry.output == output && !known_.contains(id)) {
        events.push_back(event_of(DeviceEvent::Type::kAdded, entry));
      }
    }
    const std::string& before = output ? default_output_ : default_input_;
    const std::string& after = output ? now.default_output_ : now.default_input_;
    if (after != before && !after.empty()) {
      const auto found = now.known_.find(after);
      const bool named = found != now.known_.end() && found->second.output == output;
      events.push_back(event_of(DeviceEvent::Type::kDefaultChanged,
                                named ? found->second : RosterEntry{after, "", output}));
    }
  }
  return events;
}

}  // namespace parlanto_audio
