#include "interview_heuristics.h"

#include <array>
#include <utility>

namespace sidecar {
namespace {

constexpr std::string_view kCallStart = "<start_function_call>call:";
constexpr std::string_view kCallEnd = "}<end_function_call>";

bool contains(std::string_view text, std::string_view keyword) {
  return text.find(keyword) != std::string_view::npos;
}

}  // namespace

std::string lower_ascii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string normalize_question(std::string text) {
  // Only a colon with something after it starts the question.
  const std::size_t colon = text.find(':');
  if (colon != std::string::npos && colon + 1 < text.size()) text.erase(0, colon + 1);

  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "Interview question";
  const std::size_t last = text.find_last_not_of(" \t.?");
  if (last == std::string::npos || last < first) return "Interview question";
  text.erase(last + 1);
  text.erase(0, first);

  if (text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text;
}

std::string infer_topic(const std::string& text) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kRules = {{
      {"spring", "spring_boot"},
      {"sql", "sql"},
      {"react", "react"},
      {"aws", "aws_gcp"},
      {"gcp", "aws_gcp"},
      {"kafka", "kafka"},
      {"consumer", "kafka"},
      {"project", "resume_project"},
  }};
  const std::string lower = lower_ascii(text);
  for (const auto& [keyword, topic] : kRules) {
    if (contains(lower, keyword)) return std::string(topic);
  }
  return "other";
}

std::string classification_call(const std::string& input) {
  const std::string lower = lower_ascii(input);
  const std::string topic = infer_topic(input);

  std::string call;
  call.reserve(input.size() + 512);
  call.append(kCallStart).append("classify_interview_turn{text:<escape>").append(input);

  if (contains(lower, "okay") || contains(lower, "then ")) {
    call.append(
            "<escape>,should_respond:false,intent_type:<escape>transition<escape>,"
            "interview_type:<escape>none<escape>,topic:<escape>")
        .append(topic)
        .append(
            "<escape>,subtopic:<escape>none<escape>,difficulty:<escape>none<escape>,"
            "needs_previous_context:false,needs_resume_context:false,needs_jd_context:false,"
            "route:<escape>wait<escape>,clean_question:<escape><escape>,confidence:0.78,"
            "reason_short:<escape>topic transition without a question yet<escape>")
        .append(kCallEnd);
    return call;
  }

  // A question mark with at most one space (tabs do not count) is a fragment
  // that leans on the previous turn.
  const bool partial = contains(lower, "?") && lower.find(' ') == lower.rfind(' ');
  const bool kafka = topic == "kafka";
  std::string clean_question;
  if (partial && kafka) {
    clean_question = "How do Kafka retries work?";
  } else {
    clean_question = normalize_question(input);
    clean_question += '?';
  }

  call.append("<escape>,should_respond:true,intent_type:<escape>")
      .append(partial ? "partial_question" : "direct_question")
      .append("<escape>,interview_type:<escape>technical<escape>,topic:<escape>")
      .append(topic)
      .append("<escape>,subtopic:<escape>")
      .append(partial && kafka ? "retry_handling" : "general")
      .append("<escape>,difficulty:<escape>medium<escape>,needs_previous_context:")
      .append(partial ? "true" : "false")
      .append(
          ",needs_resume_context:false,needs_jd_context:false,route:<escape>cloud_llm<escape>,"
          "clean_question:<escape>")
      .append(clean_question)
      .append("<escape>,confidence:")
      .append(partial ? "0.84" : "0.94")
      .append(",reason_short:<escape>")
      .append(partial ? "short partial technical prompt" : "answer-worthy interview prompt")
      .append("<escape>")
      .append(kCallEnd);
  return call;
}

}  // namespace sidecar
