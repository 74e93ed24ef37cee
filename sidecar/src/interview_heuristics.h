#ifndef PARLANTO_SIDECAR_INTERVIEW_HEURISTICS_H_
#define PARLANTO_SIDECAR_INTERVIEW_HEURISTICS_H_

#include <string>
#include <string_view>

// The stub runner's rules for reading an interview turn. Plain byte-string
// functions without state; case mapping is ASCII-only and keyword tests are
// substring searches in which the first matching rule wins.
namespace sidecar {

std::string lower_ascii(std::string_view text);

// Drops a "Q:"-style prefix and the surrounding blanks and trailing "?" or
// ".", capitalises the first byte. Never empty.
std::string normalize_question(std::string text);

// One of "spring_boot", "sql", "react", "aws_gcp", "kafka",
// "resume_project", "other".
std::string infer_topic(const std::string& text);

// The complete classify_interview_turn function call for one turn.
std::string classification_call(const std::string& input);

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_INTERVIEW_HEURISTICS_H_
