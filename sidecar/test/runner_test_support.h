#pragma once

// What the runners' tests build requests with and read failures by.

#include <stdexcept>
#include <string>
#include <utility>

#include "sidecar_runner.h"

namespace sidecar::runner_test {

// A tool_call request as the loop hands it to a runner.
inline ToolCallRequest tool_call(std::string input, std::string backend = {},
                                 std::string model_path = {}) {
  ToolCallRequest request;
  request.id = "1";
  request.type = "tool_call";
  request.input = std::move(input);
  request.backend = std::move(backend);
  request.model_path = std::move(model_path);
  request.raw_line = "{}";
  return request;
}

// The message of the error a runner answers `request` with, or "no error".
inline std::string error_of(SidecarRunner& runner, const ToolCallRequest& request) {
  try {
    runner.GenerateToolCall(request);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace sidecar::runner_test
