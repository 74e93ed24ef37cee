#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <new>
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
    if (request.input == "huge") throw std::bad_alloc();
    return {"echo:" + request.input, 1234};
  }
  std::vector<ToolCallRequest> seen;
};

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File temporary_file() { return File(std::tmpfile(), &std::fclose); }

// Runs the descriptor loop on `requests` held in a file and returns what it
// wrote.
std::string run(SidecarRunner& runner, const std::string& requests) {
  const File in = temporary_file();
  const File out = temporary_file();
  EXPECT_TRUE(in != nullptr && out != nullptr);
  std::fwrite(requests.data(), 1, requests.size(), in.get());
  std::fflush(in.get());
  std::rewind(in.get());
  run_request_loop(runner, fileno(in.get()), fileno(out.get()));
  std::rewind(out.get());
  std::string written;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, out.get())) > 0;)
    written.append(chunk, got);
  return written;
}

// What the loop must answer: each line as getline splits the input, answered
// on its own.
std::string answer_each_getline_line(SidecarRunner& runner, const std::string& requests) {
  std::istringstream in(requests);
  std::string responses;
  for (std::string line; std::getline(in, line);)
    append_response(runner, parse_request(line), responses);
  return responses;
}

TEST(RequestLoop, SplitsDescriptorInputIntoTheLinesGetlineSees) {
  // Lines longer than the read buffer, some of them straddling its end.
  const std::string long_input(200000, 'x');
  const std::string longer_input(300001, 'y');
  const std::string tool_call = "{\"id\":\"t\",\"type\":\"tool_call\",\"input\":\"";
  const std::string mixed = "{\"id\":\"1\",\"type\":\"status\"}\n" + tool_call + long_input +
                            "\"}\r\n\n" + tool_call + "a\\\"b\"}\n" + tool_call + longer_input +
                            "\"}\n";
  for (const std::string& requests :
       {std::string(), std::string("\n"), std::string("\n\n"), mixed, mixed + tool_call + "end\"}",
        tool_call + long_input + "\"}"}) {
    RecordingRunner by_line;
    RecordingRunner by_fd;
    const std::string expected = answer_each_getline_line(by_line, requests);
    EXPECT_EQ(run(by_fd, requests), expected);
    ASSERT_EQ(by_fd.seen.size(), by_line.seen.size());
    for (std::size_t i = 0; i < by_fd.seen.size(); ++i) {
      EXPECT_EQ(by_fd.seen[i].raw_line, by_line.seen[i].raw_line) << i;
    }
  }
}

TEST(RequestLoop, StopsAtOnceWhenAResponseCannotBeWritten) {
  RecordingRunner runner;
  std::FILE* in = std::tmpfile();
  ASSERT_NE(in, nullptr);
  const std::string requests =
      "{\"id\":\"1\",\"type\":\"tool_call\",\"input\":\"a\"}\n"
      "{\"id\":\"2\",\"type\":\"tool_call\",\"input\":\"b\"}\n";
  std::fwrite(requests.data(), 1, requests.size(), in);
  std::fflush(in);
  std::rewind(in);
  EXPECT_EQ(run_request_loop(runner, fileno(in), -1), LoopEnd::kWriteFailed);
  EXPECT_EQ(run_request_loop(runner, -1, fileno(in)), LoopEnd::kReadFailed);
  std::fclose(in);
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

TEST(RequestLoop, EscapesTheOutputOfARunnerThatOnlyGeneratesIt) {
  RecordingRunner runner;
  EXPECT_EQ(run(runner, R"({"id":"e","type":"tool_call","input":"\"\\\u0001\u2028"})"
                        "\n"),
            R"({"id":"e","ok":true,"output":"echo:\"\\\u0001\u2028","inferenceMs":1234})"
            "\n");
}

TEST(RequestLoop, AnswersAStandardExceptionWithItsMessageAndGoesOn) {
  RecordingRunner runner;
  EXPECT_EQ(run(runner,
                "{\"id\":\"1\",\"type\":\"tool_call\",\"input\":\"fail\"}\n"
                "{\"id\":\"2\",\"type\":\"status\"}\n"),
            "{\"id\":\"1\",\"ok\":false,\"error\":\"model \\\"x\\\" not loaded\"}\n"
            "{\"id\":\"2\",\"ok\":true,\"output\":\"fake\",\"inferenceMs\":0}\n");
}

TEST(RequestLoop, AnswersRunningOutOfMemoryPlainlyAndGoesOn) {
  RecordingRunner runner;
  EXPECT_EQ(run(runner,
                "{\"id\":\"1\",\"type\":\"tool_call\",\"input\":\"huge\"}\n"
                "{\"id\":\"2\",\"type\":\"status\"}\n"),
            "{\"id\":\"1\",\"ok\":false,\"error\":\"out of memory\"}\n"
            "{\"id\":\"2\",\"ok\":true,\"output\":\"fake\",\"inferenceMs\":0}\n");
}

TEST(RequestLoop, LetsAnExceptionOutsideTheStandardFamilyThrough) {
  RecordingRunner runner;
  EXPECT_THROW(run(runner, "{\"id\":\"1\",\"type\":\"tool_call\",\"input\":\"odd\"}\n"), int);
}

}  // namespace
}  // namespace sidecar
