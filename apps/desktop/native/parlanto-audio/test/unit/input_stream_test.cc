#include "capture/input_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "fake_engine_test.h"
#include "host/fake/fake_host.h"

namespace parlanto_audio {
namespace {

using namespace std::chrono_literals;
using testing::FakeDefaultRead;
using testing::FakeDeviceScript;
using testing::FakeHostScript;
using testing::FakeSideScript;

using Rates = std::vector<std::uint32_t>;
using Configs = std::vector<StreamConfig>;

TEST(PreferredRatesInRange, KeepsThePreferredRatesInsideTheRangeInOrderOfPreference) {
  EXPECT_EQ(preferred_rates_in_range(8000, 96000), (Rates{48000, 44100, 32000, 16000}));
  EXPECT_EQ(preferred_rates_in_range(16000, 44100), (Rates{44100, 32000, 16000}));
  EXPECT_EQ(preferred_rates_in_range(44100, 44100), (Rates{44100}));
}

TEST(PreferredRatesInRange, FallsBackToTheBoundsWhenNoPreferredRateFits) {
  EXPECT_EQ(preferred_rates_in_range(22050, 24000), (Rates{24000, 22050}));
  EXPECT_EQ(preferred_rates_in_range(96000, 96000), (Rates{96000}));
  EXPECT_EQ(preferred_rates_in_range(48001, 96000), (Rates{96000, 48001}));
}

SupportedStreamConfig config(std::uint16_t channels, std::uint32_t rate,
                             SampleFormat format = SampleFormat::F32) {
  return {channels, rate, format};
}

SupportedStreamConfigRange range(std::uint16_t channels, std::uint32_t min, std::uint32_t max,
                                 SampleFormat format = SampleFormat::F32) {
  return {channels, min, max, format};
}

FakeSideScript side(std::vector<FakeDefaultRead> defaults,
                    std::vector<SupportedStreamConfigRange> ranges = {}) {
  return {std::move(defaults), std::move(ranges), std::nullopt};
}

FakeDeviceScript input_device(FakeSideScript input) {
  FakeDeviceScript device;
  device.key = "mic";
  device.input = std::move(input);
  return device;
}

// The one scripted device, through the seam.
std::shared_ptr<Device> only_device(FakeDeviceScript device) {
  FakeHostScript script;
  script.default_input = device.key;
  script.devices.push_back(std::move(device));
  testing::reset_fake_host(std::move(script));
  return default_host()->default_input_device().value();
}

ModuleResult<StreamCandidates> candidates_of(FakeDeviceScript device) {
  return stream_candidates(*only_device(std::move(device)));
}

TEST(StreamCandidates, DefaultComesFirstThenEachRangesRatesWithoutDuplicates) {
  auto two_channel =
      candidates_of(input_device(side({{config(2, 48000), {}}}, {range(2, 8000, 96000)})));
  ASSERT_TRUE(two_channel);
  EXPECT_EQ(two_channel->configs, (Configs{{2, 48000}, {2, 44100}, {2, 32000}, {2, 16000}}));

  auto mono_then_stereo = candidates_of(input_device(
      side({{config(2, 44100), {}}}, {range(1, 16000, 48000), range(2, 44100, 48000)})));
  ASSERT_TRUE(mono_then_stereo);
  EXPECT_EQ(mono_then_stereo->configs,
            (Configs{{2, 44100}, {1, 48000}, {1, 44100}, {1, 32000}, {1, 16000}, {2, 48000}}));
}

TEST(StreamCandidates, RangesOfAnotherFormatContributeNothing) {
  auto candidates = candidates_of(input_device(
      side({{config(2, 48000, SampleFormat::I16), {}}},
           {range(2, 8000, 96000, SampleFormat::F32), range(1, 16000, 16000, SampleFormat::I16)})));
  ASSERT_TRUE(candidates);
  EXPECT_EQ(candidates->format, SampleFormat::I16);
  EXPECT_EQ(candidates->configs, (Configs{{2, 48000}, {1, 16000}}));
}

TEST(StreamCandidates, FallbackListWhenTheSecondReadDisagreesAndNoRangeMatches) {
  // The format comes from the first read; channels and rate from the second.
  auto candidates = candidates_of(
      input_device(side({{config(2, 48000), {}}, {config(1, 22050, SampleFormat::I16), {}}},
                        {range(2, 8000, 96000, SampleFormat::I16)})));
  ASSERT_TRUE(candidates);
  EXPECT_EQ(candidates->format, SampleFormat::F32);
  EXPECT_EQ(
      candidates->configs,
      (Configs{
          {1, 22050}, {1, 48000}, {1, 44100}, {1, 32000}, {1, 16000}, {2, 48000}, {2, 44100}}));
}

TEST(StreamCandidates, UnreadableDefaultsFailWithTheAudioSystemsText) {
  auto first = candidates_of(input_device(side({{std::nullopt, "device unplugged"}})));
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error().status, napi_generic_failure);
  EXPECT_EQ(first.error().message, "Failed to read stream config: device unplugged");

  FakeSideScript second_fails = side({{config(2, 48000), {}}, {std::nullopt, "went away"}});
  second_fails.ranges_error = "ranges unreadable";
  auto second = candidates_of(input_device(second_fails));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().message, "Failed to read stream config: went away");

  // A failed second read with a matching range is no failure.
  auto with_range = candidates_of(input_device(
      side({{config(2, 48000), {}}, {std::nullopt, "went away"}}, {range(1, 44100, 44100)})));
  ASSERT_TRUE(with_range);
  EXPECT_EQ(with_range->configs, (Configs{{1, 44100}}));
}

TEST(StreamCandidates, TheSideFollowsTheDeviceNotTheCaptureKind) {
  FakeDeviceScript both = input_device(side({{config(1, 16000), {}}}));
  both.output = side({{config(2, 44100), {}}});
  auto recorded = candidates_of(both);
  ASSERT_TRUE(recorded);
  EXPECT_EQ(recorded->configs, (Configs{{1, 16000}}));

  FakeDeviceScript output_only;
  output_only.key = "speakers";
  output_only.output = side({{config(2, 44100), {}}});
  auto played = candidates_of(output_only);
  ASSERT_TRUE(played);
  EXPECT_EQ(played->configs, (Configs{{2, 44100}}));
}

TEST(IsRetryable, DecidesByTheAudioSystemsKindNeverByTheText) {
  EXPECT_TRUE(is_retryable(ModuleError{napi_generic_failure, "anything", {}, ErrorKind::kBusy}));
  for (const ErrorKind kind : {ErrorKind::kOther, ErrorKind::kGone, ErrorKind::kTimedOut}) {
    EXPECT_FALSE(is_retryable(
        ModuleError{napi_generic_failure, "build_input_stream failed: device is busy", {}, kind}));
  }
}

// Stream set-up on the fake host and the recording Node-API fake.
class BeginInputStreamTest : public FakeEngineTest {
 protected:
  static void record_pause(std::chrono::milliseconds pause) { pauses.push_back(pause); }

  ModuleResult<InputStream> begin(Device& device, bool speech_ended = false) {
    pauses.clear();
    StartCallbacks callbacks{fake_napi::env(), fake_napi::function(),
                             speech_ended ? fake_napi::function() : nullptr};
    return begin_input_stream(device, callbacks, stopped, record_pause);
  }

  static bool all_released() {
    for (const fake_napi::Tsfn* tsfn : fake_napi::tsfns()) {
      if (tsfn->releases != 1) return false;
    }
    return true;
  }

  static inline std::vector<std::chrono::milliseconds> pauses;
  std::shared_ptr<std::atomic<bool>> stopped = std::make_shared<std::atomic<bool>>(false);
};

FakeDeviceScript stereo_mic() {
  return input_device(side({{config(2, 48000), {}}}, {range(2, 8000, 96000)}));
}

TEST_F(BeginInputStreamTest, TheFirstCandidateThatBuildsIsStartedAndReported) {
  FakeDeviceScript script = stereo_mic();
  script.rejected_configs.push_back({2, 48000, "rate refused"});
  auto device = only_device(script);
  {
    auto started = begin(*device);
    ASSERT_TRUE(started);
    EXPECT_EQ(started->sample_rate, 44100u);
    EXPECT_EQ(started->channels, 2);
    EXPECT_EQ(testing::fake_builds().size(), 2u);
    EXPECT_EQ(testing::fake_streams().at(0).playing, true);
    EXPECT_EQ(fake_napi::tsfns().size(), 1u);  // no speech-ended callback, no gate
    EXPECT_EQ(stopped.use_count(), 2);         // the test's and the data callback's
  }
  EXPECT_EQ(testing::fake_counters().streams_alive, 0);
  EXPECT_EQ(stopped.use_count(), 1);
}

TEST_F(BeginInputStreamTest, TheGateLivesExactlyAsLongAsTheStream) {
  auto device = only_device(stereo_mic());
  auto started = begin(*device, /*speech_ended=*/true);
  ASSERT_TRUE(started);
  ASSERT_EQ(fake_napi::tsfns().size(), 2u);
  started->stream.reset();
  started->speech_ended_sink.reset();
  EXPECT_EQ(fake_napi::tsfns()[1]->releases, 1);  // the gate's sink went with the stream
  EXPECT_EQ(fake_napi::tsfns()[0]->releases, 0);  // the chunk sink is still held here
}

TEST_F(BeginInputStreamTest, ABusyDeviceIsTriedAgainAfterAPause) {
  FakeDeviceScript script = input_device(side({{config(1, 48000), {}}}));
  script.build_outcomes = {"The Device Is Busy"};
  auto device = only_device(script);
  auto started = begin(*device, /*speech_ended=*/true);
  ASSERT_TRUE(started);
  EXPECT_EQ(pauses, (std::vector{400ms}));
  // The failed attempt's two sinks were let go; the second attempt's are live.
  const auto tsfns = fake_napi::tsfns();
  ASSERT_EQ(tsfns.size(), 4u);
  EXPECT_EQ(tsfns[0]->releases, 1);
  EXPECT_EQ(tsfns[1]->releases, 1);
  EXPECT_EQ(tsfns[2]->releases, 0);
  EXPECT_EQ(tsfns[3]->releases, 0);
}

TEST_F(BeginInputStreamTest, TheThirdFailureIsReturnedUnchanged) {
  FakeDeviceScript script = input_device(side({{config(1, 48000), {}}}));
  script.rejected_configs.push_back({std::nullopt, std::nullopt, "device is busy"});
  auto device = only_device(script);
  auto started = begin(*device, /*speech_ended=*/true);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().status, napi_generic_failure);
  EXPECT_EQ(started.error().message, "build_input_stream failed: device is busy");
  EXPECT_EQ(pauses, (std::vector{400ms, 400ms}));
  EXPECT_EQ(testing::fake_builds().size(), 3u);
  EXPECT_EQ(fake_napi::tsfns().size(), 6u);
  EXPECT_TRUE(all_released());
  EXPECT_EQ(stopped.use_count(), 1);
}

TEST_F(BeginInputStreamTest, TheLastBuildErrorIsTheOneReported) {
  FakeDeviceScript script = stereo_mic();
  script.build_outcomes = {"first refusal", "second refusal", "third refusal", "last refusal"};
  auto device = only_device(script);
  auto started = begin(*device);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().message, "build_input_stream failed: last refusal");
  EXPECT_TRUE(pauses.empty());
}

TEST_F(BeginInputStreamTest, AnUnsupportedFormatFailsAtOnceWithoutBuilding) {
  auto device = only_device(input_device(side({{config(2, 48000, SampleFormat::I32), {}}})));
  auto started = begin(*device, /*speech_ended=*/true);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().message, "Unsupported sample format: I32");
  EXPECT_TRUE(pauses.empty());
  EXPECT_TRUE(testing::fake_builds().empty());
  EXPECT_TRUE(all_released());
}

TEST_F(BeginInputStreamTest, AStreamThatWillNotPlayIsDestroyed) {
  FakeDeviceScript script = stereo_mic();
  script.play_outcomes = {"Device not available", "server gone"};
  auto device = only_device(script);
  auto started = begin(*device);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().message, "play stream failed: server gone");
  EXPECT_EQ(pauses.size(), 1u);
  EXPECT_EQ(testing::fake_counters().streams_alive, 0);
  EXPECT_TRUE(all_released());
}

TEST_F(BeginInputStreamTest, SinkCreationFailuresCarryTheEnginesStatus) {
  auto device = only_device(stereo_mic());
  fake_napi::overrides().create_threadsafe_function = napi_function_expected;
  auto started = begin(*device);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().status, napi_function_expected);
  EXPECT_EQ(started.error().message, "");
  EXPECT_TRUE(pauses.empty());
  EXPECT_TRUE(testing::fake_builds().empty());
}

}  // namespace
}  // namespace parlanto_audio
