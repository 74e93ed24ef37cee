#include "host/device_roster.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace parlanto_audio {
namespace {

using Type = DeviceEvent::Type;

const RosterEntry kMic{"{0.0.1.00000000}.{mic}", "Headset Microphone", false};
const RosterEntry kSpeakers{"{0.0.0.00000000}.{spk}", "Speakers", true};
const RosterEntry kHeadphones{"{0.0.0.00000000}.{hp}", "Headphones", true};

void expect_event(const std::optional<DeviceEvent>& event, Type type, const RosterEntry& entry) {
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->type, type);
  EXPECT_EQ(event->output, entry.output);
  EXPECT_EQ(event->id.to_string(), entry.id);
  EXPECT_EQ(event->name, entry.name);
}

class RosterTest : public ::testing::Test {
 protected:
  void SetUp() override { roster.reset({kMic, kSpeakers}, kMic.id, kSpeakers.id); }
  DeviceRoster roster;
};

// The system announces one plug-in as several calls (added, then active):
// one event; devices of the starting snapshot give none.
TEST_F(RosterTest, AnEndpointAnnouncedTwiceOrAlreadyKnownIsAddedOnce) {
  EXPECT_FALSE(roster.present(kMic));
  expect_event(roster.present(kHeadphones), Type::kAdded, kHeadphones);
  EXPECT_FALSE(roster.present(kHeadphones));
}

// A removal announced by id alone carries the name the device had; a
// disabled endpoint that is then deleted is removed once; an unknown id is
// nothing.
TEST_F(RosterTest, ARemovedEndpointKeepsItsLastNameAndGoesOnce) {
  RosterEntry renamed = kMic;
  renamed.name = "Headset Microphone (2)";
  EXPECT_FALSE(roster.present(renamed));
  expect_event(roster.absent(kMic.id), Type::kRemoved, renamed);
  EXPECT_FALSE(roster.absent(kMic.id));
  EXPECT_FALSE(roster.absent("{0.0.1.00000000}.{never}"));
  expect_event(roster.present(kMic), Type::kAdded, kMic);
}

// Only a change of default is an event, per kind; a default of none is not
// one but makes the next default a change; a known device is named as the
// roster knows it.
TEST_F(RosterTest, DefaultsChangePerKindAndOnlyWhenAnotherDevice) {
  EXPECT_FALSE(roster.default_is(kSpeakers));
  EXPECT_FALSE(roster.default_is(kMic));
  expect_event(roster.present(kHeadphones), Type::kAdded, kHeadphones);
  expect_event(roster.default_is(kHeadphones), Type::kDefaultChanged, kHeadphones);
  EXPECT_FALSE(roster.default_is(kHeadphones));

  EXPECT_FALSE(roster.default_is(RosterEntry{"", "", false}));
  expect_event(roster.default_is(RosterEntry{kMic.id, "", false}), Type::kDefaultChanged, kMic);

  const RosterEntry unknown{"{0.0.1.00000000}.{new}", "USB Microphone", false};
  expect_event(roster.default_is(unknown), Type::kDefaultChanged, unknown);
}

// A server that restarted is found with another set of devices: what changed
// comes out by id, outputs then inputs, each as gone, new, new default; what
// stayed gives nothing, and a default the new state cannot name has no name.
TEST_F(RosterTest, ChangesToAnotherStateAreTheDifferencesByIdAndKind) {
  DeviceRoster same;
  same.reset({kSpeakers, kMic}, kMic.id, kSpeakers.id);
  EXPECT_TRUE(roster.changes_to(same).empty());

  const RosterEntry usb{"{0.0.1.00000000}.{usb}", "USB Microphone", false};
  DeviceRoster now;
  now.reset({kHeadphones, usb}, usb.id, kHeadphones.id);
  const std::vector<DeviceEvent> events = roster.changes_to(now);
  ASSERT_EQ(events.size(), 6u);
  expect_event(events[0], Type::kRemoved, kSpeakers);
  expect_event(events[1], Type::kAdded, kHeadphones);
  expect_event(events[2], Type::kDefaultChanged, kHeadphones);
  expect_event(events[3], Type::kRemoved, kMic);
  expect_event(events[4], Type::kAdded, usb);
  expect_event(events[5], Type::kDefaultChanged, usb);

  DeviceRoster unnamed;
  unnamed.reset({kMic, kSpeakers}, kMic.id, "sink:not-listed-yet");
  const std::vector<DeviceEvent> moved = roster.changes_to(unnamed);
  ASSERT_EQ(moved.size(), 1u);
  expect_event(moved[0], Type::kDefaultChanged, RosterEntry{"sink:not-listed-yet", "", true});

  DeviceRoster none;
  none.reset({kMic, kSpeakers}, "", "");
  EXPECT_TRUE(roster.changes_to(none).empty());
}

}  // namespace
}  // namespace parlanto_audio
