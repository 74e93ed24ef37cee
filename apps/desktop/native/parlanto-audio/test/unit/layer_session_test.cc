#include "capture/layer_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "capture/recovery.h"
#include "delivery/coalescing_sink.h"
#include "fake_engine_test.h"
#include "host/fake/fake_host.h"

namespace parlanto_audio {
namespace {

using testing::eventually;

using namespace std::chrono_literals;
using testing::FakeDeviceScript;
using testing::FakeHostScript;

FakeHostScript machine(std::vector<std::string> inputs, std::string default_input) {
  FakeHostScript script;
  for (std::string& key : inputs) {
    FakeDeviceScript device;
    device.key = key;
    device.name = key;
    device.input = testing::FakeSideScript{{{SupportedStreamConfig{1, 48000}, {}}}, {}, {}};
    script.devices.push_back(std::move(device));
  }
  script.default_input = std::move(default_input);
  return script;
}

std::vector<testing::FakeStreamInfo> playing() {
  std::vector<testing::FakeStreamInfo> out;
  for (const auto& stream : testing::fake_streams()) {
    if (stream.playing) out.push_back(stream);
  }
  return out;
}

void no_pause(std::chrono::milliseconds) {}

// The session as the capture layer's binding drives it, on the fake host and
// engine: here the test's thread is the JavaScript thread, and the session's
// recovery runs beside it, as it does in a process.
class LayerSessionTest : public FakeEngineTest {
 protected:
  void SetUp() override { testing::reset_fake_host(machine({"mic"}, "mic")); }
  void TearDown() override {
    session.reset();
    sink.reset();
    FakeEngineTest::TearDown();
  }

  void open(LayerRequest request = {}) {
    auto created = CoalescingSink::create(fake_napi::env(), fake_napi::function(), nullptr);
    ASSERT_TRUE(created);
    sink = std::move(created).value();
    sink->on_fault(session->fault_listener());
    ASSERT_TRUE(session->begin_open());
    ModuleResult<OpenedLayerStream> opened =
        open_layer_stream(request, sink, session->stopped(), no_pause);
    ASSERT_TRUE(opened) << opened.error().message;
    ASSERT_TRUE(session->adopt(std::move(opened).value(), sink));
  }

  std::unique_ptr<LayerSession> session = std::make_unique<LayerSession>();
  std::shared_ptr<CoalescingSink> sink;
};

TEST_F(LayerSessionTest, AFailedStreamIsOpenedAgainByTheRecoveryWhileAMoveWaitsForIt) {
  open();
  const std::uint64_t first = playing().at(0).serial;
  ASSERT_EQ(testing::fail_fake_streams({}, "device unplugged"), 1u);
  ASSERT_TRUE(eventually([&] {
    const auto streams = playing();
    return streams.size() == 1 && streams[0].serial != first;
  }));
  // No second open runs beside the recovery's or over a stream that runs.
  std::this_thread::sleep_for(2 * kWatchInterval);
  EXPECT_EQ(testing::fake_builds().size(), 2u);

  // A move to another device: the recovery leaves it alone while it opens.
  testing::reset_fake_host(machine({"mic", "usb"}, "usb"));
  ASSERT_TRUE(session->begin_open());
  EXPECT_FALSE(session->begin_open());
  LayerRequest request = session->again();
  request.device_id = "fake:usb";
  request.exact_device = true;
  session->drop_stream();
  std::this_thread::sleep_for(2 * kWatchInterval);
  EXPECT_TRUE(playing().empty());
  ModuleResult<OpenedLayerStream> moved =
      open_layer_stream(request, sink, session->stopped(), no_pause);
  ASSERT_TRUE(moved);
  ASSERT_TRUE(session->adopt(std::move(moved).value(), sink));
  ASSERT_EQ(playing().size(), 1u);
  EXPECT_EQ(playing()[0].device, "usb");

  session->stop();
  EXPECT_EQ(testing::fake_counters().streams_alive, 0);
}

TEST_F(LayerSessionTest, AMoveThatFailsLeavesTheRecoveryToOpenTheDefault) {
  open();
  ASSERT_TRUE(session->begin_open());
  session->drop_stream();
  session->open_failed();
  ASSERT_TRUE(eventually([] { return playing().size() == 1; }));
  EXPECT_EQ(playing()[0].device, "mic");
  session->stop();
}

TEST_F(LayerSessionTest, StopEndsTheAttemptsOfARecoveryThatCannotOpen) {
  open();
  FakeHostScript down = machine({"mic"}, "mic");
  down.lookup_error = "Connection refused";
  testing::reset_fake_host(std::move(down));
  testing::fail_fake_streams({}, "Connection terminated");
  std::this_thread::sleep_for(3 * kReopenInterval);
  session->stop();
  const auto builds = testing::fake_counters().builds_attempted;
  testing::reset_fake_host(machine({"mic"}, "mic"));
  std::this_thread::sleep_for(3 * kReopenInterval);
  EXPECT_EQ(testing::fake_counters().builds_attempted, builds);
  EXPECT_EQ(testing::fake_counters().streams_alive, 0);
  EXPECT_FALSE(session->adopt({}, sink));  // a stopped session takes no stream
}

}  // namespace
}  // namespace parlanto_audio
