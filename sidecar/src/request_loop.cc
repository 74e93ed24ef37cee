#include "request_loop.h"

#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <exception>
#include <istream>
#include <ostream>
#include <utility>

namespace sidecar {
namespace {

// The whitespace of an ECMAScript `\s` within single bytes.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::size_t to_size(std::ptrdiff_t length) { return static_cast<std::size_t>(length); }

const char* skip_spaces(const char* s, const char* end) {
  while (s < end && is_space(*s)) ++s;
  return s;
}

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

void append_json_escaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = begin + text.size();
  const unsigned char* const width = kEscapedWidth.data();

  // Most texts need no escape at all; copy up to the first byte that might.
  const unsigned char* plain = begin;
  while (end - plain >= static_cast<std::ptrdiff_t>(kBlock) && !block_may_need_escape(plain)) {
    plain += kBlock;
  }
  while (end - plain >= 8) {
    std::uint64_t word;
    std::memcpy(&word, plain, sizeof word);
    if (may_need_escape(word)) break;
    plain += 8;
  }
  while (plain < end && width[*plain] == 1 && *plain != 0xE2) ++plain;
  out.append(text.data(), static_cast<std::size_t>(plain - begin));
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

// Where the value starts when `quote` opens `"key" : "`, else nullptr. The
// caller has matched the key's first byte.
const char* value_after_key(const char* quote, const char* end, std::string_view key) {
  if (static_cast<std::size_t>(end - quote) < key.size() + 2 || quote[key.size() + 1] != '"') {
    return nullptr;
  }
  // Keys are short: comparing in place beats a call to memcmp.
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (quote[1 + i] != key[i]) return nullptr;
  }
  const char* s = skip_spaces(quote + key.size() + 2, end);
  if (s == end || *s != ':') return nullptr;
  s = skip_spaces(s + 1, end);
  return s < end && *s == '"' ? s + 1 : nullptr;
}

// The raw value that starts at `value`, where the leftmost `"key" : "` ends.
// Only that start can match: past it the value either closes, or runs to
// the end and closes at the line's last quote, or the line has no quote left
// for any later start either.
// `plain` when the value is known to hold no backslash, and so needs no
// unescaping.
struct RawValue {
  std::string_view text;
  bool plain = false;
};
std::optional<RawValue> value_from(const char* value, std::string_view line) {
  const char* const end = line.data() + line.size();
  const auto* quote = static_cast<const char*>(std::memchr(value, '"', to_size(end - value)));
  if (quote != nullptr && std::memchr(value, '\\', to_size(quote - value)) == nullptr) {
    return RawValue{std::string_view(value, to_size(quote - value)), true};
  }
  // A backslash pairs with the next byte unless that is a line break, as
  // `\\.` does in the expression.
  for (const char* s = value; s < end; ++s) {
    if (*s == '"') return RawValue{std::string_view(value, to_size(s - value))};
    if (*s == '\\' && s + 1 < end && s[1] != '\n' && s[1] != '\r') ++s;
  }
  const char* const last_quote = line.data() + line.rfind('"');
  if (last_quote < value) return std::nullopt;
  return RawValue{std::string_view(value, to_size(last_quote - value))};
}

// Calls `visit(quote)` for each double quote of `line`, left to right, until
// it returns false.
template <typename Visit>
void for_each_quote(std::string_view line, Visit visit) {
  const char* const end = line.data() + line.size();
  for (const char* s = line.data(); s < end; ++s) {
    s = static_cast<const char*>(std::memchr(s, '"', static_cast<std::size_t>(end - s)));
    if (s == nullptr || !visit(s)) return;
  }
}

void write_line(std::ostream& out, const std::string& line) {
  out.write(line.data(), static_cast<std::streamsize>(line.size()));
  out.flush();
}

// Whether all of `line` reached `fd`; a pipe may take it in parts.
bool write_all(int fd, std::string_view line) {
  while (!line.empty()) {
    const ssize_t written = ::write(fd, line.data(), line.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    line.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
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

struct Field {
  std::string_view key;
  std::string ToolCallRequest::*member;
};
constexpr std::array<Field, 5> kFields = {{{"id", &ToolCallRequest::id},
                                           {"type", &ToolCallRequest::type},
                                           {"modelPath", &ToolCallRequest::model_path},
                                           {"backend", &ToolCallRequest::backend},
                                           {"input", &ToolCallRequest::input}}};

// For each byte, the set of kFields (bit k for kFields[k]) whose key starts
// with it.
constexpr std::array<unsigned, 256> kFieldsByFirstByte = [] {
  std::array<unsigned, 256> fields{};
  for (std::size_t k = 0; k < kFields.size(); ++k) {
    fields[static_cast<unsigned char>(kFields[k].key[0])] |= 1u << k;
  }
  return fields;
}();

}  // namespace

std::optional<std::string_view> find_json_string(std::string_view line, std::string_view key) {
  const char* const end = line.data() + line.size();
  const char* value = nullptr;
  for_each_quote(line, [&](const char* quote) {
    if (key.empty() || (quote + 1 < end && quote[1] == key[0])) {
      value = value_after_key(quote, end, key);
    }
    return value == nullptr;
  });
  if (value == nullptr) return std::nullopt;
  const std::optional<RawValue> raw = value_from(value, line);
  if (!raw) return std::nullopt;
  return raw->text;
}

std::string unescape_json_string(std::string_view raw) {
  std::string out;
  assign_unescaped(out, raw);
  return out;
}

std::string extract_json_string(std::string_view line, std::string_view key) {
  const std::optional<std::string_view> raw = find_json_string(line, key);
  return raw ? unescape_json_string(*raw) : std::string();
}

std::string json_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_json_escaped(out, text);
  return out;
}

void append_success(std::string& line, std::string_view id, std::string_view output,
                    std::int64_t inference_ms) {
  line.reserve(line.size() + id.size() + output.size() + 64);
  line.append("{\"id\":\"");
  append_json_escaped(line, id);
  line.append("\",\"ok\":true,\"output\":\"");
  append_json_escaped(line, output);
  line.append("\",\"inferenceMs\":");
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, inference_ms).ptr;
  line.append(digits, end).append("}\n");
}

void append_error(std::string& line, std::string_view id, std::string_view message) {
  line.reserve(line.size() + id.size() + message.size() + 40);
  line.append("{\"id\":\"");
  append_json_escaped(line, id);
  line.append("\",\"ok\":false,\"error\":\"");
  append_json_escaped(line, message);
  line.append("\"}\n");
}

void write_success(std::ostream& out, std::string_view id, std::string_view output,
                   std::int64_t inference_ms) {
  std::string line;
  append_success(line, id, output, inference_ms);
  write_line(out, line);
}

void write_error(std::ostream& out, std::string_view id, std::string_view message) {
  std::string line;
  append_error(line, id, message);
  write_line(out, line);
}

ToolCallRequest parse_request(std::string line) {
  ToolCallRequest request;
  request.raw_line = std::move(line);
  parse_raw_line(request);
  return request;
}

void parse_raw_line(ToolCallRequest& request) {
  const std::string_view line = request.raw_line;
  // One pass over the line's quotes finds every key's leftmost value, just
  // as five separate searches would.
  std::array<const char*, kFields.size()> values{};
  unsigned pending = (1u << kFields.size()) - 1;
  const char* const end = line.data() + line.size();
  const auto quote_from = [end](const char* s) {
    return static_cast<const char*>(std::memchr(s, '"', to_size(end - s)));
  };
  for (const char* quote = quote_from(line.data()); quote != nullptr && pending != 0;) {
    const char* next = nullptr;
    if (quote + 1 < end) {
      for (unsigned candidates = kFieldsByFirstByte[static_cast<unsigned char>(quote[1])] & pending;
           candidates != 0; candidates &= candidates - 1) {
        const auto k = static_cast<std::size_t>(std::countr_zero(candidates));
        if ((values[k] = value_after_key(quote, end, kFields[k].key)) != nullptr) {
          pending &= ~(1u << k);
          // The key's closing quote, followed by a colon or a blank, starts
          // no key; the value's opening quote may.
          next = values[k] - 1;
        }
      }
    }
    quote = next != nullptr ? next : quote_from(quote + 1);
  }

  for (std::size_t k = 0; k < kFields.size(); ++k) {
    std::string& field = request.*kFields[k].member;
    const std::optional<RawValue> raw =
        values[k] != nullptr ? value_from(values[k], line) : std::nullopt;
    if (raw && !raw->plain) {
      assign_unescaped(field, raw->text);
    } else {
      field.clear();
      if (raw) field.append(raw->text);
    }
  }
}

void append_response(SidecarRunner& runner, const ToolCallRequest& request, std::string& line) {
  if (request.id.empty()) return append_error(line, "", "missing id");
  if (request.type == "status") return append_success(line, request.id, runner.Mode(), 0);
  if (request.type != "tool_call")
    return append_error(line, request.id, "unsupported request type");
  if (request.input.empty()) return append_error(line, request.id, "missing input");
  try {
    const ToolCallResult result = runner.GenerateToolCall(request);
    append_success(line, request.id, result.output, result.inference_ms);
  } catch (const std::exception& e) {
    append_error(line, request.id, e.what());
  }
}

void answer_request(SidecarRunner& runner, const ToolCallRequest& request, std::ostream& out) {
  std::string line;
  append_response(runner, request, line);
  write_line(out, line);
}

void run_request_loop(SidecarRunner& runner, std::istream& in, std::ostream& out) {
  ToolCallRequest request;
  std::string response;
  while (std::getline(in, request.raw_line)) {
    parse_raw_line(request);
    response.clear();
    append_response(runner, request, response);
    write_line(out, response);
  }
}

void run_request_loop(SidecarRunner& runner, int in_fd, int out_fd) {
  // Each line is copied from the read buffer into the request's raw_line; a
  // line that runs past the end of a read is gathered there over several
  // reads, so the buffer keeps its size and a long line costs linear time.
  std::string buffer(std::size_t{1} << 16, '\0');
  ToolCallRequest request;
  std::string response;
  bool gathering = false;  // raw_line holds the start of an unfinished line
  bool writable = true;
  const auto take = [&](const char* from, const char* to) {
    if (!gathering) request.raw_line.clear();
    request.raw_line.append(from, to);
  };
  const auto answer = [&] {
    parse_raw_line(request);
    response.clear();
    append_response(runner, request, response);
    if (writable) writable = write_all(out_fd, response);
    gathering = false;
  };

  for (;;) {
    const ssize_t got = ::read(in_fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    const char* s = buffer.data();
    const char* const end = s + got;
    while (const auto* newline = static_cast<const char*>(std::memchr(s, '\n', to_size(end - s)))) {
      take(s, newline);
      answer();
      s = newline + 1;
    }
    if (s < end) {
      take(s, end);
      gathering = true;
    }
  }
  // Like getline, a last line without a line break is a request too.
  if (gathering) answer();
}

}  // namespace sidecar
