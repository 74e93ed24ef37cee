#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "request_loop.h"

namespace sidecar {
namespace {

using std::string_literals::operator""s;

TEST(JsonEscape, EscapesQuoteBackslashAndEveryControlByte) {
  std::string controls;
  for (char c = 0; c < 0x20; ++c) controls += c;
  EXPECT_EQ(json_escape(controls + "\"\\"),
            R"(\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
            R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c)"
            R"(\u001d\u001e\u001f\"\\)");
}

TEST(JsonEscape, EscapesLineSeparatorsAndPassesOtherHighBytes) {
  EXPECT_EQ(json_escape("a\u2028b\u2029c"), R"(a\u2028b\u2029c)");
  EXPECT_EQ(json_escape("\u2027\u202a\u00e9\x7f"), "\u2027\u202a\u00e9\x7f");
  EXPECT_EQ(json_escape("\xff\xfe\xE2\x80"), "\xff\xfe\xE2\x80");
  EXPECT_EQ(json_escape("\xE2\xE2\x80\xA8\xE2"), "\xE2\\u2028\xE2");
  EXPECT_EQ(json_escape("<escape>,{}/"), "<escape>,{}/");
}

TEST(JsonEscape, FindsEveryEscapeWhereverItStandsInALongText) {
  const std::vector<std::pair<std::string, std::string>> escapes = {
      {"\"", "\\\""},
      {"\\", "\\\\"},
      {"\n", "\\n"},
      {"\x1f", "\\u001f"},
      {"\x01", "\\u0001"},
      {"\xE2\x80\xA8", "\\u2028"},
      {"\xE2\x80\xA9", "\\u2029"},
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},
      {" ~\x7f\x80\xff", " ~\x7f\x80\xff"}};
  for (const auto& [raw, escaped] : escapes) {
    for (std::size_t at = 0; at <= 20; ++at) {
      std::string text(20, 'a'), expected(20, 'a');
      text.insert(at, raw);
      expected.insert(at, escaped);
      EXPECT_EQ(json_escape(text), expected) << at;
    }
  }
}

TEST(ResponseWriters, WriteOneCompleteLineEach) {
  std::string out;
  append_success(out, "7", "stub", 0);
  append_success(out, "a\"b", "x\ty", -12);
  append_success(out, "\n", "", 9223372036854775807);
  append_error(out, "", "missing id");
  append_error(out, "q\\", "bad\r\0"s);
  EXPECT_EQ(out,
            "{\"id\":\"7\",\"ok\":true,\"output\":\"stub\",\"inferenceMs\":0}\n"
            "{\"id\":\"a\\\"b\",\"ok\":true,\"output\":\"x\\ty\",\"inferenceMs\":-12}\n"
            "{\"id\":\"\\n\",\"ok\":true,\"output\":\"\",\"inferenceMs\":9223372036854775807}\n"
            "{\"id\":\"\",\"ok\":false,\"error\":\"missing id\"}\n"
            "{\"id\":\"q\\\\\",\"ok\":false,\"error\":\"bad\\r\\u0000\"}\n");
}

}  // namespace
}  // namespace sidecar
