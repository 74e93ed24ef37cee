#include "base/unicode_text.h"

#include <gtest/gtest.h>

namespace parlanto_audio {
namespace {

TEST(UnicodeText, TrimmingRemovesUnicodeWhiteSpaceAtBothEndsOnly) {
  EXPECT_EQ(trim_unicode_whitespace("\u00A0\u3000 fake:x y\t\u2029\n"), "fake:x y");
  EXPECT_EQ(trim_unicode_whitespace(" \u2003 "), "");
  EXPECT_EQ(trim_unicode_whitespace("\xFF "), "\xFF");
}

}  // namespace
}  // namespace parlanto_audio
