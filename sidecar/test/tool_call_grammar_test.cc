#include "tool_call_grammar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool_call_prompt.h"

namespace sidecar {
namespace {

const std::vector<std::string> kWholeCalls = {
    "<start_function_call>call:summarize_session{session_id:<escape>current<escape>}"
    "<end_function_call>",
    "<start_function_call>call:save_interview_question{question:<escape>What is Kafka<escape>,"
    "topic:<escape>kafka<escape>}<end_function_call>",
    "<start_function_call>call:route_to_cloud_llm{question:<escape><escape>,topic:<escape>x"
    "<escape>,answer_type:<escape>technical_interview<escape>,context_keys:[]}"
    "<end_function_call>",
    "<start_function_call>call:route_to_cloud_llm{question:<escape>q,{}<escape>,topic:<escape>"
    "<escape>,answer_type:<escape><escape>,context_keys:[<escape>a<escape>,<escape><escape>]}"
    "<end_function_call>",
    "<start_function_call>call:classify_interview_turn{text:<escape>kafka retries?<escape>,"
    "should_respond:true,intent_type:<escape>partial_question<escape>,interview_type:<escape>"
    "technical<escape>,topic:<escape>kafka<escape>,subtopic:<escape>retry_handling<escape>,"
    "difficulty:<escape>medium<escape>,needs_previous_context:true,needs_resume_context:false,"
    "needs_jd_context:false,route:<escape>cloud_llm<escape>,clean_question:<escape>How do Kafka "
    "retries work?<escape>,confidence:0.84,reason_short:<escape>short partial technical prompt"
    "<escape>}<end_function_call>",
    "<start_function_call>call:classify_interview_turn{text:<escape><escape>,should_respond:false,"
    "intent_type:<escape><escape>,interview_type:<escape><escape>,topic:<escape><escape>,"
    "subtopic:<escape><escape>,difficulty:<escape><escape>,needs_previous_context:false,"
    "needs_resume_context:false,needs_jd_context:false,route:<escape><escape>,clean_question:"
    "<escape><escape>,confidence:1.00,reason_short:<escape><escape>}<end_function_call>",
};

TEST(ToolCallScan, AcceptsWholeCallsOfEveryToolWithEveryKindOfValue) {
  for (const std::string& call : kWholeCalls) {
    const CallScan scan = scan_tool_call(call);
    EXPECT_TRUE(scan.valid && scan.complete) << call;
  }
}

// What the runner relies on at every step of a generation: any prefix of a
// call is valid, what it forces keeps it valid, and its completion makes it
// whole, so that a generation cut short still answers with one call.
TEST(ToolCallScan, EveryPrefixIsValidAndItsForcedTextAndCompletionAgree) {
  for (const std::string& call : kWholeCalls) {
    for (std::size_t n = 0; n < call.size(); ++n) {
      const std::string prefix = call.substr(0, n);
      const CallScan scan = scan_tool_call(prefix);
      ASSERT_TRUE(scan.valid && !scan.complete) << prefix;
      const CallScan completed = scan_tool_call(prefix + scan.completion);
      EXPECT_TRUE(completed.valid && completed.complete) << prefix << " + " << scan.completion;
      EXPECT_EQ(scan.completion.substr(0, scan.forced.size()), scan.forced) << prefix;
      // Forced text is what the call itself has next, whichever call it is.
      EXPECT_EQ(call.substr(n, scan.forced.size()), scan.forced) << prefix;
    }
  }
}

TEST(ToolCallScan, ForcesNamesPunctuationAndMarkersButNotValues) {
  EXPECT_EQ(scan_tool_call("").forced, "<start_function_call>call:");
  // "s" is two tools; "r" is one, and its first argument follows.
  EXPECT_EQ(scan_tool_call("<start_function_call>call:s").forced, "");
  EXPECT_EQ(scan_tool_call("<start_function_call>call:sa").forced,
            "ve_interview_question{question:<escape>");
  EXPECT_EQ(
      scan_tool_call("<start_function_call>call:save_interview_question{question:<escape>W").forced,
      "");
  EXPECT_EQ(scan_tool_call("<start_function_call>call:save_interview_question{question:<escape>W"
                           "<esc")
                .forced,
            "ape>,topic:<escape>");
  const std::string classify =
      "<start_function_call>call:classify_interview_turn{text:<escape>x<escape>,should_respond:";
  EXPECT_EQ(scan_tool_call(classify).forced, "");
  EXPECT_EQ(scan_tool_call(classify + "f").forced, "alse,intent_type:<escape>");
  const std::string confidence =
      "<start_function_call>call:classify_interview_turn{text:<escape><escape>,should_respond:"
      "false,intent_type:<escape><escape>,interview_type:<escape><escape>,topic:<escape><escape>,"
      "subtopic:<escape><escape>,difficulty:<escape><escape>,needs_previous_context:false,"
      "needs_resume_context:false,needs_jd_context:false,route:<escape><escape>,clean_question:"
      "<escape><escape>,confidence:";
  EXPECT_EQ(scan_tool_call(confidence + "0.9").forced, "");
  EXPECT_EQ(scan_tool_call(confidence + "0.95").forced, ",reason_short:<escape>");
  EXPECT_EQ(scan_tool_call(confidence + "1.").forced, "0");
}

TEST(ToolCallScan, RejectsWhatNoCallCanBecome) {
  const std::string save = "<start_function_call>call:save_interview_question{";
  for (const std::string& text : {
           std::string("call:"),
           std::string("<start_function_call>call:unknown_tool{"),
           save + "topic:",                        // arguments out of order
           save + "question:plain",                // a string without markers
           save + "question:<escape>a<escape>}",   // an argument missing
           save + "question:<escape>a<b<escape>",  // "<" inside a value
           kWholeCalls[0] + " ",                   // anything after the call
           std::string("<start_function_call>call:classify_interview_turn{text:<escape><escape>,"
                       "should_respond:yes"),
       }) {
    EXPECT_FALSE(scan_tool_call(text).valid) << text;
  }
  const std::string confidence = kWholeCalls[5].substr(0, kWholeCalls[5].find("1.00"));
  for (const std::string number : {"2", "1.5", "0.123", "-0", ".5", "01"}) {
    EXPECT_FALSE(scan_tool_call(confidence + number + ",").valid) << number;
  }
}

TEST(ToolCallGrammar, NamesEveryToolAndArgumentInCallOrder) {
  const std::string grammar = tool_call_grammar();
  for (const ToolDeclaration& tool : tool_declarations()) {
    std::size_t at = grammar.find("\"" + std::string(tool.name) + "{\"");
    ASSERT_NE(at, std::string::npos) << tool.name;
    for (std::size_t i = 0; i < tool.arguments.size(); ++i) {
      const std::string name = (i > 0 ? "\"," : "\"") + std::string(tool.arguments[i].name) + ":\"";
      const std::size_t next = grammar.find(name, at);
      ASSERT_NE(next, std::string::npos) << tool.name << " " << tool.arguments[i].name;
      at = next;
    }
  }
}

TEST(ToolCallPrompt, DeclaresEveryToolInTheDeveloperTurnAndOpensTheUsersTurn) {
  const std::string prefix = tool_call_prompt_prefix();
  EXPECT_EQ(prefix.rfind("<start_of_turn>developer\n", 0), 0u);
  EXPECT_TRUE(prefix.ends_with("<end_of_turn>\n<start_of_turn>user\n"));
  EXPECT_NE(
      prefix.find("<start_function_declaration>declaration:summarize_session{description:<escape>"
                  "Summarize the interview session so far.<escape>,parameters:{properties:{"
                  "session_id:{description:<escape>The session to summarize; always current."
                  "<escape>,type:<escape>STRING<escape>}},required:[<escape>session_id<escape>],"
                  "type:<escape>OBJECT<escape>}}<end_function_declaration>"),
      std::string::npos);
  EXPECT_NE(prefix.find("context_keys:{description:<escape>Keys of saved context the answer "
                        "needs.<escape>,items:{type:<escape>STRING<escape>},type:<escape>ARRAY"),
            std::string::npos);
  std::size_t declarations = 0;
  for (std::size_t at = 0;
       (at = prefix.find("<start_function_declaration>", at)) != std::string::npos; ++at)
    ++declarations;
  EXPECT_EQ(declarations, tool_declarations().size());
}

TEST(RepairedUtf8, PassesWellFormedTextAndReplacesEachIllFormedPart) {
  const std::string good = "a\u00e9\u20ac\U0001F600\u2028<escape>";
  EXPECT_EQ(repaired_utf8(good), good);
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(repaired_utf8("\xC0\xAF"), r + r);                  // overlong "/"
  EXPECT_EQ(repaired_utf8("\xE0\x80\xAF"), r + r + r);          // overlong, three bytes
  EXPECT_EQ(repaired_utf8("\xED\xA0\x80x"), r + r + r + "x");   // a surrogate
  EXPECT_EQ(repaired_utf8("\xF4\x90\x80\x80"), r + r + r + r);  // past U+10FFFF
  EXPECT_EQ(repaired_utf8("\xE2\x82"), r);                      // cut short
  EXPECT_EQ(repaired_utf8("\xE2\x82x\x80"), r + "x" + r);       // cut, then a stray byte
  EXPECT_EQ(repaired_utf8("\xF0\x9F\x98"), r);
  EXPECT_EQ(repaired_utf8("\xFF"), r);
}

}  // namespace
}  // namespace sidecar
