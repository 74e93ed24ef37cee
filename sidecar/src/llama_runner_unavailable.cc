// The model runner of a program built without llama.cpp (cmake without
// scripts/setup-llama.sh, or the thread-sanitizer build).
#include <stdexcept>

#include "llama_runner.h"

namespace sidecar {
namespace {

class UnavailableLlamaRunner final : public SidecarRunner {
 public:
  const char* Mode() const override { return "llama.cpp"; }

  ToolCallResult GenerateToolCall(const ToolCallRequest&) override {
    throw std::runtime_error(
        "this sidecar was built without llama.cpp (run scripts/setup-llama.sh, then cmake again)");
  }
};

}  // namespace

std::unique_ptr<SidecarRunner> CreateLlamaRunner(const LlamaRunnerOptions&) {
  return std::make_unique<UnavailableLlamaRunner>();
}

}  // namespace sidecar
