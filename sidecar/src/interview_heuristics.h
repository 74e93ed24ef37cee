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

// Plain substring search, quicker than std::string_view::find on prose: a
// block of candidate positions at a time is tested on the keyword's first
// and last byte before any is compared whole.
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

// Which of the stub's words `text` contains in any letter case. One pass
// over the text, lowered a small window at a time, so that a long turn is
// never copied whole.
std::uint32_t turn_words(std::string_view text);

// Drops a "Q:"-style prefix, the blanks around the question and a trailing
// "?" or ".", and capitalises the first byte. Never empty.
std::string normalize_question(std::string_view text);
void append_normalized_question(std::string& out, std::string_view text);

// One of "spring_boot", "sql", "react", "aws_gcp", "kafka",
// "resume_project", "other".
std::string infer_topic(std::string_view text);
std::string_view topic_of_lowered(std::string_view lower);
std::string_view topic_of_words(std::uint32_t words);

// The complete classify_interview_turn function call for one turn.
std::string classification_call(std::string_view input, std::string_view lower);
std::string classification_call_for_words(std::string_view input, std::uint32_t words);

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_INTERVIEW_HEURISTICS_H_
