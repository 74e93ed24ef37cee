#include "sidecar_runner.h"

#include "json_text.h"

namespace sidecar {

std::int64_t SidecarRunner::AppendEscapedToolCall(const ToolCallRequest& request,
                                                  std::string& response) {
  const ToolCallResult result = GenerateToolCall(request);
  append_json_escaped(response, result.output);
  return result.inference_ms;
}

}  // namespace sidecar
