// The cross-thread contracts of the data path, written to be run under the
// thread sanitizer as well: outcomes are fixed whatever the interleaving, and
// plain (unsynchronised) bookkeeping is read after the handovers the code
// promises, so a missing handover shows up as a data race.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <latch>
#include <memory>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "fake_engine_test.h"
#include "host/fake/fake_host.h"
#include "turn/speech_ended_gate.h"

namespace parlanto_audio {
namespace {

using Converter = JsCallbackSink::Converter;

constexpr std::size_t kCallers = 4;

// A chunk naming its caller and its place in that caller's sequence.
PcmChunk tagged(std::size_t caller, std::uint32_t seq) {
  return {static_cast<std::uint8_t>(caller), static_cast<std::uint8_t>(seq),
          static_cast<std::uint8_t>(seq >> 8), static_cast<std::uint8_t>(seq >> 16)};
}

// The sequence numbers delivered to JavaScript, per caller.
std::vector<std::vector<std::uint32_t>> delivered_by_caller(
    const std::vector<fake_napi::JsCall>& calls) {
  std::vector<std::vector<std::uint32_t>> out(kCallers);
  for (const auto& call : calls) {
    const auto& bytes = fake_napi::value(call.args.at(1)).bytes;
    EXPECT_EQ(bytes.size(), 4u);
    if (bytes.size() != 4 || bytes[0] >= kCallers) continue;
    out[bytes[0]].push_back(static_cast<std::uint32_t>(bytes[1] | bytes[2] << 8 | bytes[3] << 16));
  }
  return out;
}

std::size_t queued_on(std::size_t tsfn) {
  std::size_t count = 0;
  for (const auto& queued : fake_napi::queued()) count += queued.tsfn == tsfn ? 1 : 0;
  return count;
}

using SinkConcurrencyTest = FakeEngineTest;

// Environment teardown while audio threads keep calling: from the moment the
// finalization notice is due, calls are refused; none reaches the function
// after it (the fake aborts on that), and nothing accepted is lost.
TEST_F(SinkConcurrencyTest, TeardownRacingCallersRefusesEveryCallAfterTheNotice) {
  auto chunks = sink(Converter::kChunk);
  std::latch started(kCallers);
  std::vector<std::uint32_t> accepted(kCallers, 0);  // each written by its own caller
  std::vector<std::thread> callers;
  for (std::size_t c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c, holder = chunks] {
      std::uint32_t refusals = 0;
      for (std::uint32_t seq = 0; refusals < 3; ++seq) {
        const napi_status status = holder->call(tagged(c, seq), napi_tsfn_nonblocking);
        if (seq == 0) started.count_down();
        if (status == napi_ok) {
          EXPECT_EQ(refusals, 0u) << "accepted after a refusal";
          ++accepted[c];
        } else {
          EXPECT_EQ(status, napi_closing);
          ++refusals;
        }
      }
    });
  }
  started.wait();
  fake_napi::drain(0);  // the JavaScript thread runs callbacks while the calls go on
  fake_napi::teardown(0);
  EXPECT_EQ(chunks->call(tagged(0, 0), napi_tsfn_nonblocking), napi_closing);
  for (auto& caller : callers) caller.join();
  chunks.reset();

  EXPECT_EQ(fake_napi::tsfns()[0]->releases, 0);  // finalized functions are never released
  std::size_t total = 0;
  for (const std::uint32_t n : accepted) total += n;
  EXPECT_EQ(queued_on(0), total);
  const auto delivered = delivered_by_caller(calls_of(0));
  for (std::size_t c = 0; c < kCallers; ++c) {
    EXPECT_GE(accepted[c], 1u);
    // In order, without gaps, and nothing that was not accepted.
    for (std::size_t i = 0; i < delivered[c].size(); ++i) ASSERT_EQ(delivered[c][i], i);
    EXPECT_LE(delivered[c].size(), accepted[c]);
  }
}

// The holders let go on their own threads, the last of them releasing the
// function, while the others still call and JavaScript drains: every call is
// delivered, the function is released once and finalized once drained.
TEST_F(SinkConcurrencyTest, TheLastHolderLettingGoOnAnAudioThreadReleasesOnce) {
  constexpr std::uint32_t kCallsEach = 200;
  auto chunks = sink(Converter::kChunk);
  std::latch go(kCallers + 1);
  std::vector<std::thread> callers;
  for (std::size_t c = 0; c < kCallers; ++c) {
    callers.emplace_back([&go, c, holder = chunks]() mutable {
      go.arrive_and_wait();
      for (std::uint32_t seq = 0; seq < kCallsEach; ++seq) {
        EXPECT_EQ(holder->call(tagged(c, seq), napi_tsfn_nonblocking), napi_ok);
      }
      holder.reset();
    });
  }
  chunks.reset();  // from here on the callers are the only holders
  go.arrive_and_wait();
  const fake_napi::Tsfn* tsfn = fake_napi::tsfns()[0];
  while (!tsfn->finalized) {
    fake_napi::drain(0);
    std::this_thread::yield();
  }
  for (auto& caller : callers) caller.join();

  EXPECT_EQ(tsfn->releases, 1);
  const auto delivered = delivered_by_caller(calls_of(0));
  for (std::size_t c = 0; c < kCallers; ++c) {
    ASSERT_EQ(delivered[c].size(), kCallsEach);
    for (std::uint32_t i = 0; i < kCallsEach; ++i) ASSERT_EQ(delivered[c][i], i);
  }
}

using GateConcurrencyTest = FakeEngineTest;

// The audio thread feeds speech and pauses while another thread reads the
// state: each pause ends speech exactly once, and the reader only ever sees
// the voice positions the audio thread set, in order. At 1000 Hz mono a
// sample is a millisecond.
TEST_F(GateConcurrencyTest, StateReadsWhileTheAudioThreadObserves) {
  constexpr std::int64_t kCycles = 150;
  constexpr std::uint64_t kCycleSamples = 64 + 64 + 400 + 64;
  SpeechEndedGate gate(sink(Converter::kSpeechEnded), 1000, 1);
  const std::vector<float> loud(64, 0.5f);
  const std::vector<float> quiet(64, 0.001f);
  const std::vector<float> pause(400, 0.001f);
  std::atomic<bool> done{false};

  std::thread audio([&] {
    for (std::int64_t cycle = 1; cycle <= kCycles; ++cycle) {
      gate.observe_f32(loud);
      gate.observe_f32(quiet);  // a short pause: still speaking
      gate.observe_f32(pause);  // long enough: speech ends
      gate.observe_f32(quiet);  // already ended
    }
    done = true;
  });
  std::uint64_t last_seen = 0;
  while (!done) {
    const SpeechState state = gate.state();
    if (!state.speaking) continue;
    EXPECT_EQ((state.last_voice - 64) % kCycleSamples, 0u);
    EXPECT_GE(state.last_voice, last_seen);
    last_seen = state.last_voice;
  }
  audio.join();

  EXPECT_FALSE(gate.state().speaking);
  EXPECT_EQ(queued_on(0), static_cast<std::size_t>(kCycles));
}

// A stream dropped while its thread is inside the data callback with more
// buffers queued: the destructor waits for that call, runs no other, and
// destroys the callbacks before it returns.
TEST(FakeStreamDrop, DroppingWhileDeliveringWaitsAndDestroysTheCallbacks) {
  testing::FakeDeviceScript device;
  device.key = "drop-mic";
  device.input = testing::FakeSideScript{};
  testing::FakeHostScript script;
  script.default_input = device.key;
  script.devices.push_back(std::move(device));
  testing::reset_fake_host(std::move(script));

  struct Observed {
    std::atomic<int> calls{0};
    std::atomic<bool> dropping{false};
    std::atomic<bool> dropped{false};
    std::atomic<bool> late{false};
    std::vector<std::size_t> sizes;  // written by the stream's thread only
  } observed;
  auto token = std::make_shared<int>(0);
  const std::weak_ptr<int> callbacks_alive = token;

  auto built = default_host()->default_input_device().value()->build_input_stream_f32(
      StreamConfig{1, 48000},
      [&observed, token](std::span<const float> samples) {
        if (observed.dropped) observed.late = true;
        observed.sizes.push_back(samples.size());
        if (++observed.calls == 10) {
          while (!observed.dropping) std::this_thread::yield();
        }
      },
      [token](const HostError&) {});
  token.reset();
  ASSERT_TRUE(built.has_value());
  std::unique_ptr<Stream> stream = std::move(built).value();
  ASSERT_TRUE(stream->play().has_value());
  const std::vector<testing::FakeBuffer> buffers(200, std::vector<float>(32, 0.25f));
  ASSERT_EQ(testing::feed_fake_streams({std::nullopt, "drop-mic"}, buffers, {}), 1u);
  while (observed.calls < 10) std::this_thread::yield();

  observed.dropping = true;
  stream.reset();
  observed.dropped = true;

  EXPECT_TRUE(callbacks_alive.expired());
  EXPECT_FALSE(observed.late);
  EXPECT_EQ(observed.sizes.size(), static_cast<std::size_t>(observed.calls.load()));
  EXPECT_EQ(observed.sizes.front(), 32u);
  EXPECT_TRUE(testing::fake_streams().empty());
}

}  // namespace
}  // namespace parlanto_audio
