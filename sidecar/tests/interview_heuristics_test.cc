#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "interview_heuristics.h"

namespace sidecar {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(Contains, AgreesWithFindEverywhereInTheText) {
  const std::vector<std::string> keywords = {
      "summarize", "save", "sql", "then ", "okay", "?", "classify_interview_turn", "aa", ""};
  const std::string alphabet = "asvqlthenokyz?_ ";
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (std::size_t n = random() % 14; n > 0; --n) text += alphabet[random() % alphabet.size()];
    if (random() % 3 == 0) text.insert(random() % (text.size() + 1), keywords[random() % 8]);
    for (const std::string& keyword : keywords) {
      ASSERT_EQ(contains(text, keyword), text.find(keyword) != std::string::npos)
          << '"' << keyword << "\" in \"" << text << '"';
    }
  }
}

TEST(NormalizeQuestion, DropsThePrefixAndTrimsOnlyBlanksStopsAndQuestionMarks) {
  for (const auto& [text, question] : Pairs{
           {"Q: what is a Kafka consumer group?", "What is a Kafka consumer group"},
           {"Question: time: 5pm?", "Time: 5pm"},
           {"notes:", "Notes:"},
           {"  ?? ", "Interview question"},
           {"", "Interview question"},
           {"Q:  \t ", "Interview question"},
           {"Explain REST!", "Explain REST!"},
           {"\t.net core?. ?", ".net core"},
           {"why\r", "Why\r"},
           {"\xC3\xA9t\xC3\xA9?", "\xC3\xA9t\xC3\xA9"},
       }) {
    EXPECT_EQ(normalize_question(text), question) << text;
  }
}

TEST(InferTopic, TakesTheFirstRowWhoseKeywordOccurs) {
  for (const auto& [text, topic] : Pairs{
           {"How does a Kafka consumer rebalance?", "kafka"},
           {"Spring and Kafka", "spring_boot"},
           {"PostgreSQL vs React", "sql"},
           {"REACT hooks on GCP", "react"},
           {"laws", "aws_gcp"},
           {"gcp", "aws_gcp"},
           {"a CONSUMER lag", "kafka"},
           {"Tell me about your last project", "resume_project"},
           {"What is dependency injection?", "other"},
       }) {
    EXPECT_EQ(infer_topic(text), topic) << text;
  }
}

std::string classify(const std::string& text) {
  return classification_call(text, lower_ascii(text));
}

std::string transition(const std::string& text, const std::string& topic) {
  return "<start_function_call>call:classify_interview_turn{text:<escape>" + text +
         "<escape>,should_respond:false,intent_type:<escape>transition<escape>,interview_type:"
         "<escape>none<escape>,topic:<escape>" +
         topic +
         "<escape>,subtopic:<escape>none<escape>,difficulty:<escape>none<escape>,"
         "needs_previous_context:false,needs_resume_context:false,needs_jd_context:false,"
         "route:<escape>wait<escape>,clean_question:<escape><escape>,confidence:0.78,"
         "reason_short:<escape>topic transition without a question yet<escape>}"
         "<end_function_call>";
}

std::string question(const std::string& text, bool partial, const std::string& topic,
                     const std::string& subtopic, const std::string& clean) {
  return "<start_function_call>call:classify_interview_turn{text:<escape>" + text +
         "<escape>,should_respond:true,intent_type:<escape>" +
         (partial ? "partial_question" : "direct_question") +
         "<escape>,interview_type:<escape>technical<escape>,topic:<escape>" + topic +
         "<escape>,subtopic:<escape>" + subtopic +
         "<escape>,difficulty:<escape>medium<escape>,needs_previous_context:" +
         (partial ? "true" : "false") +
         ",needs_resume_context:false,needs_jd_context:false,route:<escape>cloud_llm<escape>,"
         "clean_question:<escape>" +
         clean + "<escape>,confidence:" + (partial ? "0.84" : "0.94") + ",reason_short:<escape>" +
         (partial ? "short partial technical prompt" : "answer-worthy interview prompt") +
         "<escape>}<end_function_call>";
}

TEST(ClassificationCall, TransitionsWinOverQuestions) {
  for (const auto& [text, topic] : Pairs{
           {"Okay, let's move on to Kafka", "kafka"},
           {"Then tell me about SQL", "sql"},
           {"strengthen your answer?", "other"},
           {"so, OKAY?", "other"},
       }) {
    EXPECT_EQ(classify(text), transition(text, topic));
  }
}

TEST(ClassificationCall, AQuestionWithAtMostOneSpaceIsPartial) {
  EXPECT_EQ(classify("kafka retries?"), question("kafka retries?", true, "kafka", "retry_handling",
                                                 "How do Kafka retries work?"));
  EXPECT_EQ(classify("consumer?"),
            question("consumer?", true, "kafka", "retry_handling", "How do Kafka retries work?"));
  EXPECT_EQ(classify("sql joins?"), question("sql joins?", true, "sql", "general", "Sql joins?"));
  EXPECT_EQ(classify("sql\tinner\tjoins?"),
            question("sql\tinner\tjoins?", true, "sql", "general", "Sql\tinner\tjoins?"));
}

TEST(ClassificationCall, EverythingElseIsDirect) {
  EXPECT_EQ(classify("How would you design a REST API?"),
            question("How would you design a REST API?", false, "other", "general",
                     "How would you design a REST API?"));
  EXPECT_EQ(classify("Tell me about yourself"), question("Tell me about yourself", false, "other",
                                                         "general", "Tell me about yourself?"));
  EXPECT_EQ(classify("kafka"), question("kafka", false, "kafka", "general", "Kafka?"));
  EXPECT_EQ(classify("Q: <escape>, kafka lag?"),
            question("Q: <escape>, kafka lag?", false, "kafka", "general", "<escape>, kafka lag?"));
}

}  // namespace
}  // namespace sidecar
