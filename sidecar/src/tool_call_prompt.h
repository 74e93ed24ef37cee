#ifndef PARLANTO_SIDECAR_TOOL_CALL_PROMPT_H_
#define PARLANTO_SIDECAR_TOOL_CALL_PROMPT_H_

#include <span>
#include <string>
#include <string_view>

// The prompt a function-calling model of the Gemma 3 family reads: a
// developer turn declaring the four tools, the user's turn, and the opening
// of the model's turn. It comes in three pieces so that the runner can
// evaluate the fixed one once and keep it, and tokenize the turn's text
// without reading markers in it.
namespace sidecar {

// The developer turn with every declaration, and the opening of the user's
// turn: the same for every call.
std::string tool_call_prompt_prefix();

// Closes the user's turn and opens the model's.
inline constexpr std::string_view kTurnSuffix = "<end_of_turn>\n<start_of_turn>model\n";

// The markers a model must know as tokens of their own.
std::span<const std::string_view> tool_call_markers();

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_TOOL_CALL_PROMPT_H_
