#include "sidecar_runner.h"

#include "json_text.h"

namespace sidecar {

std::int64_t SidecarRunner::AppendEscapedToolCall(const ToolCallRequest& request,
                                                  std::string& response) {
  ToolCallResult result;
  if (request.line_view || request.input_view) {
    ToolCallRequest whole;
    whole.id = request.id;
    whole.type = request.type;
    whole.model_path = request.model_path;
    whole.backend = request.backend;
    whole.input = request.input_text();
    whole.raw_line = request.line();
    result = GenerateToolCall(whole);
  } else {
    result = GenerateToolCall(request);
  }
  append_json_escaped(response, result.output);
  return result.inference_ms;
}

}  // namespace sidecar
