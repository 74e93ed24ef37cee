#include "delivery/js_callback_sink.h"

#include <gtest/gtest.h>

#include "fake_engine_test.h"

namespace parlanto_audio {
namespace {

using Converter = JsCallbackSink::Converter;
using Kind = fake_napi::Value::Kind;

class SinkTest : public FakeEngineTest {
 protected:
  void TearDown() override {
    testing::set_buffer_refusal(testing::BufferRefusal::kNone);
    FakeEngineTest::TearDown();
  }
};

TEST_F(SinkTest, CreatesAnUnboundedFunctionWithOneThread) {
  auto chunks = sink(Converter::kChunk);
  const auto* tsfn = fake_napi::tsfns().at(0);
  EXPECT_EQ(tsfn->max_queue_size, 0u);
  EXPECT_EQ(tsfn->thread_count, 1u);
  chunks.reset();
  EXPECT_EQ(tsfn->releases, 1);
}

TEST_F(SinkTest, RefusedCreationLeavesNothingToRelease) {
  fake_napi::overrides().create_threadsafe_function = napi_invalid_arg;
  auto created = JsCallbackSink::create(fake_napi::env(), fake_napi::function(), Converter::kChunk);
  ASSERT_FALSE(created.has_value());
  EXPECT_EQ(created.error().status, napi_invalid_arg);
  EXPECT_EQ(created.error().message, "");
  EXPECT_TRUE(fake_napi::tsfns().empty());
}

TEST_F(SinkTest, QueuedCallsAreDeliveredAfterTheLastHolderLetsGo) {
  auto first = sink(Converter::kChunk);
  auto second = first;
  first->call(PcmChunk{1, 2}, napi_tsfn_nonblocking);
  first.reset();
  EXPECT_EQ(fake_napi::tsfns()[0]->releases, 0);
  second->call(PcmChunk{3, 4}, napi_tsfn_nonblocking);
  second.reset();
  EXPECT_EQ(fake_napi::tsfns()[0]->releases, 1);

  fake_napi::drain(0);
  const auto delivered = calls_of(0);
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(fake_napi::value(delivered[0].args[1]).bytes, (PcmChunk{1, 2}));
  EXPECT_EQ(fake_napi::value(delivered[1].args[1]).bytes, (PcmChunk{3, 4}));
  EXPECT_TRUE(fake_napi::tsfns()[0]->finalized);
}

TEST_F(SinkTest, TeardownAbortsTheSinkAndFreesWhatWasQueued) {
  auto chunks = sink(Converter::kChunk);
  EXPECT_EQ(chunks->call(PcmChunk(4096, 7), napi_tsfn_nonblocking), napi_ok);
  EXPECT_EQ(chunks->call(PcmChunk(4096, 8), napi_tsfn_nonblocking), napi_ok);
  fake_napi::teardown(0);
  EXPECT_TRUE(calls_of(0).empty());
  // The fake aborts on any call into a finalized function, and on a release.
  EXPECT_EQ(chunks->call(PcmChunk(4096, 9), napi_tsfn_nonblocking), napi_closing);
  EXPECT_EQ(chunks->call(std::uint8_t{0}, napi_tsfn_nonblocking), napi_closing);
  chunks.reset();
  EXPECT_EQ(fake_napi::tsfns()[0]->releases, 0);
}

TEST_F(SinkTest, ChunksAreCopiedWhereExternalBuffersAreForbidden) {
  auto chunks = sink(Converter::kChunk);
  fake_napi::overrides().create_external_buffer = napi_no_external_buffers_allowed;
  chunks->call(PcmChunk{5, 6, 7, 8}, napi_tsfn_nonblocking);
  fake_napi::drain(0);
  const auto& buffer = fake_napi::value(calls_of(0).at(0).args.at(1));
  EXPECT_EQ(buffer.kind, Kind::kBuffer);
  EXPECT_FALSE(buffer.external);
  EXPECT_EQ(buffer.bytes, (PcmChunk{5, 6, 7, 8}));
}

TEST_F(SinkTest, ABufferThatCannotBeMadeReachesTheCallbackAsAnError) {
  auto chunks = sink(Converter::kChunk);
  testing::set_buffer_refusal(testing::BufferRefusal::kExternalAndCopy);
  chunks->call(PcmChunk{1, 2}, napi_tsfn_nonblocking);
  fake_napi::drain(0);
  testing::set_buffer_refusal(testing::BufferRefusal::kNone);
  chunks->call(PcmChunk{3, 4}, napi_tsfn_nonblocking);
  fake_napi::drain(0);

  const auto delivered = calls_of(0);
  ASSERT_EQ(delivered.size(), 2u);
  ASSERT_EQ(delivered[0].args.size(), 1u);
  const auto& error = fake_napi::value(delivered[0].args[0]);
  EXPECT_EQ(error.kind, Kind::kError);
  EXPECT_EQ(error.text, "Failed to create napi buffer");
  EXPECT_EQ(error.code, "GenericFailure");
  EXPECT_EQ(fake_napi::value(delivered[1].args[1]).bytes, (PcmChunk{3, 4}));
}

TEST_F(SinkTest, AThrowingCallbackIsReportedAsUncaughtAndCalledAgain) {
  auto chunks = sink(Converter::kChunk, fake_napi::function(/*throws=*/true));
  chunks->call(PcmChunk{1, 2}, napi_tsfn_nonblocking);
  chunks->call(PcmChunk{3, 4}, napi_tsfn_nonblocking);
  fake_napi::drain(0);
  EXPECT_EQ(calls_of(0).size(), 2u);
  const auto fatal = fake_napi::fatal_exceptions();
  ASSERT_EQ(fatal.size(), 2u);
  EXPECT_EQ(fake_napi::value(fatal[0]).text, "thrown by the callback");
  bool pending = true;
  napi_is_exception_pending(fake_napi::env(), &pending);
  EXPECT_FALSE(pending);
}

TEST_F(SinkTest, AnyOtherFailedCallIsReportedWithItsStatus) {
  auto ended = sink(Converter::kSpeechEnded);
  fake_napi::overrides().call_function = napi_generic_failure;
  ended->call(std::uint8_t{0}, napi_tsfn_nonblocking);
  fake_napi::drain(0);
  const auto fatal = fake_napi::fatal_exceptions();
  ASSERT_EQ(fatal.size(), 1u);
  EXPECT_EQ(fake_napi::value(fatal[0]).text,
            "Call JavaScript callback failed in threadsafe function");
  EXPECT_EQ(fake_napi::value(fatal[0]).code, "GenericFailure");
}

}  // namespace
}  // namespace parlanto_audio
