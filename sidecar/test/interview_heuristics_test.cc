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

// Long texts full of the keywords' rarest letters, which send the search
// from memchr to comparing letter pairs a block at a time.
TEST(Contains, AgreesWithFindInTextsFullOfTheKeywordsLetters) {
  const std::vector<std::string> keywords = {"react", "consumer", "save", "gcp", "then "};
  const std::string alphabet = "cvgpaertn ";
  std::mt19937 random(11);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (std::size_t n = random() % 700; n > 0; --n) text += alphabet[random() % alphabet.size()];
    if (random() % 2 == 0) {
      text.insert(random() % (text.size() + 1), keywords[random() % keywords.size()]);
    }
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

// Long turns are searched a window at a time: a word may straddle any
// window's edge, and an earlier rule's word far into the text still beats a
// later rule's word near its start.
TEST(TurnWords, FindsWordsAtEveryOffsetOfALongTurn) {
  for (std::size_t at = 0; at < 70000; at += at < 200 ? 1 : 997) {
    for (const auto& [word, topic] : Pairs{{"SpRiNg", "spring_boot"}, {"sQl", "sql"}}) {
      std::string text = "react " + std::string(70000, '.');
      text.replace(at + 6, word.size(), word);
      ASSERT_EQ(infer_topic(text), topic) << at;
      ASSERT_EQ(turn_words(text, 1u << kWordSave), 0u) << at;
    }
    std::string text(70000, 'x');
    text.replace(at, 9, "SUMMARIZE");
    ASSERT_EQ(turn_words(text, 1u << kWordSummarize | 1u << kWordSave), 1u << kWordSummarize) << at;
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

// The arguments that tell the kinds of turn apart; the golden protocol files
// pin the complete calls.
TEST(ClassificationCall, TellsTransitionsAndPartialAndDirectQuestionsApart) {
  struct Case {
    std::string text, intent, topic, subtopic, clean_question, confidence;
  };
  const std::string kKafkaRetries = "How do Kafka retries work?";
  for (const Case& c : std::vector<Case>{
           {"Okay, let's move on to Kafka", "transition", "kafka", "none", "", "0.78"},
           {"Then tell me about SQL", "transition", "sql", "none", "", "0.78"},
           {"strengthen your answer?", "transition", "other", "none", "", "0.78"},
           {"so, OKAY?", "transition", "other", "none", "", "0.78"},
           {"kafka retries?", "partial_question", "kafka", "retry_handling", kKafkaRetries, "0.84"},
           {"consumer?", "partial_question", "kafka", "retry_handling", kKafkaRetries, "0.84"},
           {"sql joins?", "partial_question", "sql", "general", "Sql joins?", "0.84"},
           {"sql\tinner\tjoins?", "partial_question", "sql", "general", "Sql\tinner\tjoins?",
            "0.84"},
           {"How would you design a REST API?", "direct_question", "other", "general",
            "How would you design a REST API?", "0.94"},
           {"Tell me about yourself", "direct_question", "other", "general",
            "Tell me about yourself?", "0.94"},
           {"kafka", "direct_question", "kafka", "general", "Kafka?", "0.94"},
           {"Q: <escape>, kafka lag?", "direct_question", "kafka", "general",
            "<escape>, kafka lag?", "0.94"},
       }) {
    const std::string call = classification_call(c.text, lower_ascii(c.text));
    const bool transition = c.intent == "transition";
    const bool partial = c.intent == "partial_question";
    EXPECT_EQ(call.rfind("<start_function_call>call:classify_interview_turn{text:<escape>" +
                             c.text + "<escape>,should_respond:" + (transition ? "false" : "true"),
                         0),
              0u)
        << call;
    for (const std::string& argument : {
             "intent_type:<escape>" + c.intent + "<escape>",
             ",topic:<escape>" + c.topic + "<escape>",
             "subtopic:<escape>" + c.subtopic + "<escape>",
             std::string("needs_previous_context:") + (partial ? "true" : "false"),
             "clean_question:<escape>" + c.clean_question + "<escape>",
             "confidence:" + c.confidence + ",",
         }) {
      EXPECT_NE(call.find(argument), std::string::npos) << argument << " in " << call;
    }
  }
}

}  // namespace
}  // namespace sidecar
