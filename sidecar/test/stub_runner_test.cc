#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json_text.h"
#include "sidecar_runner.h"

namespace sidecar {
namespace {

const std::string kSummarize =
    "<start_function_call>call:summarize_session{session_id:<escape>current<escape>}"
    "<end_function_call>";

std::string save(const std::string& question, const std::string& topic) {
  return "<start_function_call>call:save_interview_question{question:<escape>" + question +
         "<escape>,topic:<escape>" + topic + "<escape>}<end_function_call>";
}

std::string route(const std::string& question, const std::string& topic) {
  return "<start_function_call>call:route_to_cloud_llm{question:<escape>" + question +
         "<escape>,topic:<escape>" + topic +
         "<escape>,answer_type:<escape>technical_interview<escape>,context_keys:[]}"
         "<end_function_call>";
}

std::string generate(const std::string& input, const std::string& extra_raw = "") {
  const auto runner = CreateSidecarRunner();
  ToolCallRequest request;
  request.id = "1";
  request.type = "tool_call";
  request.input = input;
  request.raw_line = R"({"id":"1","type":"tool_call","input":"…")" + extra_raw + "}";
  const ToolCallResult result = runner->GenerateToolCall(request);
  EXPECT_GE(result.inference_ms, 0);
  EXPECT_LT(result.inference_ms, 1000);
  return result.output;
}

TEST(StubRunner, IsTheStub) { EXPECT_STREQ(CreateSidecarRunner()->Mode(), "stub"); }

TEST(StubRunner, PicksTheToolByTheFirstKeywordRule) {
  EXPECT_EQ(generate("Please SUMMARIZE what we discussed"), kSummarize);
  EXPECT_EQ(generate("summary then save"), kSummarize);
  EXPECT_EQ(generate("Can you remember this: what is Kafka?"), save("What is Kafka", "kafka"));
  EXPECT_EQ(generate("unsaved changes"), save("Unsaved changes", "other"));
  EXPECT_EQ(generate("What is a React hook?"), route("What is a React hook", "react"));
  EXPECT_EQ(generate("a, b <escape> {c}"), route("A, b <escape> {c}", "other"));
}

TEST(StubRunner, ClassifiesWhenTheRawLineNamesTheTool) {
  const std::string classified = generate("summarize it", R"(,"tool":"classify_interview_turn")");
  EXPECT_EQ(classified.rfind("<start_function_call>call:classify_interview_turn{text:<escape>"
                             "summarize it<escape>,",
                             0),
            0u);
  EXPECT_EQ(generate("summarize it", R"(,"tool":"Classify_Interview_Turn")"), kSummarize);
}

// The response line is built from the escaped call directly; it must match
// escaping the whole call, for every rule and wherever the turn's texts put
// a byte that needs escaping, a line separator's first byte included.
TEST(StubRunner, AppendsExactlyTheEscapedCall) {
  const auto runner = CreateSidecarRunner();
  const std::string separator = "\u2028";
  for (const std::string classify : {"", R"(,"tool":"classify_interview_turn")"}) {
    for (const std::string& input : std::vector<std::string>{
             "say \"hi\" \\ now\n", separator + " what is kafka?", "Q:" + separator + "x",
             "remember: " + separator, "summarize\x01", std::string("a\0\x1f\xe2\x80", 5),
             "okay then " + separator, "kafka? " + separator, "what?\t\"", "\xe2\x80\xa9"}) {
      ToolCallRequest request;
      request.id = "1";
      request.type = "tool_call";
      request.input = input;
      request.raw_line = R"({"id":"1"})" + classify;
      std::string response = "head";
      runner->AppendEscapedToolCall(request, response);
      EXPECT_EQ(response, "head" + json_escape(runner->GenerateToolCall(request).output))
          << input << classify;
    }
  }
}

}  // namespace
}  // namespace sidecar
