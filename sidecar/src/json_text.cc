#include "json_text.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace sidecar {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at `at` as one UTF-16 code unit, or -1.
long hex_unit(const char* at, const char* end) {
  if (end - at < 4) return -1;
  long unit = 0;
  for (const char* digit = at; digit < at + 4; ++digit) {
    const int value = hex_value(*digit);
    if (value < 0) return -1;
    unit = unit * 16 + value;
  }
  return unit;
}

char* put_utf8(char* out, unsigned long code_point) {
  auto byte = [](unsigned long bits) { return static_cast<char>(bits); };
  if (code_point < 0x80) {
    *out++ = byte(code_point);
  } else if (code_point < 0x800) {
    *out++ = byte(0xC0 | (code_point >> 6));
    *out++ = byte(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    *out++ = byte(0xE0 | (code_point >> 12));
    *out++ = byte(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = byte(0x80 | (code_point & 0x3F));
  } else {
    *out++ = byte(0xF0 | (code_point >> 18));
    *out++ = byte(0x80 | ((code_point >> 12) & 0x3F));
    *out++ = byte(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = byte(0x80 | (code_point & 0x3F));
  }
  return out;
}

// Decodes the escape whose letter `s` points at (the backslash is behind it)
// into `out`; returns where the input continues.
const char* decode_escape(const char* s, const char* end, char*& out) {
  switch (*s) {
    case 'b':
      *out++ = '\b';
      return s + 1;
    case 'f':
      *out++ = '\f';
      return s + 1;
    case 'n':
      *out++ = '\n';
      return s + 1;
    case 'r':
      *out++ = '\r';
      return s + 1;
    case 't':
      *out++ = '\t';
      return s + 1;
    case 'u':
      break;
    default:
      *out++ = *s;
      return s + 1;  // \" \\ \/ and any other pair
  }
  const long unit = hex_unit(s + 1, end);
  if (unit < 0) {
    *out++ = 'u';
    return s + 1;
  }
  s += 5;
  unsigned long code_point = static_cast<unsigned long>(unit);
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    const bool escape_follows = end - s >= 2 && s[0] == '\\' && s[1] == 'u';
    const long low = escape_follows ? hex_unit(s + 2, end) : -1;
    if (low >= 0xDC00 && low <= 0xDFFF) {
      code_point =
          0x10000 + ((code_point - 0xD800) << 10) + static_cast<unsigned long>(low - 0xDC00);
      s += 6;
    } else {
      code_point = 0xFFFD;
    }
  } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
    code_point = 0xFFFD;
  }
  out = put_utf8(out, code_point);
  return s;
}

// The letter of each two-byte escape, else 0.
constexpr std::array<char, 256> kEscapeLetter = [] {
  std::array<char, 256> letter{};
  letter['"'] = '"';
  letter['\\'] = '\\';
  letter['\b'] = 'b';
  letter['\f'] = 'f';
  letter['\n'] = 'n';
  letter['\r'] = 'r';
  letter['\t'] = 't';
  return letter;
}();

// How many bytes json_escape writes for each byte; the lead byte 0xE2 of
// U+2028 and U+2029 is decided with the two bytes after it.
constexpr std::array<unsigned char, 256> kEscapedWidth = [] {
  std::array<unsigned char, 256> width{};
  for (std::size_t b = 0; b < 256; ++b) width[b] = kEscapeLetter[b] ? 2 : b < 0x20 ? 6 : 1;
  return width;
}();

// Whether any of the kBlock bytes at `at` is below 0x20, a quote, a
// backslash or 0xE2. A plain loop over a fixed-size block, so that the
// compiler can turn it into a few vector compares.
constexpr std::size_t kBlock = 32;
bool block_may_need_escape(const unsigned char* at) {
  unsigned char found = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    const unsigned char b = at[i];
    found |= static_cast<unsigned char>((b < 0x20) | (b == '"') | (b == '\\') | (b == 0xE2));
  }
  return found != 0;
}

// The first block from `s` that may need an escape, or the last block start
// before `end` at or past which fewer than kBlock bytes remain.
const unsigned char* skip_plain_blocks(const unsigned char* s, const unsigned char* end) {
  while (end - s >= static_cast<std::ptrdiff_t>(kBlock) && !block_may_need_escape(s)) s += kBlock;
  return s;
}

// The same test for the eight bytes of `word`.
bool may_need_escape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  const auto zero_bytes = [](std::uint64_t v) { return (v - kOnes) & ~v; };
  const std::uint64_t below_space = (word - kOnes * 0x20) & ~word;
  return ((below_space | zero_bytes(word ^ (kOnes * '"')) | zero_bytes(word ^ (kOnes * '\\')) |
           zero_bytes(word ^ (kOnes * 0xE2))) &
          kHighBits) != 0;
}

bool is_line_separator(const unsigned char* at, const unsigned char* end) {
  return end - at >= 3 && at[0] == 0xE2 && at[1] == 0x80 && (at[2] == 0xA8 || at[2] == 0xA9);
}

}  // namespace

void append_json_escaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = begin + text.size();
  const unsigned char* const width = kEscapedWidth.data();

  // Most texts need no escape at all; copy up to the first byte that might.
  // A long text is checked and copied a chunk at a time, so that the copy
  // reads what the check just brought into the cache.
  constexpr std::ptrdiff_t kChunk = 8192;
  const unsigned char* plain = begin;
  const unsigned char* copied = begin;
  for (;;) {
    const unsigned char* const chunk_end = end - plain > kChunk ? plain + kChunk : end;
    plain = skip_plain_blocks(plain, chunk_end);
    if (plain != chunk_end || chunk_end == end) break;
    out.append(reinterpret_cast<const char*>(copied), static_cast<std::size_t>(plain - copied));
    copied = plain;
  }
  while (end - plain >= 8) {
    std::uint64_t word;
    std::memcpy(&word, plain, sizeof word);
    if (may_need_escape(word)) break;
    plain += 8;
  }
  while (plain < end && width[*plain] == 1 && *plain != 0xE2) ++plain;
  out.append(reinterpret_cast<const char*>(copied), static_cast<std::size_t>(plain - copied));
  if (plain == end) return;

  std::size_t size = 0;
  for (const unsigned char* s = plain; s < end; ++s) {
    size += width[*s];
    if (*s == 0xE2 && is_line_separator(s, end)) size += 3;
  }
  const std::size_t start = out.size();
  out.resize(start + size);

  char* o = out.data() + start;
  for (const unsigned char* s = plain; s < end; ++s) {
    const unsigned char byte = *s;
    switch (width[byte]) {
      case 1:
        if (byte == 0xE2 && is_line_separator(s, end)) {
          const char* escape = s[2] == 0xA8 ? "\\u2028" : "\\u2029";
          for (int k = 0; k < 6; ++k) *o++ = escape[k];
          s += 2;
        } else {
          *o++ = static_cast<char>(byte);
        }
        break;
      case 2:
        *o++ = '\\';
        *o++ = kEscapeLetter[byte];
        break;
      default:
        for (char c : {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]}) *o++ = c;
        break;
    }
  }
}

void assign_unescaped(std::string& out, std::string_view raw) {
  if (raw.find('\\') == std::string_view::npos) {
    out.clear();
    out.append(raw);
    return;
  }
  // Every escape decodes to fewer bytes than it takes up.
  out.resize(raw.size());
  char* o = out.data();
  const char* const end = raw.data() + raw.size();
  for (const char* s = raw.data(); s < end;) {
    if (*s == '\\' && s + 1 < end) {
      s = decode_escape(s + 1, end, o);
    } else {
      *o++ = *s++;
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
}

std::string unescape_json_string(std::string_view raw) {
  std::string out;
  assign_unescaped(out, raw);
  return out;
}

std::string json_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_json_escaped(out, text);
  return out;
}

void append_success_head(std::string& line, std::string_view id) {
  line.append("{\"id\":\"");
  append_json_escaped(line, id);
  line.append("\",\"ok\":true,\"output\":\"");
}

void append_success_tail(std::string& line, std::int64_t inference_ms) {
  line.append("\",\"inferenceMs\":");
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, inference_ms).ptr;
  line.append(digits, end).append("}\n");
}

void append_success(std::string& line, std::string_view id, std::string_view output,
                    std::int64_t inference_ms) {
  line.reserve(line.size() + id.size() + output.size() + 64);
  append_success_head(line, id);
  append_json_escaped(line, output);
  append_success_tail(line, inference_ms);
}

void append_error(std::string& line, std::string_view id, std::string_view message) {
  line.reserve(line.size() + id.size() + message.size() + 40);
  line.append("{\"id\":\"");
  append_json_escaped(line, id);
  line.append("\",\"ok\":false,\"error\":\"");
  append_json_escaped(line, message);
  line.append("\"}\n");
}

}  // namespace sidecar
