#include "interview_heuristics.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "json_text.h"

namespace sidecar {
namespace {

// The question inside `text`, or empty when nothing is left of it.
std::string_view question_span(std::string_view text) {
  // Only a colon with something after it ends a prefix.
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos && colon + 1 < text.size()) text.remove_prefix(colon + 1);
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  const auto trailing = [&](char c) { return blank(c) || c == '.' || c == '?'; };
  std::size_t first = 0;
  while (first < text.size() && blank(text[first])) ++first;
  std::size_t end = text.size();
  while (end > first && trailing(text[end - 1])) --end;
  return text.substr(first, end - first);
}

// A plain loop over a fixed count, which the compiler turns into a few
// vector operations.
constexpr std::size_t kBlock = 32;
void lower_in_place(char* c) {
  for (std::size_t i = 0; i < kBlock; ++i) {
    c[i] = static_cast<char>(c[i] + (c[i] >= 'A' && c[i] <= 'Z' ? 'a' - 'A' : 0));
  }
}

char lower(char c) { return static_cast<char>(c + (c >= 'A' && c <= 'Z' ? 'a' - 'A' : 0)); }

// The lower-cased copy of `size` bytes, whole blocks in vector operations.
void lower_copy(char* to, const char* from, std::size_t size) {
  std::size_t i = 0;
  for (; size - i >= kBlock; i += kBlock) {
    for (std::size_t j = 0; j < kBlock; ++j) to[i + j] = lower(from[i + j]);
  }
  for (; i < size; ++i) to[i] = lower(from[i]);
}

// In TurnWord order, then the topic rules' words in rule order.
constexpr std::array<Keyword, 14> kTurnWords = {
    Keyword("summarize"), Keyword("summary"), Keyword("save"),   Keyword("remember"),
    Keyword("okay"),      Keyword("then "),   Keyword("spring"), Keyword("sql"),
    Keyword("react"),     Keyword("aws"),     Keyword("gcp"),    Keyword("kafka"),
    Keyword("consumer"),  Keyword("project")};
constexpr std::array<std::string_view, 8> kTopicOfWord = {
    "spring_boot", "sql", "react", "aws_gcp", "aws_gcp", "kafka", "kafka", "resume_project"};

// Windows overlap by one byte less than the longest word, so that every
// occurrence lies whole in one of them.
static_assert(kTopicWordBits >> kFirstTopicWord ==
              (1u << (kTurnWords.size() - kFirstTopicWord)) - 1);

constexpr std::size_t kWindow = std::size_t{1} << 14;
constexpr std::size_t kOverlap = 8;
static_assert(std::all_of(kTurnWords.begin(), kTurnWords.end(),
                          [](const Keyword& w) { return w.text.size() <= kOverlap + 1; }));

}  // namespace

namespace {

// Whether the keyword starts at `candidate`. Keywords are short: comparing
// in place beats a call to memcmp.
bool starts_with(const char* candidate, std::string_view word) {
  return std::all_of(word.begin(), word.end(), [&](char c) { return *candidate++ == c; });
}

// Whether any of the kBlock positions p from `at` holds `first`, with
// `second` at p + `distance`; a plain loop the compiler turns into vector
// compares.
bool block_has_pair(const char* at, char first, char second, std::ptrdiff_t distance) {
  unsigned char found = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    found |= static_cast<unsigned char>((at[i] == first) &
                                        (at[static_cast<std::ptrdiff_t>(i) + distance] == second));
  }
  return found != 0;
}

// The search of contains() from `s` on, for an anchor letter that keeps
// turning up outside the keyword: the anchor is looked for together with
// the keyword's letter farthest from it, a block at a time. Letters far
// apart in a word are seldom found together elsewhere.
bool contains_by_pairs(const char* s, const char* last, std::string_view word, std::size_t anchor) {
  const std::size_t other = anchor >= word.size() / 2 ? 0 : word.size() - 1;
  const auto distance = static_cast<std::ptrdiff_t>(other) - static_cast<std::ptrdiff_t>(anchor);
  const char first = word[anchor];
  const char second = word[other];
  // Every candidate's letters lie in the text, `other`'s included.
  for (; last - s >= static_cast<std::ptrdiff_t>(kBlock); s += kBlock) {
    if (!block_has_pair(s, first, second, distance)) continue;
    for (std::size_t i = 0; i < kBlock; ++i) {
      if (s[i] == first && starts_with(s + i - anchor, word)) return true;
    }
  }
  for (; s <= last; ++s) {
    if (*s == first && starts_with(s - anchor, word)) return true;
  }
  return false;
}

}  // namespace

bool contains(std::string_view text, const Keyword& keyword) {
  const std::string_view word = keyword.text;
  if (word.empty()) return true;
  if (word.size() > text.size()) return false;
  const std::size_t anchor = keyword.anchor;
  // Candidates put the anchor letter at text[anchor .. size - (word.size() - anchor)].
  const char* s = text.data() + anchor;
  const char* const last = text.data() + text.size() - (word.size() - anchor);
  // memchr is quickest while the anchor letter is rare in the text.
  constexpr int kMissesBeforePairs = 32;
  for (int misses = 0; s <= last; ++s, ++misses) {
    if (misses == kMissesBeforePairs && word.size() > 1) {
      return contains_by_pairs(s, last, word, anchor);
    }
    s = static_cast<const char*>(
        std::memchr(s, word[anchor], static_cast<std::size_t>(last - s) + 1));
    if (s == nullptr) return false;
    if (starts_with(s - anchor, word)) return true;
  }
  return false;
}

bool contains(std::string_view text, std::string_view keyword) {
  return contains(text, Keyword(keyword));
}

std::uint32_t turn_words(std::string_view text, std::uint32_t wanted, std::uint32_t decisive) {
  constexpr std::uint32_t kTopicWords = ~((1u << kFirstTopicWord) - 1);
  char window[kWindow + kOverlap + kBlock];
  std::uint32_t found = 0;
  for (std::size_t from = 0;; from += kWindow) {
    const std::size_t size = std::min(text.size() - from, kWindow + kOverlap);
    lower_copy(window, text.data() + from, size);
    const std::string_view lowered(window, size);
    for (std::size_t w = 0; w < kTurnWords.size(); ++w) {
      const std::uint32_t bit = 1u << w;
      // Only the first topic rule that matches counts.
      if ((found & kTopicWords & (bit - 1)) != 0) break;
      if ((wanted & bit) != 0 && (found & bit) == 0 && contains(lowered, kTurnWords[w])) {
        found |= bit;
        if ((bit & decisive) != 0) return found & wanted;
      }
    }
    // Only the first topic rule that matches counts: the later ones need no
    // more looking for.
    if (const std::uint32_t topics = found & kTopicWords; topics != 0) {
      wanted &= ~kTopicWords | ((topics & (~topics + 1)) - 1) | topics;
    }
    if ((found & wanted) == wanted || (found & decisive) != 0 || from + size >= text.size()) {
      return found & wanted;
    }
  }
}

std::string lower_ascii(std::string_view text) {
  std::string lower;
  assign_lower_ascii(lower, text);
  return lower;
}

void assign_lower_ascii(std::string& lower, std::string_view text) {
  lower.clear();
  lower.append(text);
  char* c = lower.data();
  char* const end = c + lower.size();
  for (; static_cast<std::size_t>(end - c) >= kBlock; c += kBlock) lower_in_place(c);
  // The rest goes through a whole block too.
  char block[kBlock] = {};
  const auto rest = static_cast<std::size_t>(end - c);
  std::memcpy(block, c, rest);
  lower_in_place(block);
  std::memcpy(c, block, rest);
}

namespace {

// A turn's own text goes into a call as it is, or JSON-escaped when the call
// is built straight into a response line; the call's fixed text never needs
// escaping.
template <bool kEscaped>
void put_text(std::string& out, std::string_view text) {
  if constexpr (kEscaped) {
    append_json_escaped(out, text);
  } else {
    out.append(text);
  }
}

// `plain` when `text` is known to need no escape.
template <bool kEscaped>
void put_normalized_question(std::string& out, std::string_view text, bool plain = false) {
  const std::string_view question = question_span(text);
  if (question.empty()) {
    out.append("Interview question");
    return;
  }
  const auto put = [&](std::string_view part) {
    if (plain) {
      out.append(part);
    } else {
      put_text<kEscaped>(out, part);
    }
  };
  const char first = question[0];
  if (first >= 'a' && first <= 'z') {
    out += static_cast<char>(first - 'a' + 'A');
    put(question.substr(1));
  } else {
    // Escaped whole: a line separator's bytes must not be split.
    put(question);
  }
}

template <bool kEscaped>
void put_classification_call(std::string& out, std::string_view input, std::uint32_t words) {
  const std::string_view topic = topic_of_words(words);
  out.append("<start_function_call>call:classify_interview_turn{text:<escape>");
  const std::size_t text_at = out.size();
  put_text<kEscaped>(out, input);
  // Escaping only ever lengthens: a text that kept its length needed none,
  // and neither does the question taken from it.
  const bool plain = out.size() - text_at == input.size();

  if ((words & (1u << kWordOkay | 1u << kWordThen)) != 0) {
    out.append(
           "<escape>,should_respond:false,intent_type:<escape>transition<escape>,"
           "interview_type:<escape>none<escape>,topic:<escape>")
        .append(topic)
        .append(
            "<escape>,subtopic:<escape>none<escape>,difficulty:<escape>none<escape>,"
            "needs_previous_context:false,needs_resume_context:false,needs_jd_context:false,"
            "route:<escape>wait<escape>,clean_question:<escape><escape>,confidence:0.78,"
            "reason_short:<escape>topic transition without a question yet<escape>"
            "}<end_function_call>");
    return;
  }

  // A question mark with at most one space (tabs do not count) is a fragment
  // that leans on the previous turn.
  const bool partial =
      input.find('?') != std::string_view::npos && input.find(' ') == input.rfind(' ');
  const bool kafka = topic == "kafka";
  out.append("<escape>,should_respond:true,intent_type:<escape>")
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
    out.append("How do Kafka retries work?");
  } else {
    put_normalized_question<kEscaped>(out, input, plain);
    out += '?';
  }
  out.append("<escape>,confidence:")
      .append(partial ? "0.84" : "0.94")
      .append(",reason_short:<escape>")
      .append(partial ? "short partial technical prompt" : "answer-worthy interview prompt")
      .append("<escape>}<end_function_call>");
}

}  // namespace

void append_normalized_question(std::string& out, std::string_view text) {
  put_normalized_question<false>(out, text);
}

void append_escaped_normalized_question(std::string& out, std::string_view text) {
  put_normalized_question<true>(out, text);
}

std::string normalize_question(std::string_view text) {
  std::string question;
  append_normalized_question(question, text);
  return question;
}

std::string_view topic_of_words(std::uint32_t words) {
  for (std::size_t w = kFirstTopicWord; w < kTurnWords.size(); ++w) {
    if ((words & (1u << w)) != 0) return kTopicOfWord[w - kFirstTopicWord];
  }
  return "other";
}

std::string_view topic_of_lowered(std::string_view lower) {
  return topic_of_words(turn_words(lower, kTopicWordBits));
}

std::string infer_topic(std::string_view text) {
  return std::string(topic_of_words(turn_words(text, kTopicWordBits)));
}

std::string classification_call(std::string_view input, std::string_view lower) {
  return classification_call_for_words(input, turn_words(lower, kClassificationWordBits));
}

std::string classification_call_for_words(std::string_view input, std::uint32_t words) {
  std::string call;
  call.reserve(2 * input.size() + 512);
  put_classification_call<false>(call, input, words);
  return call;
}

void append_escaped_classification_call(std::string& out, std::string_view input,
                                        std::uint32_t words) {
  put_classification_call<true>(out, input, words);
}

}  // namespace sidecar
