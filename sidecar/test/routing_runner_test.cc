#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "runner_test_support.h"
#include "sidecar_runner.h"

namespace sidecar {
namespace {

using runner_test::error_of;
using runner_test::tool_call;

// What a model is asked for when the program has no llama.cpp, and when it
// does: a missing file proves the request reached the model runner.
std::string missing_model_error(const std::string& path) {
#if SIDECAR_WITH_LLAMA
  return "cannot open model file " + path + ": No such file or directory";
#else
  (void)path;
  return "this sidecar was built without llama.cpp (run scripts/setup-llama.sh, then cmake "
         "again)";
#endif
}

TEST(RoutingRunner, LeavesEveryRequestThatNamesNoModelToTheStub) {
  const auto runner = CreateSidecarRunner();
  const auto stub = CreateStubRunner();
  EXPECT_STREQ(runner->Mode(), "stub");
  for (const std::string backend : {"", "metal", "LLAMA.CPP", "llama"}) {
    const ToolCallRequest request = tool_call("What is Kafka?", backend, "/models/x.gguf");
    EXPECT_EQ(runner->GenerateToolCall(request).output, stub->GenerateToolCall(request).output);
    std::string via_runner, via_stub;
    runner->AppendEscapedToolCall(request, via_runner);
    stub->AppendEscapedToolCall(request, via_stub);
    EXPECT_EQ(via_runner, via_stub);
  }
}

TEST(RoutingRunner, SendsTheLlamaBackendToTheModelRunner) {
  const auto runner = CreateSidecarRunner();
  EXPECT_EQ(error_of(*runner, tool_call("hi", "llama.cpp", "/nonexistent/a.gguf")),
            missing_model_error("/nonexistent/a.gguf"));
  std::string response;
  EXPECT_THROW(
      runner->AppendEscapedToolCall(tool_call("hi", "llama.cpp", "/nonexistent/a.gguf"), response),
      std::runtime_error);
#if SIDECAR_WITH_LLAMA
  EXPECT_EQ(error_of(*runner, tool_call("hi", "llama.cpp", "")),
            "the llama.cpp backend needs a \"modelPath\" naming a GGUF file");
#endif
  // The stub still answers the next request as before.
  EXPECT_EQ(runner->GenerateToolCall(tool_call("summary", "", "")).output,
            "<start_function_call>call:summarize_session{session_id:<escape>current<escape>}"
            "<end_function_call>");
}

TEST(RoutingRunner, WithAModelOptionAnswersEveryToolCallWithThatModel) {
  const auto runner = CreateSidecarRunner({"/nonexistent/default.gguf", 1});
  EXPECT_STREQ(runner->Mode(), "llama.cpp");
  EXPECT_EQ(error_of(*runner, tool_call("summary", "", "")),
            missing_model_error("/nonexistent/default.gguf"));
  EXPECT_EQ(error_of(*runner, tool_call("summary", "metal", "/nonexistent/other.gguf")),
            missing_model_error("/nonexistent/default.gguf"));
  // A request naming the backend and its own file gets that file.
  EXPECT_EQ(error_of(*runner, tool_call("summary", "llama.cpp", "/nonexistent/other.gguf")),
            missing_model_error("/nonexistent/other.gguf"));
}

}  // namespace
}  // namespace sidecar
