#include <chrono>
#include <memory>
#include <string>

#include "interview_heuristics.h"
#include "sidecar_runner.h"

namespace sidecar {
namespace {

constexpr std::string_view kSummarizeCall =
    "<start_function_call>call:summarize_session{session_id:<escape>current<escape>}"
    "<end_function_call>";

// save_interview_question and route_to_cloud_llm share their first two
// arguments; `tail` holds the rest.
std::string question_call(std::string_view tool, std::string_view input, std::string_view lower,
                          std::string_view tail) {
  std::string call;
  call.reserve(input.size() + 256);
  call.append("<start_function_call>call:").append(tool).append("{question:<escape>");
  append_normalized_question(call, input);
  call.append("<escape>,topic:<escape>")
      .append(topic_of_lowered(lower))
      .append("<escape>")
      .append(tail)
      .append("}<end_function_call>");
  return call;
}

class StubSidecarRunner final : public SidecarRunner {
 public:
  const char* Mode() const override { return "stub"; }

  ToolCallResult GenerateToolCall(const ToolCallRequest& request) override {
    const auto start = std::chrono::steady_clock::now();
    ToolCallResult result;
    result.output = choose_call(request);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    result.inference_ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    return result;
  }

 private:
  // The first rule that holds wins. The classification test looks at the
  // whole line, case-sensitively, so a client can ask for it from any key.
  std::string choose_call(const ToolCallRequest& request) {
    static constexpr Keyword kClassify("classify_interview_turn");
    static constexpr Keyword kSummarize("summarize");
    static constexpr Keyword kSummary("summary");
    static constexpr Keyword kSave("save");
    static constexpr Keyword kRemember("remember");
    assign_lower_ascii(lower_, request.input);
    const std::string_view lower = lower_;
    if (contains(request.raw_line, kClassify)) {
      return classification_call(request.input, lower);
    }
    if (contains(lower, kSummarize) || contains(lower, kSummary)) {
      return std::string(kSummarizeCall);
    }
    if (contains(lower, kSave) || contains(lower, kRemember)) {
      return question_call("save_interview_question", request.input, lower, "");
    }
    return question_call("route_to_cloud_llm", request.input, lower,
                         ",answer_type:<escape>technical_interview<escape>,context_keys:[]");
  }

  std::string lower_;  // lower_ascii() of the current input; kept for its buffer
};

}  // namespace

std::unique_ptr<SidecarRunner> CreateSidecarRunner() {
  return std::make_unique<StubSidecarRunner>();
}

}  // namespace sidecar
