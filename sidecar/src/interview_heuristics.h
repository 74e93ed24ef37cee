#ifndef PARLANTO_SIDECAR_INTERVIEW_HEURISTICS_H_
#define PARLANTO_SIDECAR_INTERVIEW_HEURISTICS_H_

#include <cstdint>
#include <string>
#include <string_view>

// The stub runner's rules for reading an interview turn. Plain byte-string
// functions without state; case mapping is ASCII-only and keyword tests are
// substring searches in which the first matching rule wins. Functions that
// take `lower` expect lower_ascii() of the text beside it, so that a long
// turn is lower-cased only once.
namespace sidecar {

std::string lower_ascii(std::string_view text);
void assign_lower_ascii(std::string& lower, std::string_view text);

// A keyword with the position of its least common letter in English prose,
// which contains() skips ahead on. Constant keywords work it out at compile
// time.
struct Keyword {
  constexpr explicit Keyword(std::string_view keyword) : text(keyword) {
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (commonness(text[i]) < commonness(text[anchor])) anchor = i;
    }
  }

  // Lower-case letters from the most to the least common count highest;
  // anything else is rarer still.
  static constexpr std::size_t commonness(char c) {
    return std::string_view("zqxjkvbpygfwmucldrhsnioate ").find(c) + 1;
  }

  std::string_view text;
  std::size_t anchor = 0;
};

// Plain substring search, quicker than std::string_view::find on prose.
bool contains(std::string_view text, const Keyword& keyword);
bool contains(std::string_view text, std::string_view keyword);

// The words the stub's rules look for; bit w of turn_words() is word w.
enum TurnWord : unsigned {
  kWordSummarize,
  kWordSummary,
  kWordSave,
  kWordRemember,
  kWordOkay,
  kWordThen,  // "then " with its space
  kFirstTopicWord,
};

constexpr std::uint32_t kTopicWordBits = ~((1u << kFirstTopicWord) - 1) & ((1u << 14) - 1);
// What classification_call_for_words() reads.
constexpr std::uint32_t kClassificationWordBits =
    kTopicWordBits | 1u << kWordOkay | 1u << kWordThen;

// Which of the `wanted` words `text` contains in any letter case; of the
// topic words, those after the first that occurs may be left out. One pass
// over the text, lowered a small window at a time, so that a long turn is
// never copied whole; it ends as soon as every wanted word is found, or any
// of the `decisive` ones (whose finding leaves the rest unread).
std::uint32_t turn_words(std::string_view text, std::uint32_t wanted, std::uint32_t decisive = 0);

// Drops a "Q:"-style prefix, the blanks around the question and a trailing
// "?" or ".", and capitalises the first byte. Never empty.
std::string normalize_question(std::string_view text);
void append_normalized_question(std::string& out, std::string_view text);
// The same JSON-escaped, as it goes into a response line.
void append_escaped_normalized_question(std::string& out, std::string_view text);

// One of "spring_boot", "sql", "react", "aws_gcp", "kafka",
// "resume_project", "other".
std::string infer_topic(std::string_view text);
std::string_view topic_of_lowered(std::string_view lower);
std::string_view topic_of_words(std::uint32_t words);

// The complete classify_interview_turn function call for one turn.
std::string classification_call(std::string_view input, std::string_view lower);
std::string classification_call_for_words(std::string_view input, std::uint32_t words);
// The same call JSON-escaped, appended to `out`.
void append_escaped_classification_call(std::string& out, std::string_view input,
                                        std::uint32_t words);

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_INTERVIEW_HEURISTICS_H_
