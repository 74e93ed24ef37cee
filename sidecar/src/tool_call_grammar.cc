#include "tool_call_grammar.h"

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

namespace sidecar {
namespace {

constexpr ArgumentKind kString = ArgumentKind::kString;
constexpr ArgumentKind kBoolean = ArgumentKind::kBoolean;
constexpr ArgumentKind kConfidence = ArgumentKind::kConfidence;
constexpr ArgumentKind kStringList = ArgumentKind::kStringList;

constexpr ToolArgument kSummarizeArguments[] = {
    {"session_id", kString, "The session to summarize; always current."},
};

constexpr ToolArgument kSaveArguments[] = {
    {"question", kString, "The interviewer's question, cleaned up."},
    {"topic", kString, "One of spring_boot, sql, react, aws_gcp, kafka, resume_project or other."},
};

constexpr ToolArgument kRouteArguments[] = {
    {"question", kString, "The interviewer's question, cleaned up."},
    {"topic", kString, "One of spring_boot, sql, react, aws_gcp, kafka, resume_project or other."},
    {"answer_type", kString, "The kind of answer wanted; technical_interview."},
    {"context_keys", kStringList, "Keys of saved context the answer needs."},
};

constexpr ToolArgument kClassifyArguments[] = {
    {"text", kString, "The turn as heard."},
    {"should_respond", kBoolean, "Whether the candidate should answer now."},
    {"intent_type", kString, "transition, partial_question or direct_question."},
    {"interview_type", kString, "technical, or none for a transition."},
    {"topic", kString, "One of spring_boot, sql, react, aws_gcp, kafka, resume_project or other."},
    {"subtopic", kString, "A narrower topic, general, or none."},
    {"difficulty", kString, "medium, or none for a transition."},
    {"needs_previous_context", kBoolean, "Whether the turn only makes sense with earlier turns."},
    {"needs_resume_context", kBoolean, "Whether the answer needs the candidate's resume."},
    {"needs_jd_context", kBoolean, "Whether the answer needs the job description."},
    {"route", kString, "cloud_llm to answer, or wait."},
    {"clean_question", kString, "The question in full, or empty for a transition."},
    {"confidence", kConfidence, "How sure the classification is, from 0 to 1."},
    {"reason_short", kString, "A few words on why."},
};

constexpr ToolDeclaration kTools[] = {
    {"summarize_session", "Summarize the interview session so far.", kSummarizeArguments},
    {"save_interview_question", "Save the interviewer's question for later review.",
     kSaveArguments},
    {"route_to_cloud_llm",
     "Send a technical interview question to the cloud model for a full answer.", kRouteArguments},
    {"classify_interview_turn",
     "Describe an interview turn: a transition or a question, its topic, and what answering it "
     "needs.",
     kClassifyArguments},
};

constexpr std::string_view kCallHead = "<start_function_call>call:";

std::string rule_name(std::string_view tool) {
  std::string name(tool);
  for (char& c : name)
    if (c == '_') c = '-';
  return name;
}

// A call of one tool as a sequence of parts: fixed text, and the values
// between it. Adjacent fixed texts are merged.
struct Piece {
  enum Kind { kText, kStringBody, kBool, kNumber, kList } kind;
  std::string text;  // kText only
};

std::vector<Piece> plan_of(const ToolDeclaration& tool) {
  std::vector<Piece> parts;
  const auto text = [&](std::string_view t) {
    if (!parts.empty() && parts.back().kind == Piece::kText) {
      parts.back().text.append(t);
    } else {
      parts.push_back({Piece::kText, std::string(t)});
    }
  };
  text("{");
  for (std::size_t i = 0; i < tool.arguments.size(); ++i) {
    const ToolArgument& argument = tool.arguments[i];
    if (i > 0) text(",");
    text(argument.name);
    text(":");
    switch (argument.kind) {
      case ArgumentKind::kString:
        text(kEscape);
        parts.push_back({Piece::kStringBody, {}});
        text(kEscape);
        break;
      case ArgumentKind::kBoolean:
        parts.push_back({Piece::kBool, {}});
        break;
      case ArgumentKind::kConfidence:
        parts.push_back({Piece::kNumber, {}});
        break;
      case ArgumentKind::kStringList:
        text("[");
        parts.push_back({Piece::kList, {}});
        break;
    }
  }
  text("}");
  text(kCallEnd);
  return parts;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The shortest text that ends a value begun with nothing of it written.
std::string_view empty_value(Piece::Kind kind) {
  switch (kind) {
    case Piece::kBool:
      return "false";
    case Piece::kNumber:
      return "0";
    case Piece::kList:
      return "]";
    default:
      return "";
  }
}

// Reads a call, whole or in part. When the text ends inside the call, the
// part it ended in sets what it forces and what completes it; the rest of
// the plan adds to both.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  CallScan scan() {
    CallScan result;
    if (!fixed(kCallHead)) {
      if (invalid_) return invalid();
      // Ended inside the head: the tool is still open.
      local_completion_.append(kTools[0].name);
      return ended(plan_of(kTools[0]), 0, false);
    }
    const ToolDeclaration* tool = nullptr;
    const std::string_view left = rest();
    std::vector<const ToolDeclaration*> open;
    for (const ToolDeclaration& t : kTools) {
      if (starts_with(left, t.name)) {
        tool = &t;
        break;
      }
      if (starts_with(t.name, left)) open.push_back(&t);
    }
    if (tool == nullptr) {
      if (open.empty()) return invalid();
      // Ended inside the name: forced as far as the open names agree.
      std::string_view common = open[0]->name.substr(left.size());
      for (const ToolDeclaration* t : open) {
        const std::string_view other = t->name.substr(left.size());
        std::size_t n = 0;
        while (n < common.size() && n < other.size() && common[n] == other[n]) ++n;
        common = common.substr(0, n);
      }
      local_forced_ = common;
      local_completion_ = open[0]->name.substr(left.size());
      return ended(plan_of(*open[0]), 0, open.size() == 1);
    }
    pos_ += tool->name.size();
    const std::vector<Piece> plan = plan_of(*tool);
    for (std::size_t i = 0; i < plan.size(); ++i) {
      switch (part(plan[i])) {
        case Outcome::kDone:
          break;
        case Outcome::kInvalid:
          return invalid();
        case Outcome::kEnded:
          return ended(plan, i + 1, to_end_);
      }
    }
    if (pos_ != text_.size()) return invalid();
    result.complete = true;
    return result;
  }

 private:
  enum class Outcome { kDone, kEnded, kInvalid };

  std::string_view rest() const { return text_.substr(pos_); }

  static CallScan invalid() {
    CallScan result;
    result.valid = false;
    return result;
  }

  // The text ended in the part before `from`: the forced text runs on
  // through the fixed text after it while that part was forced to its end;
  // the completion runs through the whole rest of the plan.
  CallScan ended(const std::vector<Piece>& plan, std::size_t from, bool forced_through) {
    CallScan result;
    result.forced = std::move(local_forced_);
    result.completion = std::move(local_completion_);
    for (std::size_t i = from; i < plan.size(); ++i) {
      const Piece& p = plan[i];
      if (p.kind == Piece::kText) {
        result.completion.append(p.text);
        if (forced_through) result.forced.append(p.text);
      } else {
        result.completion.append(empty_value(p.kind));
        forced_through = false;
      }
    }
    return result;
  }

  // Fixed text: consumed whole, or the text ends inside it, or it is invalid.
  bool fixed(std::string_view expected) {
    const std::string_view left = rest();
    if (starts_with(left, expected)) {
      pos_ += expected.size();
      return true;
    }
    if (left.size() < expected.size() && starts_with(expected, left)) {
      local_forced_ = expected.substr(left.size());
      local_completion_ = local_forced_;
      to_end_ = true;
      pos_ = text_.size();
    } else {
      invalid_ = true;
    }
    return false;
  }

  Outcome part(const Piece& p) {
    switch (p.kind) {
      case Piece::kText:
        if (fixed(p.text)) return Outcome::kDone;
        return invalid_ ? Outcome::kInvalid : Outcome::kEnded;
      case Piece::kStringBody:
        return string_body() ? Outcome::kDone : Outcome::kEnded;
      case Piece::kBool:
        return boolean();
      case Piece::kNumber:
        return number();
      case Piece::kList:
        return list();
    }
    return Outcome::kInvalid;
  }

  // A string value's text ends at the first "<", which must open the marker.
  bool string_body() {
    const std::size_t end = text_.find('<', pos_);
    pos_ = end == std::string_view::npos ? text_.size() : end;
    return end != std::string_view::npos;
  }

  Outcome boolean() {
    const std::string_view left = rest();
    if (left.empty()) {
      local_completion_ = "false";
      return Outcome::kEnded;
    }
    for (std::string_view word : {std::string_view("true"), std::string_view("false")}) {
      if (starts_with(left, word)) {
        pos_ += word.size();
        return Outcome::kDone;
      }
      if (starts_with(word, left)) {
        local_forced_ = word.substr(left.size());
        local_completion_ = local_forced_;
        to_end_ = true;
        return Outcome::kEnded;
      }
    }
    return Outcome::kInvalid;
  }

  // "0" ("." digit digit?)? | "1" ("." "0" "0"?)?
  Outcome number() {
    const std::string_view left = rest();
    if (left.empty()) {
      local_completion_ = "0";
      return Outcome::kEnded;
    }
    const char lead = left[0];
    if (lead != '0' && lead != '1') return Outcome::kInvalid;
    const auto fits = [lead](char c) { return lead == '0' ? (c >= '0' && c <= '9') : c == '0'; };
    std::size_t n = 1;
    if (n < left.size() && left[n] == '.') {
      ++n;
      if (n == left.size()) {
        if (lead == '1') local_forced_ = "0";
        local_completion_ = "0";
        return Outcome::kEnded;
      }
      if (!fits(left[n])) return Outcome::kInvalid;
      ++n;
      if (n < left.size() && fits(left[n])) ++n;
    }
    pos_ += n;
    // A number that could still grow has not ended where the text does.
    if (pos_ == text_.size() && (n == 1 || n == 3)) return Outcome::kEnded;
    return Outcome::kDone;
  }

  // After "[": "]", or strings separated by commas and then "]".
  Outcome list() {
    for (bool first = true;; first = false) {
      if (rest().empty()) {
        if (!first) local_forced_ = kEscape;
        local_completion_ = first ? "]" : "<escape><escape>]";
        return Outcome::kEnded;
      }
      if (first && rest()[0] == ']') {
        ++pos_;
        return Outcome::kDone;
      }
      if (!fixed(kEscape)) return list_ended("<escape>]");
      if (!string_body()) {
        local_completion_ = "<escape>]";
        return Outcome::kEnded;
      }
      if (!fixed(kEscape)) return list_ended("]");
      if (rest().empty()) {
        local_completion_ = "]";
        return Outcome::kEnded;
      }
      if (rest()[0] == ']') {
        ++pos_;
        return Outcome::kDone;
      }
      if (rest()[0] != ',') return Outcome::kInvalid;
      ++pos_;
    }
  }

  // Ended inside a marker of a list item: what closes the item and the list.
  Outcome list_ended(std::string_view close) {
    if (invalid_) return Outcome::kInvalid;
    local_completion_.append(close);
    to_end_ = false;
    return Outcome::kEnded;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  bool invalid_ = false;
  // Set by the part the text ended in.
  std::string local_forced_;
  std::string local_completion_;
  bool to_end_ = false;  // the forced text finishes that part
};

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0.
std::size_t utf8_sequence(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < 2 || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (i >= s.size() || byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// The maximal part of an ill-formed sequence at the start of `s` that is
// replaced by one U+FFFD: the lead and the continuation bytes that could
// still have begun a valid sequence.
std::size_t ill_formed_part(std::string_view s) {
  std::size_t n = 1;
  while (n < s.size() && n < 4 && utf8_sequence(s.substr(0, n)) == 0) {
    // Would a valid sequence start with these n + 1 bytes?
    std::array<char, 4> probe{};
    const std::size_t k = n + 1;
    for (std::size_t i = 0; i < k; ++i) probe[i] = s[i];
    for (std::size_t i = k; i < 4; ++i) probe[i] = static_cast<char>(0x80);
    bool prefix = false;
    for (std::size_t len = k; len <= 4 && !prefix; ++len) {
      prefix = utf8_sequence(std::string_view(probe.data(), len)) == len;
    }
    if (!prefix) break;
    ++n;
  }
  return n;
}

}  // namespace

std::span<const ToolDeclaration> tool_declarations() { return kTools; }

std::string tool_call_grammar() {
  std::string g = "root ::= \"<start_function_call>call:\" (";
  for (std::size_t i = 0; i < std::size(kTools); ++i) {
    if (i > 0) g += " | ";
    g += rule_name(kTools[i].name);
  }
  g += ") \"<end_function_call>\"\n";
  for (const ToolDeclaration& tool : kTools) {
    g += rule_name(tool.name) + " ::= \"" + std::string(tool.name) + "{\"";
    for (std::size_t i = 0; i < tool.arguments.size(); ++i) {
      const ToolArgument& argument = tool.arguments[i];
      g += " \"";
      if (i > 0) g += ",";
      g += std::string(argument.name) + ":\" ";
      switch (argument.kind) {
        case ArgumentKind::kString:
          g += "string";
          break;
        case ArgumentKind::kBoolean:
          g += "boolean";
          break;
        case ArgumentKind::kConfidence:
          g += "confidence";
          break;
        case ArgumentKind::kStringList:
          g += "string-list";
          break;
      }
    }
    g += " \"}\"\n";
  }
  g += "string ::= \"<escape>\" [^<\\x00]* \"<escape>\"\n"
       "boolean ::= \"true\" | \"false\"\n"
       "confidence ::= \"0\" (\".\" [0-9] [0-9]?)? | \"1\" (\".0\" \"0\"?)?\n"
       "string-list ::= \"[\" (string (\",\" string)*)? \"]\"\n";
  return g;
}

CallScan scan_tool_call(std::string_view text) { return Scanner(text).scan(); }

std::string repaired_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    if (const std::size_t n = utf8_sequence(text)) {
      out.append(text.substr(0, n));
      text.remove_prefix(n);
    } else {
      out.append("\xEF\xBF\xBD");
      text.remove_prefix(ill_formed_part(text));
    }
  }
  return out;
}

}  // namespace sidecar
