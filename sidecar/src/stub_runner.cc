#include <chrono>
#include <cstdint>
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
std::string question_call(std::string_view tool, std::string_view input, std::string_view topic,
                          std::string_view tail) {
  std::string call;
  call.reserve(input.size() + 256);
  call.append("<start_function_call>call:").append(tool).append("{question:<escape>");
  append_normalized_question(call, input);
  call.append("<escape>,topic:<escape>")
      .append(topic)
      .append("<escape>")
      .append(tail)
      .append("}<end_function_call>");
  return call;
}

constexpr std::uint32_t word(TurnWord w) { return 1u << w; }

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
  static std::string choose_call(const ToolCallRequest& request) {
    static constexpr Keyword kClassify("classify_interview_turn");
    if (contains(request.raw_line, kClassify)) {
      return classification_call_for_words(request.input,
                                           turn_words(request.input, kClassificationWordBits));
    }
    if (turn_words(request.input, word(kWordSummarize) | word(kWordSummary)) != 0) {
      return std::string(kSummarizeCall);
    }
    const std::uint32_t words =
        turn_words(request.input, word(kWordSave) | word(kWordRemember) | kTopicWordBits);
    const std::string_view topic = topic_of_words(words);
    if ((words & (word(kWordSave) | word(kWordRemember))) != 0) {
      return question_call("save_interview_question", request.input, topic, "");
    }
    return question_call("route_to_cloud_llm", request.input, topic,
                         ",answer_type:<escape>technical_interview<escape>,context_keys:[]");
  }
};

}  // namespace

std::unique_ptr<SidecarRunner> CreateSidecarRunner() {
  return std::make_unique<StubSidecarRunner>();
}

}  // namespace sidecar
