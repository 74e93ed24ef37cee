#ifndef PARLANTO_SIDECAR_LLAMA_RUNNER_H_
#define PARLANTO_SIDECAR_LLAMA_RUNNER_H_

#include <memory>

#include "sidecar_runner.h"

// A runner that asks a local model, through llama.cpp on the processor, for
// the call. The model is the GGUF file that each request's model_path names:
// loaded at the first request that names it and kept while requests name the
// same file; another path unloads it first, giving its memory back.
namespace sidecar {

struct LlamaRunnerOptions {
  int threads = 0;  // 0: one fewer than the processor's cores, at least 1
};

// Mode() is "llama.cpp". A program built without llama.cpp gets a runner
// that answers every call with an error saying so.
std::unique_ptr<SidecarRunner> CreateLlamaRunner(const LlamaRunnerOptions& options);

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_LLAMA_RUNNER_H_
