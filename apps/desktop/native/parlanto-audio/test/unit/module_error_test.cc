#include "base/module_error.h"

#include <gtest/gtest.h>

#include "fake_napi.h"

namespace parlanto_audio {
namespace {

TEST(ModuleError, StatusNamesAndText) {
  EXPECT_STREQ(status_name(napi_ok), "Ok");
  EXPECT_STREQ(status_name(napi_string_expected), "StringExpected");
  EXPECT_STREQ(status_name(napi_detachable_arraybuffer_expected), "DetachableArraybufferExpected");
  EXPECT_STREQ(status_name(napi_no_external_buffers_allowed), "NoExternalBuffersAllowed");
  EXPECT_STREQ(status_name(static_cast<napi_status>(23)), "Unknown");
  EXPECT_EQ(error_text({napi_generic_failure, "build_input_stream failed: busy"}),
            "GenericFailure, build_input_stream failed: busy");
  EXPECT_EQ(error_text({napi_function_expected, ""}), "FunctionExpected");
}

TEST(ModuleError, APendingExceptionWinsOverTheNewError) {
  napi_value first = fake_napi::function();
  napi_throw(fake_napi::env(), first);
  throw_error(fake_napi::env(), {napi_generic_failure, "second"});
  napi_value thrown = nullptr;
  napi_get_and_clear_last_exception(fake_napi::env(), &thrown);
  EXPECT_EQ(thrown, first);

  throw_error(fake_napi::env(), {napi_string_expected, "not a string"});
  napi_get_and_clear_last_exception(fake_napi::env(), &thrown);
  EXPECT_EQ(fake_napi::value(thrown).code, "StringExpected");
  EXPECT_EQ(fake_napi::value(thrown).text, "not a string");
  fake_napi::reset();
}

}  // namespace
}  // namespace parlanto_audio
