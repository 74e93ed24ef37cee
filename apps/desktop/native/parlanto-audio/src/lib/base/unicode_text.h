#pragma once

#include <string>
#include <string_view>

namespace parlanto_audio {

// The text without white space (the Unicode White_Space property) at either
// end. Bytes that are not well-formed UTF-8 count as text.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace parlanto_audio
