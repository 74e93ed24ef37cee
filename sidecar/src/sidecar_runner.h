#ifndef PARLANTO_SIDECAR_SIDECAR_RUNNER_H_
#define PARLANTO_SIDECAR_SIDECAR_RUNNER_H_

#include <cstdint>
#include <memory>
#include <string>

namespace sidecar {

// One request line, picked apart by the request loop. All fields are byte
// strings without any encoding check; a field whose key is absent or has no
// string value is empty.
struct ToolCallRequest {
  std::string id;
  std::string type;
  std::string model_path;  // for model-backed runners; the stub ignores it
  std::string backend;     // likewise
  std::string input;       // never empty when a runner is called
  std::string raw_line;    // the whole line as received
};

struct ToolCallResult {
  std::string output;  // one function-call string
  std::int64_t inference_ms = 0;
};

// Turns one interview utterance into one function call. Called from the
// sidecar's only thread, one request at a time.
class SidecarRunner {
 public:
  virtual ~SidecarRunner() = default;

  // Static storage; the caller neither owns nor frees it.
  virtual const char* Mode() const = 0;

  // May throw standard exceptions; the request loop answers them with an
  // error line.
  virtual ToolCallResult GenerateToolCall(const ToolCallRequest& request) = 0;

  // Appends the output of GenerateToolCall, JSON-escaped, to `response` and
  // returns its inference time: how the request loop builds a response line.
  // A runner may override it to build its output there directly. When it
  // throws, `response` may hold part of the output; the caller takes it back.
  virtual std::int64_t AppendEscapedToolCall(const ToolCallRequest& request, std::string& response);
};

// The only runner today is the rule-based stub. It reads no configuration:
// the request's model path and backend play no part in the choice.
std::unique_ptr<SidecarRunner> CreateSidecarRunner();

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_SIDECAR_RUNNER_H_
