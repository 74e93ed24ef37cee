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
template <bool kEscaped>
void append_question_call(std::string& out, std::string_view tool, std::string_view input,
                          std::string_view topic, std::string_view tail) {
  out.append("<start_function_call>call:").append(tool).append("{question:<escape>");
  if constexpr (kEscaped) {
    append_escaped_normalized_question(out, input);
  } else {
    append_normalized_question(out, input);
  }
  out.append("<escape>,topic:<escape>")
      .append(topic)
      .append("<escape>")
      .append(tail)
      .append("}<end_function_call>");
}

constexpr std::uint32_t word(TurnWord w) { return 1u << w; }

std::int64_t milliseconds_since(std::chrono::steady_clock::time_point start) {
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

class StubSidecarRunner final : public SidecarRunner {
 public:
  const char* Mode() const override { return "stub"; }

  ToolCallResult GenerateToolCall(const ToolCallRequest& request) override {
    const auto start = std::chrono::steady_clock::now();
    ToolCallResult result;
    append_call<false>(request, result.output);
    result.inference_ms = milliseconds_since(start);
    return result;
  }

  // Only the turn's own texts are escaped; the rest of a call needs none.
  std::int64_t AppendEscapedToolCall(const ToolCallRequest& request,
                                     std::string& response) override {
    const auto start = std::chrono::steady_clock::now();
    append_call<true>(request, response);
    return milliseconds_since(start);
  }

 private:
  static constexpr std::size_t kCallSlack = 1024;

  // The first rule that holds wins. The classification test looks at the
  // whole line, case-sensitively, so a client can ask for it from any key.
  // `out` is reserved once for the whole call, so that a long turn's text is
  // not copied again as it grows.
  template <bool kEscaped>
  static void append_call(const ToolCallRequest& request, std::string& out) {
    static constexpr Keyword kClassify("classify_interview_turn");
    const std::string_view input = request.input_text();
    if (contains(request.line(), kClassify)) {
      const std::uint32_t words = turn_words(input, kClassificationWordBits);
      if constexpr (kEscaped) {
        out.reserve(out.size() + 2 * input.size() + kCallSlack);
        append_escaped_classification_call(out, input, words);
      } else {
        out = classification_call_for_words(input, words);  // GenerateToolCall's `out` is empty
      }
      return;
    }
    // One pass looks for the words of all three rules.
    constexpr std::uint32_t kSummaryWords = word(kWordSummarize) | word(kWordSummary);
    const std::uint32_t words =
        turn_words(input, kSummaryWords | word(kWordSave) | word(kWordRemember) | kTopicWordBits,
                   kSummaryWords);
    if ((words & kSummaryWords) != 0) {
      out.append(kSummarizeCall);
      return;
    }
    const std::string_view topic = topic_of_words(words);
    out.reserve(out.size() + input.size() + kCallSlack);
    if ((words & (word(kWordSave) | word(kWordRemember))) != 0) {
      append_question_call<kEscaped>(out, "save_interview_question", input, topic, "");
      return;
    }
    append_question_call<kEscaped>(
        out, "route_to_cloud_llm", input, topic,
        ",answer_type:<escape>technical_interview<escape>,context_keys:[]");
  }
};

}  // namespace

std::unique_ptr<SidecarRunner> CreateStubRunner() { return std::make_unique<StubSidecarRunner>(); }

}  // namespace sidecar
