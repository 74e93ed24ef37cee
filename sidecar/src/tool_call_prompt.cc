#include "tool_call_prompt.h"

#include "tool_call_grammar.h"

namespace sidecar {
namespace {

constexpr std::string_view kMarkers[] = {
    "<start_of_turn>",
    "<end_of_turn>",
    "<start_function_declaration>",
    "<end_function_declaration>",
    "<start_function_call>",
    "<end_function_call>",
    "<escape>",
};

void append_escaped(std::string& out, std::string_view text) {
  out.append(kEscape).append(text).append(kEscape);
}

std::string_view type_name(ArgumentKind kind) {
  switch (kind) {
    case ArgumentKind::kString:
      return "STRING";
    case ArgumentKind::kBoolean:
      return "BOOLEAN";
    case ArgumentKind::kConfidence:
      return "NUMBER";
    case ArgumentKind::kStringList:
      return "ARRAY";
  }
  return "STRING";
}

// declaration:NAME{description:...,parameters:{properties:{...},
// required:[...],type:OBJECT}}, as the model's documented format writes it.
void append_declaration(std::string& out, const ToolDeclaration& tool) {
  out.append("<start_function_declaration>declaration:").append(tool.name);
  out.append("{description:");
  append_escaped(out, tool.description);
  out.append(",parameters:{properties:{");
  for (std::size_t i = 0; i < tool.arguments.size(); ++i) {
    const ToolArgument& argument = tool.arguments[i];
    if (i > 0) out.append(",");
    out.append(argument.name).append(":{description:");
    append_escaped(out, argument.description);
    if (argument.kind == ArgumentKind::kStringList) {
      out.append(",items:{type:");
      append_escaped(out, "STRING");
      out.append("}");
    }
    out.append(",type:");
    append_escaped(out, type_name(argument.kind));
    out.append("}");
  }
  out.append("},required:[");
  for (std::size_t i = 0; i < tool.arguments.size(); ++i) {
    if (i > 0) out.append(",");
    append_escaped(out, tool.arguments[i].name);
  }
  out.append("],type:");
  append_escaped(out, "OBJECT");
  out.append("}}<end_function_declaration>");
}

}  // namespace

std::string tool_call_prompt_prefix() {
  std::string prompt =
      "<start_of_turn>developer\n"
      "You are a model that can do function calling with the following functions";
  for (const ToolDeclaration& tool : tool_declarations()) append_declaration(prompt, tool);
  prompt.append("<end_of_turn>\n<start_of_turn>user\n");
  return prompt;
}

std::span<const std::string_view> tool_call_markers() { return kMarkers; }

}  // namespace sidecar
