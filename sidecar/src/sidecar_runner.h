#ifndef PARLANTO_SIDECAR_SIDECAR_RUNNER_H_
#define PARLANTO_SIDECAR_SIDECAR_RUNNER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sidecar {

// One request line, picked apart by the request loop. All fields are byte
// strings without any encoding check; a field whose key is absent or has no
// string value is empty.
struct ToolCallRequest {
  std::string id;
  std::string type;
  std::string model_path;  // for model-backed runners; the stub ignores it
  std::string backend;     // likewise
  std::string input;       // never empty when a runner is called, but see below
  std::string raw_line;    // the whole line as received

  // The request loop answers a line where it read it, without copying the
  // line or a value that needs no unescaping: it then leaves raw_line, and
  // input, empty and points these views at the texts instead. They stay
  // valid until the runner returns.
  std::optional<std::string_view> line_view;
  std::optional<std::string_view> input_view;

  // The line and the input, wherever they are held.
  std::string_view line() const { return line_view ? *line_view : raw_line; }
  std::string_view input_text() const { return input_view ? *input_view : input; }
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
  // A runner may override it to build its output there directly, reading the
  // line and input through line() and input_text(); the default hands
  // GenerateToolCall a copy of the request with every string filled. When it
  // throws, `response` may hold part of the output; the caller takes it back.
  virtual std::int64_t AppendEscapedToolCall(const ToolCallRequest& request, std::string& response);
};

// What the command line asks of the runner.
struct RunnerOptions {
  std::string model_path;  // --model: this model answers every tool call
  int threads = 0;         // --threads for the model; 0 picks fewer than the cores
};

// The program's runner. A tool call goes to the rule-based stub, which reads
// no configuration, unless its request names "backend":"llama.cpp" (with a
// "modelPath") or the options name a model: then a model answers it through
// llama.cpp (llama_runner.h). Mode() is "stub" unless the options name a
// model, and "llama.cpp" then.
std::unique_ptr<SidecarRunner> CreateSidecarRunner(const RunnerOptions& options = {});

// The stub alone.
std::unique_ptr<SidecarRunner> CreateStubRunner();

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_SIDECAR_RUNNER_H_
