#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "request_loop.h"

namespace sidecar {
namespace {

// Echoes the input and remembers every request it was handed.
class RecordingRunner : public SidecarRunner {
 public:
  const char* Mode() const override { return "fake"; }
  ToolCallResult GenerateToolCall(const ToolCallRequest& request) override {
    seen.push_back(request);
    if (request.input == "fail") throw std::runtime_error("model \"x\" not loaded");
    if (request.input == "odd") throw 42;
    return {"echo:" + request.input, 1234};
  }
  std::vector<ToolCallRequest> seen;
};

std::string run(SidecarRunner& runner, const std::string& requests) {
  std::istringstream in(requests);
  std::ostringstream out;
  run_request_loop(runner, in, out);
  return out.str();
}

TEST(RequestLoop, AnswersEveryLineInOrderWithTheFirstFaultThatApplies) {
  RecordingRunner runner;
  EXPECT_EQ(run(runner,
                "\n"
                "{\"type\":\"bogus\",\"input\":\"\"}\n"
                "{\"id\":\"a\",\"type\":\"status\"}\r\n"
                "{\"id\":\"b\",\"type\":\"Status\"}\n"
                "{\"id\":\"c\",\"type\":\"tool_call\",\"input\":1}\n"
                "{\"id\":\"d\",\"type\":\"tool_call\",\"input\":\"hi\"}"),
            "{\"id\":\"\",\"ok\":false,\"error\":\"missing id\"}\n"
            "{\"id\":\"\",\"ok\":false,\"error\":\"missing id\"}\n"
            "{\"id\":\"a\",\"ok\":true,\"output\":\"fake\",\"inferenceMs\":0}\n"
            "{\"id\":\"b\",\"ok\":false,\"error\":\"unsupported request type\"}\n"
            "{\"id\":\"c\",\"ok\":false,\"error\":\"missing input\"}\n"
            "{\"id\":\"d\",\"ok\":true,\"output\":\"echo:hi\",\"inferenceMs\":1234}\n");
  EXPECT_EQ(run(runner, ""), "");
}

TEST(RequestLoop, HandsTheRunnerEveryFieldUnescaped) {
  RecordingRunner runner;
  const std::string line =
      R"({"backend":"metal","id":"7","modelPath":"C:\\m\u00e9.bin","type":"tool_call",)"
      R"("input":"say \"hi\"\n"})";
  run(runner, line + "\n");
  ASSERT_EQ(runner.seen.size(), 1u);
  const ToolCallRequest& request = runner.seen[0];
  EXPECT_EQ(request.id, "7");
  EXPECT_EQ(request.type, "tool_call");
  EXPECT_EQ(request.model_path, "C:\\m\u00e9.bin");
  EXPECT_EQ(request.backend, "metal");
  EXPECT_EQ(request.input, "say \"hi\"\n");
  EXPECT_EQ(request.raw_line, line);
}

TEST(RequestLoop, AnswersAStandardExceptionWithItsMessageAndGoesOn) {
  RecordingRunner runner;
  EXPECT_EQ(run(runner,
                "{\"id\":\"1\",\"type\":\"tool_call\",\"input\":\"fail\"}\n"
                "{\"id\":\"2\",\"type\":\"status\"}\n"),
            "{\"id\":\"1\",\"ok\":false,\"error\":\"model \\\"x\\\" not loaded\"}\n"
            "{\"id\":\"2\",\"ok\":true,\"output\":\"fake\",\"inferenceMs\":0}\n");
}

TEST(RequestLoop, LetsAnExceptionOutsideTheStandardFamilyThrough) {
  RecordingRunner runner;
  EXPECT_THROW(run(runner, "{\"id\":\"1\",\"type\":\"tool_call\",\"input\":\"odd\"}\n"), int);
}

}  // namespace
}  // namespace sidecar
