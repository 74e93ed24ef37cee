#include "base/unicode_text.h"

#include <gtest/gtest.h>

namespace parlanto_audio {
namespace {

TEST(UnicodeText, LowerCasingCoversTheWholeOfUnicode) {
  EXPECT_EQ(lowercase_utf8("GenericFailure, ÀÉÎ Ǆ ΩМ"), "genericfailure, àéî ǆ ωм");
  EXPECT_EQ(lowercase_utf8("\u0130"), "i\u0307");           // one character to two
  EXPECT_EQ(lowercase_utf8("\u212A"), "k");                 // Kelvin sign
  EXPECT_EQ(lowercase_utf8("ΟΔΟΣ ΣΑΣ. Σ"), "οδος σας. σ");  // final sigma
  EXPECT_EQ(lowercase_utf8("A\xFF\xC3Z\xE2\x82"), "a\xFF\xC3z\xE2\x82");
}

TEST(UnicodeText, TrimmingRemovesUnicodeWhiteSpaceAtBothEndsOnly) {
  EXPECT_EQ(trim_unicode_whitespace("\u00A0\u3000 fake:x y\t\u2029\n"), "fake:x y");
  EXPECT_EQ(trim_unicode_whitespace(" \u2003 "), "");
  EXPECT_EQ(trim_unicode_whitespace("\xFF "), "\xFF");
}

}  // namespace
}  // namespace parlanto_audio
