#include "data/capture_callback.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "fake_engine_test.h"

namespace parlanto_audio {
namespace {

using namespace std::chrono_literals;
using Converter = JsCallbackSink::Converter;
using Kind = fake_napi::Value::Kind;

constexpr std::size_t kChunks = 0;  // thread-safe functions in creation order
constexpr std::size_t kSpeechEnded = 1;

class CaptureCallbackTest : public FakeEngineTest {
 protected:
  void SetUp() override {
    auto chunk_sink = sink(Converter::kChunk);
    // At 1 Hz a single sample is a second of stream time: any quiet buffer
    // after voice completes the silence.
    callback =
        CaptureCallback{stopped, chunk_sink,
                        std::make_shared<SpeechEndedGate>(sink(Converter::kSpeechEnded), 1, 1)};
  }
  void TearDown() override {
    callback = {};
    FakeEngineTest::TearDown();
  }

  static std::vector<std::size_t> queue_order() {
    std::vector<std::size_t> order;
    for (const auto& entry : fake_napi::queued()) order.push_back(entry.tsfn);
    return order;
  }

  std::shared_ptr<std::atomic<bool>> stopped = std::make_shared<std::atomic<bool>>(false);
  CaptureCallback callback;
};

TEST_F(CaptureCallbackTest, SpeechEndedIsQueuedBeforeTheChunkOfTheBufferThatEndedIt) {
  callback(std::vector<float>{0.5f, -0.5f});
  callback(std::vector<float>{0.0f, 0.001f});
  EXPECT_EQ(queue_order(), (std::vector{kChunks, kSpeechEnded, kChunks}));

  fake_napi::drain(kChunks);
  fake_napi::drain(kSpeechEnded);
  const auto chunks = calls_of(kChunks);
  ASSERT_EQ(chunks.size(), 2u);
  for (const auto& call : chunks) {
    EXPECT_EQ(fake_napi::value(call.receiver).kind, Kind::kUndefined);
    ASSERT_EQ(call.args.size(), 2u);
    EXPECT_EQ(fake_napi::value(call.args[0]).kind, Kind::kNull);
    EXPECT_TRUE(fake_napi::value(call.args[1]).external);
  }
  EXPECT_EQ(fake_napi::value(chunks[0].args[1]).bytes, (PcmChunk{0xFF, 0x3F, 0x01, 0xC0}));
  EXPECT_EQ(fake_napi::value(chunks[1].args[1]).bytes, (PcmChunk{0x00, 0x00, 0x20, 0x00}));

  const auto ended = calls_of(kSpeechEnded);
  ASSERT_EQ(ended.size(), 1u);
  ASSERT_EQ(ended[0].args.size(), 2u);
  EXPECT_EQ(fake_napi::value(ended[0].args[0]).kind, Kind::kNull);
  EXPECT_EQ(fake_napi::value(ended[0].args[1]).kind, Kind::kUndefined);
}

TEST_F(CaptureCallbackTest, IntegerFormMeasuresRawSamplesAndQueuesTheirBytes) {
  callback(std::vector<std::int16_t>{590, -590});
  EXPECT_TRUE(callback.gate->state().speaking);
  callback(std::vector<std::int16_t>{589, -589});
  EXPECT_EQ(queue_order(), (std::vector{kChunks, kSpeechEnded, kChunks}));
  fake_napi::drain(kChunks);
  EXPECT_EQ(fake_napi::value(calls_of(kChunks)[1].args[1]).bytes,
            (PcmChunk{0x4D, 0x02, 0xB3, 0xFD}));
}

TEST_F(CaptureCallbackTest, NothingIsMeasuredOrQueuedOnceStopped) {
  callback(std::vector<float>{0.5f});
  stopped->store(true);
  callback(std::vector<float>{0.0f});  // would end the utterance if measured
  callback(std::vector<std::int16_t>{0});
  EXPECT_EQ(queue_order(), (std::vector{kChunks}));
  EXPECT_TRUE(callback.gate->state().speaking);
}

TEST_F(CaptureCallbackTest, EmptyBuffersQueueNothingAndLeaveTheGateAlone) {
  callback(std::vector<float>{0.5f});
  callback(std::span<const float>{});
  callback(std::span<const std::int16_t>{});
  EXPECT_EQ(queue_order(), (std::vector{kChunks}));
  EXPECT_TRUE(callback.gate->state().speaking);
}

TEST_F(CaptureCallbackTest, WithoutAGateChunksStillFlow) {
  callback.gate = nullptr;  // the speech-ended sink closes with the gate
  callback(std::vector<float>{0.5f});
  callback(std::vector<float>{0.0f});
  EXPECT_EQ(queue_order(), (std::vector{kChunks, kChunks}));
}

// The error callback writes exactly one line to standard error.
std::string captured_stderr(const HostError& error) {
  int pipe_fds[2];
  EXPECT_EQ(pipe(pipe_fds), 0);
  const int saved = dup(STDERR_FILENO);
  dup2(pipe_fds[1], STDERR_FILENO);
  report_stream_error(error);
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(pipe_fds[1]);
  std::string out;
  char buffer[256];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
    out.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipe_fds[0]);
  return out;
}

TEST(ReportStreamError, WritesOneLine) {
  EXPECT_EQ(captured_stderr({"device unplugged"}),
            "[parlanto_audio] stream error: device unplugged\n");
  EXPECT_EQ(captured_stderr({"server gone\nreconnect"}),
            "[parlanto_audio] stream error: server gone reconnect\n");
}

}  // namespace
}  // namespace parlanto_audio
