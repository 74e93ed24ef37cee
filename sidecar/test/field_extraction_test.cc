#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <regex>
#include <string>
#include <string_view>

#include "request_loop.h"

namespace sidecar {
namespace {

using std::string_literals::operator""s;

struct FindCase {
  std::string line;
  std::optional<std::string_view> raw;
};

void expect_finds(const std::vector<FindCase>& cases) {
  for (const FindCase& c : cases) {
    EXPECT_EQ(find_json_string(c.line, "id"), c.raw) << c.line;
  }
}

TEST(FieldExtraction, TakesTheLeftmostKeyWithAStringValue) {
  expect_finds({
      {R"({"meta":{"id":"x"},"id":"y"})", "x"},
      {R"({"id":7,"meta":{"id":"z"}})", "z"},
      {R"({"id":null,"id":true,"id":{"id":""}})", ""},
      {"{\"id\" \t\r\n\v\f: \v\"a\"}", "a"},
      {R"({"id"::"a"})", std::nullopt},
      {R"({" id":"a","idx":"b","xid":"c","ID":"d"})", std::nullopt},
      {R"("id""id":"w")", "w"},
      {R"({"id":"a"b"})", "a"},
      {"", std::nullopt},
  });
}

TEST(FieldExtraction, EndsAValueAtTheFirstUnescapedQuote) {
  expect_finds({
      {R"({"id":"a\"b","type":"status"})", R"(a\"b)"},
      {R"({"id":"a\\","type":"status"})", R"(a\\)"},
      {R"({"id":"a\\\"b"})", R"(a\\\"b)"},
  });
}

TEST(FieldExtraction, UnclosedValueEndsAtTheLastEscapedQuote) {
  expect_finds({
      {R"({"id":"abc)", std::nullopt},
      {R"({"id":"a\"b)", R"(a\)"},
      {R"({"id":"a\"b\"c\)", R"(a\"b\)"},
      // No match for the first key leaves none for a later one either.
      {R"({"id":"a\)", std::nullopt},
  });
}

// What the start of a line that ran out of memory says of its id holds for
// the whole line, however it goes on: each cut of a line either gives the
// whole line's answer or none.
TEST(FieldExtraction, AClosedValueInALineStartIsTheWholeLinesValue) {
  for (const std::string& line : {R"({"x":"\"id\":\"no\"","id" : "a\"b","input":"...)"s,
                                  R"({"id":7,"meta":{"id":"z"},"input":"...)"s,
                                  R"({"id":"open \" ... \" end)"s, R"({"input":"id","id":"")"s}) {
    const std::optional<std::string_view> whole = find_json_string(line, "id");
    for (std::size_t cut = 0; cut <= line.size(); ++cut) {
      const auto start = find_closed_json_string(std::string_view(line).substr(0, cut), "id");
      if (start) {
        EXPECT_EQ(start, whole) << line << " cut at " << cut;
      }
    }
    EXPECT_EQ(find_closed_json_string(line, "id").has_value(),
              line.find(" end") == std::string::npos)
        << line;
  }
}

TEST(Unescaping, DecodesTheJsonEscapes) {
  EXPECT_EQ(unescape_json_string(R"(\"\\\/\b\f\n\r\t)"), "\"\\/\b\f\n\r\t");
  EXPECT_EQ(unescape_json_string(R"(a\u0041\u00e9\u00E9\u20ac\u0000z)"),
            "aA\u00e9\u00e9\u20ac\0z"s);
  EXPECT_EQ(unescape_json_string(R"(\ud83d\ude00)"), "\U0001F600");
  EXPECT_EQ(unescape_json_string(R"(\uDBFF\uDFFF)"), "\U0010FFFF");
}

TEST(Unescaping, LoneSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(unescape_json_string(R"(\ud83d)"), "\uFFFD");
  EXPECT_EQ(unescape_json_string(R"(\ud83dx)"), "\uFFFDx");
  EXPECT_EQ(unescape_json_string(R"(\ude00\ud83d)"), "\uFFFD\uFFFD");
  EXPECT_EQ(unescape_json_string(R"(\ud83d\ud83d\ude00)"), "\uFFFD\U0001F600");
  EXPECT_EQ(unescape_json_string(R"(\ud83d\u0041)"), "\uFFFDA");
  EXPECT_EQ(unescape_json_string(R"(\ud83d\ude0)"), "\uFFFDude0");
}

TEST(Unescaping, DropsTheBackslashOfAnyOtherPair) {
  EXPECT_EQ(unescape_json_string(R"(\x\'\a\u12\uZZZZ\u)"), "x'au12uZZZZu");
  EXPECT_EQ(unescape_json_string("\\\r\\\xC3\xA9"), "\r\xC3\xA9");
  EXPECT_EQ(unescape_json_string(R"(end\)"), R"(end\)");
  EXPECT_EQ(unescape_json_string(R"(\\\)"), R"(\\)");
}

TEST(FieldExtraction, ExtractsTheUnescapedValue) {
  EXPECT_EQ(extract_json_string(R"({"id":"a\"b","type":"status"})", "id"), "a\"b");
  EXPECT_EQ(extract_json_string(R"({"id":"a\nb"})", "id"), "a\nb");
  EXPECT_EQ(extract_json_string(R"({"id":"a\"b)", "id"), "a\\");
  EXPECT_EQ(extract_json_string(R"({"id":1})", "id"), "");
}

// The scanner must find exactly what the regular expression of the protocol
// finds. std::regex recurses per character, so only short lines compare.
TEST(FieldExtraction, AgreesWithTheRegularExpressionOnGeneratedLines) {
  const std::vector<std::string> keys = {"id", "type", "modelPath", "backend", "input"};
  std::vector<std::regex> patterns;
  for (const std::string& key : keys) {
    patterns.emplace_back("\"" + key + R"re("\s*:\s*"((?:\\.|[^"])*)")re", std::regex::ECMAScript);
  }
  std::vector<std::string> pieces = {
      "\"", "\\",   "\\\"", "\\\\",         ":",        " ",       "\t", "\r", "\n",
      "\v", "\f",   "x",    "\xC3\xA9",     "\\u00e9",  "\\ud83d", ",",  "{",  "}",
      "0",  "null", "\\n",  "\xE2\x80\xA8", "\"id\":7,"};
  for (const std::string& key : keys) {
    for (const char* opener : {"\"", "\":\"", "\" : \"", "\":", "\"\t:\r\""}) {
      pieces.push_back("\"" + key + opener);
    }
    pieces.push_back(key);
  }
  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::size_t> count(0, 14), piece(0, pieces.size() - 1);
  int matched = 0;
  for (int round = 0; round < 60000; ++round) {
    std::string line;
    for (std::size_t n = count(random); n > 0; --n) line += pieces[piece(random)];
    // Each key on its own, and all five together as parse_request finds them.
    const ToolCallRequest request = parse_request(line);
    const std::string* fields[] = {&request.id, &request.type, &request.model_path,
                                   &request.backend, &request.input};
    // The loop's parse, which keeps the line and a plain input where they are.
    ToolCallRequest in_place;
    parse_line(line, in_place);
    ASSERT_EQ(in_place.line().data(), line.data());
    ASSERT_EQ(in_place.input_text(), request.input) << line;
    ASSERT_EQ(in_place.id, request.id) << line;
    ASSERT_EQ(in_place.type, request.type) << line;
    for (std::size_t k = 0; k < keys.size(); ++k) {
      std::smatch match;
      std::optional<std::string_view> expected;
      if (std::regex_search(line, match, patterns[k])) {
        ++matched;
        expected = std::string_view(line).substr(static_cast<std::size_t>(match.position(1)),
                                                 static_cast<std::size_t>(match.length(1)));
      }
      ASSERT_EQ(find_json_string(line, keys[k]), expected) << "key " << keys[k] << " in " << line;
      ASSERT_EQ(*fields[k], expected ? unescape_json_string(*expected) : "") << line;
    }
  }
  EXPECT_GT(matched, 24000);  // the lines exercise matches, not only misses
}

TEST(FieldExtraction, LeavesALinesInputInPlaceUnlessItNeedsUnescaping) {
  ToolCallRequest request;
  request.raw_line = "left from before";
  const std::string plain = R"({"id":"1","type":"tool_call","input":"what is Kafka?"})";
  parse_line(plain, request);
  EXPECT_TRUE(request.raw_line.empty());
  EXPECT_EQ(request.line(), plain);
  EXPECT_TRUE(request.input.empty());
  EXPECT_EQ(request.input_text().data(), plain.data() + plain.find("what"));
  EXPECT_EQ(request.input_text(), "what is Kafka?");

  // The decoded copy replaces the view; a line without an input has neither.
  const std::string escaped = R"({"id":"2","input":"say \"hi\""})";
  parse_line(escaped, request);
  EXPECT_FALSE(request.input_view.has_value());
  EXPECT_EQ(request.input_text(), "say \"hi\"");
  parse_line(R"({"id":"3"})", request);
  EXPECT_EQ(request.input_text(), "");
  EXPECT_EQ(request.id, "3");
}

}  // namespace
}  // namespace sidecar
