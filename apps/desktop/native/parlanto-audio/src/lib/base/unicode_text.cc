#include "base/unicode_text.h"

#include <cstdint>
#include <vector>

namespace parlanto_audio {

namespace {

constexpr char32_t kNotDecoded = 0xFFFFFFFF;

struct Decoded {
  char32_t cp;  // kNotDecoded for a byte that starts no well-formed sequence
  std::size_t offset;
  std::size_t length;
};

std::vector<Decoded> decode(std::string_view text) {
  std::vector<Decoded> out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (lead < 0x80) {
      length = 1;
      cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      cp = lead & 0x1Fu;
      min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      cp = lead & 0x0Fu;
      min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      cp = lead & 0x07u;
      min = 0x10000;
    }
    bool ok = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; ok && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      ok = (next & 0xC0u) == 0x80u;
      cp = (cp << 6) | (next & 0x3Fu);
    }
    ok = ok && cp >= min && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
    if (ok) {
      out.push_back({cp, i, length});
      i += length;
    } else {
      out.push_back({kNotDecoded, i, 1});
      ++i;
    }
  }
  return out;
}

bool is_white_space(char32_t cp) {
  return (cp >= 0x9 && cp <= 0xD) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
  const std::vector<Decoded> cps = decode(text);
  std::size_t first = 0;
  std::size_t last = cps.size();
  while (first < last && cps[first].cp != kNotDecoded && is_white_space(cps[first].cp)) ++first;
  while (last > first && cps[last - 1].cp != kNotDecoded && is_white_space(cps[last - 1].cp)) {
    --last;
  }
  if (first == last) return {};
  const std::size_t begin = cps[first].offset;
  return text.substr(begin, cps[last - 1].offset + cps[last - 1].length - begin);
}

}  // namespace parlanto_audio
