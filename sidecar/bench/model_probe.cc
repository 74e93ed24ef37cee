// llama.cpp on its own, for comparison with the model runner: the same
// model, prompt and grammar, decoded the way llama.cpp's examples decode
// (the whole prompt evaluated for every call, a sampler chain of the grammar
// and greedy choice over every token, one token per step). Prints load time,
// prompt and generation rates and per-call times as one JSON line.
//   model_probe MODEL.gguf THREADS CALLS TURN...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "llama.h"
#include "tool_call_grammar.h"
#include "tool_call_prompt.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::vector<llama_token> tokenize(const llama_vocab* vocab, const std::string& text, bool special) {
  std::vector<llama_token> tokens(text.size() + 8);
  const int n = llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()), tokens.data(),
                               static_cast<int32_t>(tokens.size()), special, special);
  tokens.resize(static_cast<std::size_t>(std::max(n, 0)));
  return tokens;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fputs("usage: model_probe MODEL THREADS CALLS TURN...\n", stderr);
    return 1;
  }
  llama_log_set([](ggml_log_level, const char*, void*) {}, nullptr);
  llama_backend_init();
  const int threads = std::atoi(argv[2]);
  const int calls = std::atoi(argv[3]);

  auto start = Clock::now();
  llama_model_params model_params = llama_model_default_params();
  llama_model* model = llama_model_load_from_file(argv[1], model_params);
  if (model == nullptr) return 2;
  llama_context_params context_params = llama_context_default_params();
  context_params.n_ctx = 4096;
  context_params.n_batch = 4096;
  context_params.n_threads = threads;
  context_params.n_threads_batch = threads;
  context_params.no_perf = true;
  llama_context* context = llama_init_from_model(model, context_params);
  const double load_ms = ms_since(start);
  const llama_vocab* vocab = llama_model_get_vocab(model);

  const std::string grammar = sidecar::tool_call_grammar();
  llama_sampler* chain = llama_sampler_chain_init(llama_sampler_chain_default_params());
  llama_sampler_chain_add(chain, llama_sampler_init_grammar(vocab, grammar.c_str(), "root"));
  llama_sampler_chain_add(chain, llama_sampler_init_greedy());

  double prompt_ms = 0, generate_ms = 0;
  long prompt_tokens = 0, generated_tokens = 0;
  std::vector<double> call_ms;
  for (int call = 0; call < calls; ++call) {
    const std::string turn = argv[4 + call % (argc - 4)];
    const std::string prompt =
        sidecar::tool_call_prompt_prefix() + turn + std::string(sidecar::kTurnSuffix);
    std::vector<llama_token> tokens = tokenize(vocab, prompt, true);
    llama_memory_clear(llama_get_memory(context), true);
    llama_sampler_reset(chain);
    const auto call_start = Clock::now();
    if (llama_decode(context,
                     llama_batch_get_one(tokens.data(), static_cast<int32_t>(tokens.size()))))
      return 3;
    const double evaluated = ms_since(call_start);
    prompt_ms += evaluated;
    prompt_tokens += static_cast<long>(tokens.size());
    std::string text;
    int n = 0;
    for (; n < 384; ++n) {
      llama_token token = llama_sampler_sample(chain, context, -1);
      llama_sampler_accept(chain, token);
      char piece[256];
      const int length = llama_token_to_piece(vocab, token, piece, sizeof piece, 0, true);
      text.append(piece, static_cast<std::size_t>(std::max(length, 0)));
      if (text.ends_with(sidecar::kCallEnd)) break;
      if (llama_decode(context, llama_batch_get_one(&token, 1))) return 3;
    }
    generate_ms += ms_since(call_start) - evaluated;
    generated_tokens += n + 1;
    call_ms.push_back(ms_since(call_start));
  }
  std::sort(call_ms.begin(), call_ms.end());
  std::printf(
      "{\"loadMs\":%.0f,\"promptTokensPerCall\":%ld,\"promptTokensPerSecond\":%.0f,"
      "\"generatedTokensPerCall\":%ld,\"generatedTokensPerSecond\":%.1f,\"callP50Ms\":%.0f,"
      "\"callP95Ms\":%.0f}\n",
      load_ms, prompt_tokens / calls, 1000.0 * static_cast<double>(prompt_tokens) / prompt_ms,
      generated_tokens / calls, 1000.0 * static_cast<double>(generated_tokens) / generate_ms,
      call_ms[call_ms.size() / 2],
      call_ms[std::min(call_ms.size() - 1, call_ms.size() * 95 / 100)]);
  llama_sampler_free(chain);
  llama_free(context);
  llama_model_free(model);
  return 0;
}
