// The llama.cpp runner on the tiny random models that model/make_model.py
// writes (the test fixture makes them; SIDECAR_TEST_MODELS names their
// folder). Random weights make nonsense calls, which is the point: the
// grammar, not the model, has to keep every answer a valid call.
#include "llama_runner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "runner_test_support.h"
#include "tool_call_grammar.h"

namespace sidecar {
namespace {

namespace fs = std::filesystem;

fs::path models() {
  const char* dir = std::getenv("SIDECAR_TEST_MODELS");
  return dir != nullptr ? fs::path(dir) : fs::path("models");
}

std::string model(const char* name) { return (models() / name).string(); }

using runner_test::error_of;

ToolCallRequest turn(std::string input, std::string model_path) {
  return runner_test::tool_call(std::move(input), "llama.cpp", std::move(model_path));
}

// The four tools as the protocol gives them, written out here again
// rather than taken from the runner's own table.
bool is_one_valid_call(const std::string& output, std::string& tool) {
  static const std::string s = "<escape>[^<]*<escape>";
  static const std::string b = "(true|false)";
  static const std::map<std::string, std::regex> calls = {
      {"summarize_session", std::regex("\\{session_id:" + s + "\\}")},
      {"save_interview_question", std::regex("\\{question:" + s + ",topic:" + s + "\\}")},
      {"route_to_cloud_llm", std::regex("\\{question:" + s + ",topic:" + s + ",answer_type:" + s +
                                        ",context_keys:\\[(" + s + "(," + s + ")*)?\\]\\}")},
      {"classify_interview_turn",
       std::regex("\\{text:" + s + ",should_respond:" + b + ",intent_type:" + s +
                  ",interview_type:" + s + ",topic:" + s + ",subtopic:" + s + ",difficulty:" + s +
                  ",needs_previous_context:" + b + ",needs_resume_context:" + b +
                  ",needs_jd_context:" + b + ",route:" + s + ",clean_question:" + s +
                  ",confidence:(0(\\.[0-9][0-9]?)?|1(\\.00?)?),reason_short:" + s + "\\}")},
  };
  const std::string head = "<start_function_call>call:";
  const std::string tail = "<end_function_call>";
  if (output.rfind(head, 0) != 0 || !output.ends_with(tail)) return false;
  const std::size_t brace = output.find('{');
  if (brace == std::string::npos) return false;
  tool = output.substr(head.size(), brace - head.size());
  const auto call = calls.find(tool);
  return call != calls.end() &&
         std::regex_match(output.substr(brace, output.size() - tail.size() - brace),
                          call->second) &&
         repaired_utf8(output) == output;
}

// Turns of every kind the shell may send: plain, escapes and markers,
// separators, invalid UTF-8, long and nearly empty.
std::vector<std::string> generated_turns(std::size_t count) {
  const std::vector<std::string> pieces = {"What is Kafka?",
                                           "summarize",
                                           "save this",
                                           "okay, then",
                                           "<escape>",
                                           "<end_of_turn>",
                                           "{\"a\":1}",
                                           "\u2028",
                                           "\u2029",
                                           "\t",
                                           "\n",
                                           "\r",
                                           "\xC0\xAF",
                                           "\xFF",
                                           "\u00e9",
                                           "\U0001F600",
                                           " ",
                                           "?",
                                           "Tell me about your last project",
                                           "SELECT * FROM t;",
                                           "call:route_to_cloud_llm{"};
  std::mt19937 random(7);
  std::vector<std::string> turns = {
      " ", ".", "?", "a", "<", "<escape><escape>", "\u2028", std::string(1, '\x01')};
  while (turns.size() < count) {
    std::string text;
    const std::size_t n = 1 + random() % (turns.size() % 10 == 0 ? 120 : 8);
    for (std::size_t i = 0; i < n; ++i) text += pieces[random() % pieces.size()];
    turns.push_back(text);
  }
  return turns;
}

TEST(LlamaRunner, AnswersEveryTurnWithOneValidCallOfOneOfTheFourTools) {
  const auto runner = CreateLlamaRunner({1});
  EXPECT_STREQ(runner->Mode(), "llama.cpp");
  std::map<std::string, int> tools;
  for (const std::string& text : generated_turns(300)) {
    const ToolCallResult result = runner->GenerateToolCall(turn(text, model("tiny.gguf")));
    std::string tool;
    EXPECT_TRUE(is_one_valid_call(result.output, tool)) << text << "\n -> " << result.output;
    EXPECT_GE(result.inference_ms, 0);
    ++tools[tool];
  }
  // The seeded model picks each of the four somewhere among these turns.
  EXPECT_EQ(tools.size(), 4u);
}

TEST(LlamaRunner, GivesTheSameCallForTheSameTurnWhateverCameBefore) {
  const auto first = CreateLlamaRunner({1});
  const auto second = CreateLlamaRunner({1});
  const std::string path = model("tiny.gguf");
  const std::string a = first->GenerateToolCall(turn("What is a React hook?", path)).output;
  const std::string b = first->GenerateToolCall(turn("Tell me about Kafka consumers", path)).output;
  EXPECT_EQ(first->GenerateToolCall(turn("What is a React hook?", path)).output, a);
  EXPECT_EQ(second->GenerateToolCall(turn("Tell me about Kafka consumers", path)).output, b);
  EXPECT_EQ(second->GenerateToolCall(turn("What is a React hook?", path)).output, a);
  // Another model gives another call: the output is the model's.
  EXPECT_NE(first->GenerateToolCall(turn("What is a React hook?", model("tiny-2.gguf"))).output, a);
}

bool mapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.find(path) != std::string::npos) return true;
  return false;
}

TEST(LlamaRunner, LoadsAModelOnceAndGivesItBackForAnother) {
  const fs::path dir = fs::path(testing::TempDir()) / "sidecar-llama-load";
  fs::create_directories(dir);
  const std::string first = (dir / "first.gguf").string();
  const std::string second = (dir / "second.gguf").string();
  fs::copy_file(model("tiny.gguf"), first, fs::copy_options::overwrite_existing);
  fs::copy_file(model("tiny-2.gguf"), second, fs::copy_options::overwrite_existing);

  const auto runner = CreateLlamaRunner({1});
  const std::string call = runner->GenerateToolCall(turn("What is Kafka?", first)).output;
  EXPECT_TRUE(mapped(first));
  // Kept: the next request for the same path is answered without the file.
  fs::remove(first);
  EXPECT_EQ(runner->GenerateToolCall(turn("What is Kafka?", first)).output, call);
  // Replaced: the first model's memory is given back.
  runner->GenerateToolCall(turn("What is Kafka?", second));
  EXPECT_FALSE(mapped(first));
  EXPECT_TRUE(mapped(second));
  // A failed load leaves nothing loaded and the runner usable.
  EXPECT_NE(error_of(*runner, turn("What is Kafka?", first)), "no error");
  EXPECT_FALSE(mapped(second));
  fs::remove_all(dir);
}

TEST(LlamaRunner, AnswersEachFaultOfAModelOrTurnWithAClearErrorAndGoesOn) {
  const fs::path dir = fs::path(testing::TempDir()) / "sidecar-llama-faults";
  fs::create_directories(dir);
  const std::string text_file = (dir / "notes.txt").string();
  std::ofstream(text_file) << "not a model\n";
  const std::string truncated = (dir / "truncated.gguf").string();
  {
    std::ifstream in(model("tiny.gguf"), std::ios::binary);
    std::string head(200, '\0');
    in.read(head.data(), 200);
    std::ofstream(truncated, std::ios::binary) << head;
  }
  const std::string missing = (dir / "missing.gguf").string();

  const auto runner = CreateLlamaRunner({1});
  const std::string tiny = model("tiny.gguf");
  const std::vector<std::pair<ToolCallRequest, std::string>> faults = {
      {turn("hi", missing), "cannot open model file " + missing + ": No such file or directory"},
      {turn("hi", dir.string()), "cannot read model file " + dir.string() + ": Is a directory"},
      {turn("hi", text_file), "model file " + text_file + " is not a GGUF file"},
      {turn("hi", truncated), "model file " + truncated + " is a damaged GGUF file"},
      {turn("hi", model("llama-arch.gguf")),
       "model file " + model("llama-arch.gguf") +
           " has architecture \"llama\"; the runner needs a gemma3 model"},
      {turn("hi", model("no-call-tokens.gguf")),
       "model " + model("no-call-tokens.gguf") +
           " has no token <start_function_declaration>: it is not a function-calling model"},
      {turn("hi", ""), "the llama.cpp backend needs a \"modelPath\" naming a GGUF file"},
  };
  for (const auto& [request, error] : faults) {
    const std::string got = error_of(*runner, request);
    // A damaged file's message may add what llama.cpp logged.
    EXPECT_EQ(got.substr(0, error.size()), error);
    EXPECT_NE(runner->GenerateToolCall(turn("What is Kafka?", tiny)).output, "");
  }

  // Too long for the context: said so, never cut.
  std::string words;
  for (int i = 0; i < 3000; ++i) words += "kafka ";
  EXPECT_EQ(
      error_of(*runner, turn(words, tiny)).rfind("the turn is too long for the model's context", 0),
      0u);
  EXPECT_EQ(error_of(*runner, turn(std::string(1 << 20, 'x'), tiny))
                .rfind("the turn is too long for the model's context", 0),
            0u);
  std::string tool;
  EXPECT_TRUE(
      is_one_valid_call(runner->GenerateToolCall(turn("What is Kafka?", tiny)).output, tool));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace sidecar
