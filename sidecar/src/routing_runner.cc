// Which runner answers a request: the stub, or a model through llama.cpp.
#include <string>
#include <string_view>

#include "llama_runner.h"
#include "sidecar_runner.h"

namespace sidecar {
namespace {

constexpr std::string_view kLlamaBackend = "llama.cpp";

class RoutingRunner final : public SidecarRunner {
 public:
  explicit RoutingRunner(const RunnerOptions& options)
      : options_(options), stub_(CreateStubRunner()) {}

  const char* Mode() const override {
    return options_.model_path.empty() ? stub_->Mode() : "llama.cpp";
  }

  ToolCallResult GenerateToolCall(const ToolCallRequest& request) override {
    if (!wants_model(request)) return stub_->GenerateToolCall(request);
    if (!request.model_path.empty() && request.backend == kLlamaBackend)
      return model_runner().GenerateToolCall(request);
    ToolCallRequest with_path = request;
    with_path.model_path = options_.model_path;
    return model_runner().GenerateToolCall(with_path);
  }

  // The stub builds its output in the response line; a model's output goes
  // through GenerateToolCall.
  std::int64_t AppendEscapedToolCall(const ToolCallRequest& request,
                                     std::string& response) override {
    if (!wants_model(request)) return stub_->AppendEscapedToolCall(request, response);
    return SidecarRunner::AppendEscapedToolCall(request, response);
  }

 private:
  bool wants_model(const ToolCallRequest& request) const {
    return request.backend == kLlamaBackend || !options_.model_path.empty();
  }

  // Made at the first request that needs it, so that a program that never
  // asks for a model never touches llama.cpp.
  SidecarRunner& model_runner() {
    if (!model_) model_ = CreateLlamaRunner({options_.threads});
    return *model_;
  }

  const RunnerOptions options_;
  const std::unique_ptr<SidecarRunner> stub_;
  std::unique_ptr<SidecarRunner> model_;
};

}  // namespace

std::unique_ptr<SidecarRunner> CreateSidecarRunner(const RunnerOptions& options) {
  return std::make_unique<RoutingRunner>(options);
}

}  // namespace sidecar
