#pragma once

#include <string>
#include <string_view>

namespace parlanto_audio {

// Full Unicode lower-casing of UTF-8 text, as the default case conversion of
// the Unicode standard defines it: one- and many-character mappings (U+0130
// becomes "i" and a combining dot) and the final-sigma rule. Bytes that are
// not well-formed UTF-8 are copied unchanged.
std::string lowercase_utf8(std::string_view text);

// The text without white space (the Unicode White_Space property) at either
// end. Bytes that are not well-formed UTF-8 count as text.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace parlanto_audio
