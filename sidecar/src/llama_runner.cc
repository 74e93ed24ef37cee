// The model runner on llama.cpp. This file is the only one that includes
// llama.cpp's headers. Everything runs on the sidecar's only thread, except
// ggml's own compute threads inside llama_decode.
#include "llama_runner.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ggml-cpu.h"
#include "gguf.h"
#include "llama.h"
#include "tool_call_grammar.h"
#include "tool_call_prompt.h"

namespace sidecar {
namespace {

// The context the runner asks for, when the model was trained for more.
constexpr int kMaxContext = 4096;
// Tokens a call may take, forced and sampled; the context keeps room for
// them after the turn. A call that reaches it is completed with empty values,
// or any other value that reaches kMaxValueTokens.
constexpr int kMaxCallTokens = 384;
// Sampled tokens a string value may take before it is closed, and the few
// more it may take to finish a character begun in byte tokens.
constexpr int kMaxValueTokens = 96;
constexpr int kCharacterSlack = 4;
// Candidates tried against the grammar before all of them are: the best
// allowed token is nearly always among the model's first few.
constexpr int kCandidateSteps[] = {1, 64, 2048};

constexpr std::string_view kArchitecture = "gemma3";

// Memory a model needs beyond its file's size: the context's cache and
// compute buffers, the vocabulary's tables.
constexpr std::size_t kMemoryBeyondFile = std::size_t{96} << 20;

// llama.cpp and ggml log to standard error unless told otherwise; the
// sidecar never writes there. The last error they logged is kept to explain
// a failure. Logging may come from ggml's threads, hence the lock.
std::mutex log_mutex;
std::string last_logged_error;
bool continuing_error = false;

void keep_errors(ggml_log_level level, const char* text, void*) {
  const std::lock_guard lock(log_mutex);
  if (level == GGML_LOG_LEVEL_ERROR) {
    last_logged_error = text;
    continuing_error = true;
  } else if (level == GGML_LOG_LEVEL_CONT && continuing_error) {
    last_logged_error += text;
  } else {
    continuing_error = false;
  }
}

std::string take_logged_error() {
  const std::lock_guard lock(log_mutex);
  std::string error;
  error.swap(last_logged_error);
  while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
  return error;
}

std::string with_logged_error(std::string message) {
  const std::string logged = take_logged_error();
  if (!logged.empty()) message += " (llama.cpp: " + logged + ")";
  return message;
}

void init_llama_once() {
  static const bool done = [] {
    llama_log_set(keep_errors, nullptr);
    ggml_log_set(keep_errors, nullptr);
    // ggml ends the process on a failed assertion (an allocation it cannot
    // do without, for one); it must not print on its way out.
    ggml_set_abort_callback([](const char*) {});
    llama_backend_init();
    return true;
  }();
  (void)done;
}

// The instructions the static libraries were built for; see
// scripts/llama.cpp.cmake. Nothing of llama.cpp runs before this passes.
void check_processor() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  std::string missing;
  if (!__builtin_cpu_supports("avx2")) missing += " AVX2";
  if (!__builtin_cpu_supports("fma")) missing += " FMA";
  // gcc before 11 knows no "f16c" here: CPUID leaf 1, ECX bit 29.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_F16C) == 0) missing += " F16C";
  if (!__builtin_cpu_supports("bmi2")) missing += " BMI2";
  if (!missing.empty())
    throw std::runtime_error("this processor lacks" + missing +
                             ", which the model runner's build of llama.cpp needs");
#endif
}

// The file's own faults, told apart before llama.cpp reads it: missing or
// unreadable, not GGUF, not an architecture the prompt is written for.
void check_model_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw std::runtime_error("cannot open model file " + path + ": " + std::strerror(errno));
  char magic[4] = {};
  const ssize_t got = ::read(fd, magic, sizeof magic);
  const int read_errno = errno;
  ::close(fd);
  if (got < 0)
    throw std::runtime_error("cannot read model file " + path + ": " + std::strerror(read_errno));
  if (got != 4 || std::memcmp(magic, "GGUF", 4) != 0)
    throw std::runtime_error("model file " + path + " is not a GGUF file");

  // ggml aborts where an allocation fails, so a load that memory cannot
  // hold is refused before it starts.
  struct stat file = {};
  if (::stat(path.c_str(), &file) == 0) {
    const std::size_t needed = static_cast<std::size_t>(file.st_size) + kMemoryBeyondFile;
    void* probe = std::malloc(needed);
    if (probe == nullptr)
      throw std::runtime_error("out of memory: the model " + path + " needs about " +
                               std::to_string(needed >> 20) + " MiB");
    std::free(probe);
  }

  gguf_context* gguf = gguf_init_from_file(path.c_str(), {/*no_alloc=*/true, /*ctx=*/nullptr});
  if (gguf == nullptr)
    throw std::runtime_error(with_logged_error("model file " + path + " is a damaged GGUF file"));
  std::string architecture;
  const int64_t key = gguf_find_key(gguf, "general.architecture");
  if (key >= 0 && gguf_get_kv_type(gguf, key) == GGUF_TYPE_STRING)
    architecture = gguf_get_val_str(gguf, key);
  gguf_free(gguf);
  if (architecture != kArchitecture)
    throw std::runtime_error("model file " + path + " has architecture \"" + architecture +
                             "\"; the runner needs a gemma3 model");
}

// Whether the text ends in the first bytes of a UTF-8 sequence.
bool ends_inside_character(std::string_view text) {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;
    const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back;
  }
  return false;
}

struct ModelFree {
  void operator()(llama_model* model) const { llama_model_free(model); }
};
struct ContextFree {
  void operator()(llama_context* context) const { llama_free(context); }
};
struct SamplerFree {
  void operator()(llama_sampler* sampler) const { llama_sampler_free(sampler); }
};
struct ThreadpoolFree {
  void operator()(ggml_threadpool* pool) const { ggml_threadpool_free(pool); }
};

std::vector<llama_token> tokenize(const llama_vocab* vocab, std::string_view text, bool add_special,
                                  bool parse_special) {
  if (text.size() > static_cast<std::size_t>(INT32_MAX / 2))
    throw std::runtime_error("text too long to tokenize");
  const auto size = static_cast<int32_t>(text.size());
  std::vector<llama_token> tokens(text.size() + 4);
  int32_t n = llama_tokenize(vocab, text.data(), size, tokens.data(),
                             static_cast<int32_t>(tokens.size()), add_special, parse_special);
  if (n < 0 && n != INT32_MIN) {
    tokens.resize(static_cast<std::size_t>(-n));
    n = llama_tokenize(vocab, text.data(), size, tokens.data(), -n, add_special, parse_special);
  }
  if (n < 0) throw std::runtime_error("text too long to tokenize");
  tokens.resize(static_cast<std::size_t>(n));
  return tokens;
}

std::string piece_of(const llama_vocab* vocab, llama_token token) {
  char buffer[256];
  const int32_t n = llama_token_to_piece(vocab, token, buffer, sizeof buffer, 0, true);
  if (n < 0) return std::string(static_cast<std::size_t>(-n), '?');
  return std::string(buffer, static_cast<std::size_t>(n));
}

// One loaded model, its context with the fixed prompt evaluated, and its
// grammar.
struct LoadedModel {
  std::string path;
  // Declared first, so that the context that uses it goes before it.
  std::unique_ptr<ggml_threadpool, ThreadpoolFree> threads;
  std::unique_ptr<llama_model, ModelFree> model;
  std::unique_ptr<llama_context, ContextFree> context;
  std::unique_ptr<llama_sampler, SamplerFree> grammar;
  const llama_vocab* vocab = nullptr;
  int vocab_size = 0;
  int context_size = 0;
  int prefix_tokens = 0;            // kept in the context between calls
  std::size_t longest_piece = 1;    // bytes of the longest token
  std::vector<llama_token> suffix;  // closes the user's turn
};

class LlamaRunner final : public SidecarRunner {
 public:
  explicit LlamaRunner(const LlamaRunnerOptions& options) : threads_(options.threads) {
    if (threads_ <= 0) {
      const int cores = static_cast<int>(std::thread::hardware_concurrency());
      threads_ = std::clamp(cores - 1, 1, 8);
    }
  }

  const char* Mode() const override { return "llama.cpp"; }

  ToolCallResult GenerateToolCall(const ToolCallRequest& request) override {
    const auto start = std::chrono::steady_clock::now();
    if (request.model_path.empty())
      throw std::runtime_error("the llama.cpp backend needs a \"modelPath\" naming a GGUF file");
    LoadedModel& model = load(request.model_path);
    ToolCallResult result;
    result.output = generate(model, request.input);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    result.inference_ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    return result;
  }

 private:
  LoadedModel& load(const std::string& path) {
    if (loaded_ && loaded_->path == path) return *loaded_;
    // The old model goes first, so that two are never held at once.
    loaded_.reset();
    check_processor();
    init_llama_once();
    check_model_file(path);
    take_logged_error();

    auto loaded = std::make_unique<LoadedModel>();
    loaded->path = path;
    llama_model_params model_params = llama_model_default_params();
    model_params.n_gpu_layers = 0;
    loaded->model.reset(llama_model_load_from_file(path.c_str(), model_params));
    if (!loaded->model)
      throw std::runtime_error(with_logged_error("llama.cpp could not load " + path));
    loaded->vocab = llama_model_get_vocab(loaded->model.get());
    loaded->vocab_size = llama_vocab_n_tokens(loaded->vocab);
    for (std::string_view marker : tool_call_markers()) {
      if (tokenize(loaded->vocab, marker, false, true).size() != 1)
        throw std::runtime_error("model " + path + " has no token " + std::string(marker) +
                                 ": it is not a function-calling model");
    }
    for (llama_token t = 0; t < loaded->vocab_size; ++t)
      loaded->longest_piece = std::max(loaded->longest_piece, piece_of(loaded->vocab, t).size());

    llama_context_params context_params = llama_context_default_params();
    const int trained = llama_model_n_ctx_train(loaded->model.get());
    context_params.n_ctx =
        static_cast<uint32_t>(std::min(trained > 0 ? trained : kMaxContext, kMaxContext));
    context_params.n_batch = context_params.n_ctx;
    context_params.n_ubatch = 512;
    context_params.n_seq_max = 1;
    context_params.n_threads = threads_;
    context_params.n_threads_batch = threads_;
    // The whole window is kept, so that the turn after the fixed prompt can
    // be taken out again.
    context_params.swa_full = true;
    context_params.no_perf = true;
    loaded->context.reset(llama_init_from_model(loaded->model.get(), context_params));
    if (!loaded->context)
      throw std::runtime_error(with_logged_error("llama.cpp could not make a context for " + path +
                                                 " (out of memory?)"));
    loaded->context_size = static_cast<int>(llama_n_ctx(loaded->context.get()));
    // The compute threads sleep between steps instead of spinning: ggml's
    // default spin-waits, and when anything else wants the cores (a build,
    // the shell) a call then takes a hundred times as long.
    ggml_threadpool_params pool = ggml_threadpool_params_default(threads_);
    pool.poll = 0;
    loaded->threads.reset(ggml_threadpool_new(&pool));
    if (!loaded->threads)
      throw std::runtime_error(with_logged_error("llama.cpp could not start its threads"));
    llama_attach_threadpool(loaded->context.get(), loaded->threads.get(), loaded->threads.get());

    const std::string grammar = tool_call_grammar();
    loaded->grammar.reset(llama_sampler_init_grammar(loaded->vocab, grammar.c_str(), "root"));
    if (!loaded->grammar)
      throw std::runtime_error(with_logged_error("llama.cpp rejected the tool-call grammar"));

    std::vector<llama_token> prefix =
        tokenize(loaded->vocab, tool_call_prompt_prefix(), true, true);
    loaded->suffix = tokenize(loaded->vocab, kTurnSuffix, false, true);
    loaded->prefix_tokens = static_cast<int>(prefix.size());
    if (loaded->prefix_tokens + static_cast<int>(loaded->suffix.size()) + kMaxCallTokens >=
        loaded->context_size)
      throw std::runtime_error("the tool declarations do not fit in the model's context of " +
                               std::to_string(loaded->context_size) + " tokens");
    decode(*loaded, prefix);
    loaded_ = std::move(loaded);
    return *loaded_;
  }

  void decode(LoadedModel& model, std::vector<llama_token>& tokens) {
    const std::size_t batch = static_cast<std::size_t>(model.context_size);
    for (std::size_t at = 0; at < tokens.size(); at += batch) {
      const auto n = static_cast<int32_t>(std::min(batch, tokens.size() - at));
      const int32_t status =
          llama_decode(model.context.get(), llama_batch_get_one(tokens.data() + at, n));
      if (status == 1)
        throw std::runtime_error("the model's context of " + std::to_string(model.context_size) +
                                 " tokens is full");
      if (status != 0)
        throw std::runtime_error(
            with_logged_error("llama.cpp failed to evaluate the prompt (status " +
                              std::to_string(status) + "; out of memory?)"));
    }
    tokens.clear();
  }

  // The best token by the model that the grammar allows; ties go to the
  // lower id, so that a call is the same every time.
  llama_token pick(LoadedModel& model) {
    const float* logits = llama_get_logits_ith(model.context.get(), -1);
    if (logits == nullptr) throw std::runtime_error("llama.cpp gave no logits");
    const auto better = [](const llama_token_data& a, const llama_token_data& b) {
      return a.logit > b.logit || (a.logit == b.logit && a.id < b.id);
    };
    const auto n = static_cast<std::size_t>(model.vocab_size);
    candidates_.resize(n);
    for (std::size_t i = 0; i < n; ++i)
      candidates_[i] = {static_cast<llama_token>(i), logits[i], 0.0f};
    for (std::size_t step = 0;; ++step) {
      const std::size_t k = step < std::size(kCandidateSteps)
                                ? std::min(n, static_cast<std::size_t>(kCandidateSteps[step]))
                                : n;
      if (k < n) {
        std::nth_element(candidates_.begin(), candidates_.begin() + static_cast<long>(k - 1),
                         candidates_.end(), better);
      }
      trial_.assign(candidates_.begin(), candidates_.begin() + static_cast<long>(k));
      llama_token_data_array array = {trial_.data(), trial_.size(), -1, false};
      llama_sampler_apply(model.grammar.get(), &array);
      const llama_token_data* best = nullptr;
      for (std::size_t i = 0; i < array.size; ++i) {
        if (std::isinf(array.data[i].logit) && array.data[i].logit < 0) continue;
        if (best == nullptr || better(array.data[i], *best)) best = &array.data[i];
      }
      if (best != nullptr) return best->id;
      if (k == n) throw std::runtime_error("no token of the model fits the tool-call grammar");
    }
  }

  std::string generate(LoadedModel& model, std::string_view input) {
    llama_context* context = model.context.get();
    llama_memory_seq_rm(llama_get_memory(context), 0, model.prefix_tokens, -1);
    llama_sampler_reset(model.grammar.get());

    const int room = model.context_size - model.prefix_tokens - kMaxCallTokens -
                     static_cast<int>(model.suffix.size());
    // Every token spells at most the longest piece, so a turn this long
    // cannot fit whatever its tokens.
    if (input.size() / model.longest_piece > static_cast<std::size_t>(room))
      throw too_long(model, ">" + std::to_string(room));
    std::vector<llama_token> pending = tokenize(model.vocab, input, false, false);
    if (static_cast<int>(pending.size()) > room)
      throw too_long(model, std::to_string(pending.size()));
    pending.insert(pending.end(), model.suffix.begin(), model.suffix.end());

    std::string text;
    int call_tokens = 0;
    int value_tokens = 0;
    for (;;) {
      const CallScan scan = scan_tool_call(text);
      if (!scan.valid) throw std::runtime_error("the model's call left the grammar");
      if (scan.complete) break;
      std::string_view forced_text = scan.forced;
      // A string value at its cap is closed there, and the call goes on; not
      // inside a character, which the grammar expects to be finished first.
      if (forced_text.empty() && value_tokens >= kMaxValueTokens &&
          scan.completion.starts_with(kEscape) && !ends_inside_character(text))
        forced_text = kEscape;
      if (!forced_text.empty()) {
        const std::vector<llama_token> forced = tokenize(model.vocab, forced_text, false, true);
        if (call_tokens + static_cast<int>(forced.size()) > kMaxCallTokens) {
          text += scan.completion;
          break;
        }
        for (const llama_token token : forced) {
          llama_sampler_accept(model.grammar.get(), token);
          text += piece_of(model.vocab, token);
        }
        pending.insert(pending.end(), forced.begin(), forced.end());
        call_tokens += static_cast<int>(forced.size());
        value_tokens = 0;
        continue;
      }
      if (call_tokens >= kMaxCallTokens || value_tokens >= kMaxValueTokens + kCharacterSlack) {
        text += scan.completion;
        break;
      }
      decode(model, pending);
      const llama_token token = pick(model);
      llama_sampler_accept(model.grammar.get(), token);
      text += piece_of(model.vocab, token);
      pending.push_back(token);
      ++call_tokens;
      ++value_tokens;
    }

    // Byte tokens may spell ill-formed UTF-8 that the grammar let through.
    std::string output = repaired_utf8(text);
    if (!scan_tool_call(output).complete)
      throw std::runtime_error("the model's call does not parse");
    return output;
  }

  static std::runtime_error too_long(const LoadedModel& model, const std::string& tokens) {
    return std::runtime_error(
        "the turn is too long for the model's context: " + tokens + " tokens where " +
        std::to_string(model.context_size - model.prefix_tokens - kMaxCallTokens -
                       static_cast<int>(model.suffix.size())) +
        " fit beside the tool declarations and the call");
  }

  int threads_;
  std::unique_ptr<LoadedModel> loaded_;
  std::vector<llama_token_data> candidates_;
  std::vector<llama_token_data> trial_;
};

}  // namespace

std::unique_ptr<SidecarRunner> CreateLlamaRunner(const LlamaRunnerOptions& options) {
  return std::make_unique<LlamaRunner>(options);
}

}  // namespace sidecar
