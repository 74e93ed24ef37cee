#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "fake_napi.h"
#include "delivery/js_callback_sink.h"

namespace parlanto_audio {

// Each test starts with an empty fake engine. At the end every thread-safe
// function still open is drained or torn down, so records and chunks left
// behind show up as leaks under the sanitizer build.
class FakeEngineTest : public ::testing::Test {
 protected:
  static std::shared_ptr<JsCallbackSink> sink(JsCallbackSink::Converter kind,
                                              napi_value function = fake_napi::function()) {
    auto created = JsCallbackSink::create(fake_napi::env(), function, kind);
    EXPECT_TRUE(created.has_value());
    return created.has_value() ? std::move(created).value() : nullptr;
  }

  // The JavaScript calls made for one thread-safe function, in order.
  static std::vector<fake_napi::JsCall> calls_of(std::size_t tsfn) {
    std::vector<fake_napi::JsCall> out;
    for (const auto& call : fake_napi::calls()) {
      if (call.function == fake_napi::tsfns()[tsfn]->function) out.push_back(call);
    }
    return out;
  }

  void TearDown() override {
    const auto all = fake_napi::tsfns();
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (!all[i]->finalized) fake_napi::drain(i);
      if (!all[i]->finalized) fake_napi::teardown(i);
    }
    fake_napi::reset();
  }
};

}  // namespace parlanto_audio
