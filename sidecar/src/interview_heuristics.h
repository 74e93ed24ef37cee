#ifndef PARLANTO_SIDECAR_INTERVIEW_HEURISTICS_H_
#define PARLANTO_SIDECAR_INTERVIEW_HEURISTICS_H_

#include <string>
#include <string_view>

// The stub runner's rules for reading an interview turn. Plain byte-string
// functions without state; case mapping is ASCII-only and keyword tests are
// substring searches in which the first matching rule wins. Functions that
// take `lower` expect lower_ascii() of the text beside it, so that a long
// turn is lower-cased only once.
namespace sidecar {

std::string lower_ascii(std::string_view text);

// Plain substring search, quicker than std::string_view::find on prose: it
// skips ahead on the keyword's least common letter rather than its first.
bool contains(std::string_view text, std::string_view keyword);

// Drops a "Q:"-style prefix, the blanks around the question and a trailing
// "?" or ".", and capitalises the first byte. Never empty.
std::string normalize_question(std::string_view text);
void append_normalized_question(std::string& out, std::string_view text);

// One of "spring_boot", "sql", "react", "aws_gcp", "kafka",
// "resume_project", "other".
std::string infer_topic(std::string_view text);
std::string_view topic_of_lowered(std::string_view lower);

// The complete classify_interview_turn function call for one turn.
std::string classification_call(std::string_view input, std::string_view lower);

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_INTERVIEW_HEURISTICS_H_
