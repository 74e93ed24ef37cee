#include "capture/capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "fake_engine_test.h"
#include "capture/recovery.h"
#include "host/fake/fake_host.h"

namespace parlanto_audio {
namespace {

using testing::eventually;

using namespace std::chrono_literals;
using Kind = fake_napi::Value::Kind;
using testing::FakeDeviceScript;
using testing::FakeHostScript;

constexpr std::size_t kChunks = 0;  // the start's first thread-safe function

FakeDeviceScript device(std::string key, std::uint16_t channels, std::uint32_t rate) {
  FakeDeviceScript script;
  script.key = std::move(key);
  script.name = script.key;
  script.input = testing::FakeSideScript{{{SupportedStreamConfig{channels, rate}, {}}}, {}, {}};
  return script;
}

FakeHostScript machine(std::vector<FakeDeviceScript> devices, std::string default_input) {
  FakeHostScript script;
  script.devices = std::move(devices);
  script.default_input = std::move(default_input);
  return script;
}

void no_pause(std::chrono::milliseconds) {}

std::vector<testing::FakeStreamInfo> playing_streams() {
  std::vector<testing::FakeStreamInfo> out;
  for (const auto& stream : testing::fake_streams()) {
    if (stream.playing) out.push_back(stream);
  }
  return out;
}

// What reached the data callback once its queue ran: the errors' messages and
// the number of chunks.
struct Delivered {
  std::vector<std::string> errors;
  std::size_t chunks = 0;
};

class CaptureTest : public FakeEngineTest {
 protected:
  void SetUp() override {
    testing::reset_fake_host(machine({device("mic", 1, 44100), device("usb", 2, 48000)}, "mic"));
  }
  void TearDown() override {
    capture.reset();
    FakeEngineTest::TearDown();
  }

  void start(std::optional<std::string> id = std::nullopt) {
    capture = std::make_unique<Capture>(CaptureKind::kMicrophone, std::move(id));
    ASSERT_TRUE(capture->start(fake_napi::env(), fake_napi::function(), nullptr, no_pause));
    ASSERT_TRUE(capture->running());
  }

  static Delivered delivered() {
    fake_napi::drain(kChunks);
    Delivered out;
    for (const auto& call : calls_of(kChunks)) {
      const fake_napi::Value& first = fake_napi::value(call.args.at(0));
      if (first.kind == Kind::kError) {
        EXPECT_EQ(first.code, "GenericFailure");
        EXPECT_EQ(call.args.size(), 1u);
        out.errors.push_back(first.text);
      } else {
        ++out.chunks;
      }
    }
    return out;
  }

  static std::size_t feed(std::size_t buffers) {
    return testing::feed_fake_streams(
        {}, std::vector<testing::FakeBuffer>(buffers, std::vector<float>(96, 0.1f)), {});
  }

  std::unique_ptr<Capture> capture;
};

TEST_F(CaptureTest, AFailedStreamIsReportedOnceAndOpenedAgainInTheSameFormat) {
  start();
  const std::uint64_t first = playing_streams()[0].serial;
  ASSERT_EQ(testing::fail_fake_streams({}, "device unplugged"), 1u);
  ASSERT_TRUE(eventually([&] {
    auto streams = playing_streams();
    return streams.size() == 1 && streams[0].serial != first;
  }));
  const auto reopened = playing_streams()[0];
  EXPECT_EQ(reopened.device, "mic");
  EXPECT_EQ(reopened.config, (StreamConfig{1, 44100}));
  EXPECT_EQ(capture->sample_rate(), 44100u);
  ASSERT_EQ(feed(3), 1u);
  ASSERT_TRUE(eventually([] { return playing_streams()[0].delivered == 3; }));

  capture->stop();
  EXPECT_EQ(testing::fake_counters().streams_alive, 0);
  const Delivered out = delivered();
  EXPECT_EQ(out.errors, (std::vector<std::string>{"stream error: device unplugged"}));
  EXPECT_EQ(out.chunks, 3u);
}

TEST_F(CaptureTest, ACaptureByIdWaitsForItsDeviceAndADefaultCaptureTakesTheNewDefault) {
  start("fake:usb");
  auto by_id = std::move(capture);
  start();
  auto by_default = std::move(capture);
  ASSERT_EQ(playing_streams().size(), 2u);

  // The usb device goes, and the default input is now another device.
  testing::reset_fake_host(machine({device("mic", 1, 44100), device("dock", 2, 48000)}, "dock"));
  ASSERT_EQ(testing::fail_fake_streams({}, "gone"), 2u);
  ASSERT_TRUE(eventually([] {
    auto streams = playing_streams();
    return streams.size() == 1 && streams[0].device == "dock";
  }));
  EXPECT_EQ(playing_streams()[0].config, (StreamConfig{1, 44100}));  // the capture's own format
  std::this_thread::sleep_for(4 * kReopenInterval);
  EXPECT_EQ(playing_streams().size(), 1u);  // still no usb device, still waiting

  testing::reset_fake_host(machine({device("mic", 1, 44100), device("usb", 2, 48000)}, "mic"));
  ASSERT_TRUE(eventually([] { return playing_streams().size() == 2; }));
  EXPECT_EQ(playing_streams()[1].device, "usb");
  by_id->stop();
  by_default->stop();
  EXPECT_EQ(testing::fake_counters().streams_alive, 0);
}

TEST_F(CaptureTest, NoDataIsReportedOnceAndTheCaptureKeepsItsStream) {
  start();
  const std::uint64_t serial = playing_streams()[0].serial;
  std::this_thread::sleep_for(kNoDataTimeout + kNoDataTimeout / 2);
  ASSERT_EQ(feed(2), 1u);
  ASSERT_TRUE(eventually([] { return playing_streams()[0].delivered == 2; }));
  EXPECT_EQ(playing_streams()[0].serial, serial);
  capture->stop();
  const Delivered out = delivered();
  EXPECT_EQ(out.errors,
            (std::vector<std::string>{"stream error: no audio from the device for 2 s"}));
  EXPECT_EQ(out.chunks, 2u);
}

TEST_F(CaptureTest, StopEndsTheRecoveryAndNothingRunsAfterIt) {
  start();
  FakeHostScript down = machine({device("mic", 1, 44100)}, "mic");
  down.lookup_error = "Connection refused";
  testing::reset_fake_host(std::move(down));
  testing::fail_fake_streams({}, "Connection terminated");
  ASSERT_TRUE(eventually([] { return testing::fake_counters().streams_alive == 0; }));
  std::this_thread::sleep_for(2 * kReopenInterval);  // attempts go on meanwhile
  capture->stop();
  const auto builds = testing::fake_counters().builds_attempted;
  testing::reset_fake_host(machine({device("mic", 1, 44100)}, "mic"));
  std::this_thread::sleep_for(3 * kReopenInterval);
  EXPECT_EQ(testing::fake_counters().builds_attempted, builds);
  EXPECT_EQ(testing::fake_counters().streams_alive, 0);
  EXPECT_EQ(delivered().errors, (std::vector<std::string>{"stream error: Connection terminated"}));
}

TEST_F(CaptureTest, AStartWithoutAServerKeepsTheMessageAndGivesTheReasonAsCause) {
  FakeHostScript down = machine({device("mic", 1, 44100)}, "mic");
  down.lookup_error = "Connection refused";
  testing::reset_fake_host(std::move(down));
  Capture mic(CaptureKind::kMicrophone, std::nullopt);
  ModuleResult<Ok> started = mic.start(fake_napi::env(), fake_napi::function(), nullptr, no_pause);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().message, "No default input device found");
  EXPECT_EQ(started.error().cause, "Connection refused");
  EXPECT_FALSE(mic.running());
}

TEST_F(CaptureTest, AnOverlongIdIsAnUnknownIdAndNeverLookedUp) {
  const std::size_t prefix = testing::kFakeIdPrefix.size();
  const std::string fits(kMaxDeviceIdBytes - prefix, 'f');
  const std::string over(kMaxDeviceIdBytes - prefix + 1, 'o');
  testing::reset_fake_host(
      machine({device("mic", 1, 44100), device(fits, 2, 48000), device(over, 2, 48000)}, "mic"));
  start("fake:" + over);
  EXPECT_EQ(playing_streams()[0].device, "mic");
  capture->stop();
  start("fake:" + fits);
  EXPECT_EQ(playing_streams()[0].device, fits);
}

}  // namespace
}  // namespace parlanto_audio
