#include "host/device_roster.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

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

}  // namespace
}  // namespace parlanto_audio
