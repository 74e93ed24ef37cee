#ifndef PARLANTO_SIDECAR_TOOL_CALL_GRAMMAR_H_
#define PARLANTO_SIDECAR_TOOL_CALL_GRAMMAR_H_

#include <span>
#include <string>
#include <string_view>

// What a valid function call is, for a model that writes one: the four tools
// with their arguments, the grammar that constrains decoding to them, and the
// scanner that reads a call, whole or in part. The model runner and its
// prompt take the tools from here; nothing else describes them twice.
namespace sidecar {

enum class ArgumentKind {
  kString,      // <escape>text<escape>, no "<" inside
  kBoolean,     // true or false
  kConfidence,  // a number from 0 to 1, at most two decimals
  kStringList,  // [] or [<escape>a<escape>,<escape>b<escape>]
};

struct ToolArgument {
  std::string_view name;
  ArgumentKind kind;
  std::string_view description;
};

struct ToolDeclaration {
  std::string_view name;
  std::string_view description;
  std::span<const ToolArgument> arguments;  // in the order a call writes them
};

// The four tools, in declaration order.
std::span<const ToolDeclaration> tool_declarations();

inline constexpr std::string_view kCallStart = "<start_function_call>";
inline constexpr std::string_view kCallEnd = "<end_function_call>";
inline constexpr std::string_view kEscape = "<escape>";

// GBNF over text: exactly one call of one of the tools, its arguments all
// present, in order, each of its kind.
std::string tool_call_grammar();

// Where a text stands against the grammar.
struct CallScan {
  bool valid = true;      // a prefix of some call (or a whole one)
  bool complete = false;  // a whole call, nothing after it
  // Text that must come next whatever is chosen: argument names,
  // punctuation, markers, the rest of a tool name once it is clear.
  std::string forced;
  // The shortest text that makes the call whole (empty values, false, 0),
  // for a generation that must stop early.
  std::string completion;
};
CallScan scan_tool_call(std::string_view text);

// The text with every ill-formed UTF-8 sequence (overlong forms, surrogates,
// stray or missing continuation bytes, values past U+10FFFF) replaced by
// U+FFFD, one for each maximal ill-formed part.
std::string repaired_utf8(std::string_view text);

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_TOOL_CALL_GRAMMAR_H_
