#include "request_loop.h"

#include <array>
#include <charconv>
#include <exception>
#include <istream>
#include <ostream>
#include <utility>

namespace sidecar {
namespace {

constexpr std::size_t kNpos = std::string_view::npos;

// The whitespace of an ECMAScript `\s` within single bytes.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::size_t skip_spaces(std::string_view text, std::size_t i) {
  while (i < text.size() && is_space(text[i])) ++i;
  return i;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at `at` as one UTF-16 code unit, or -1.
long hex_unit(std::string_view text, std::size_t at) {
  if (text.size() < 4 || at > text.size() - 4) return -1;
  long unit = 0;
  for (std::size_t k = at; k < at + 4; ++k) {
    const int digit = hex_value(text[k]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

void append_utf8(std::string& out, unsigned long code_point) {
  auto byte = [](unsigned long bits) { return static_cast<char>(bits); };
  if (code_point < 0x80) {
    out += byte(code_point);
  } else if (code_point < 0x800) {
    out += byte(0xC0 | (code_point >> 6));
    out += byte(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += byte(0xE0 | (code_point >> 12));
    out += byte(0x80 | ((code_point >> 6) & 0x3F));
    out += byte(0x80 | (code_point & 0x3F));
  } else {
    out += byte(0xF0 | (code_point >> 18));
    out += byte(0x80 | ((code_point >> 12) & 0x3F));
    out += byte(0x80 | ((code_point >> 6) & 0x3F));
    out += byte(0x80 | (code_point & 0x3F));
  }
}

// Bytes that json_escape must look at: controls, quote, backslash, and 0xE2,
// the lead byte of U+2028 and U+2029.
constexpr std::array<bool, 256> kEscapeLookup = [] {
  std::array<bool, 256> table{};
  for (std::size_t b = 0; b < 0x20; ++b) table[b] = true;
  table['"'] = table['\\'] = table[0xE2] = true;
  return table;
}();

void append_json_escaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t copied = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (!kEscapeLookup[byte]) continue;
    std::string_view escape;
    char unicode[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
    std::size_t width = 1;
    switch (byte) {
      case '"':
        escape = "\\\"";
        break;
      case '\\':
        escape = "\\\\";
        break;
      case '\b':
        escape = "\\b";
        break;
      case '\f':
        escape = "\\f";
        break;
      case '\n':
        escape = "\\n";
        break;
      case '\r':
        escape = "\\r";
        break;
      case '\t':
        escape = "\\t";
        break;
      case 0xE2:
        if (i + 2 >= text.size() || text[i + 1] != '\x80' ||
            (text[i + 2] != '\xA8' && text[i + 2] != '\xA9')) {
          continue;
        }
        escape = text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
        width = 3;
        break;
      default:
        escape = std::string_view(unicode, sizeof unicode);
        break;
    }
    out.append(text.substr(copied, i - copied)).append(escape);
    i += width - 1;
    copied = i + 1;
  }
  out.append(text.substr(copied));
}

void write_line(std::ostream& out, const std::string& line) {
  out.write(line.data(), static_cast<std::streamsize>(line.size()));
  out.flush();
}

}  // namespace

std::optional<std::string_view> find_json_string(std::string_view line, std::string_view key) {
  // Only the leftmost `"key" : "` can start a match: past it the value
  // either closes, or runs to the end and closes at the line's last quote,
  // or the line has no quote left for any later start either.
  std::string needle;
  needle.reserve(key.size() + 2);
  needle.append(1, '"').append(key).append(1, '"');
  std::size_t value_start = kNpos;
  for (std::size_t at = line.find(needle); at != kNpos; at = line.find(needle, at + 1)) {
    std::size_t i = skip_spaces(line, at + needle.size());
    if (i == line.size() || line[i] != ':') continue;
    i = skip_spaces(line, i + 1);
    if (i == line.size() || line[i] != '"') continue;
    value_start = i + 1;
    break;
  }
  if (value_start == kNpos) return std::nullopt;

  // A backslash pairs with the next byte unless that is a line break, as
  // `\\.` does in the expression.
  const std::size_t n = line.size();
  for (std::size_t i = value_start; i < n;) {
    const char c = line[i];
    if (c == '"') return line.substr(value_start, i - value_start);
    const bool pair = c == '\\' && i + 1 < n && line[i + 1] != '\n' && line[i + 1] != '\r';
    i += pair ? 2u : 1u;
  }
  const std::size_t last_quote = line.rfind('"');
  if (last_quote < value_start) return std::nullopt;
  return line.substr(value_start, last_quote - value_start);
}

std::string unescape_json_string(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    const std::size_t slash = raw.find('\\', i);
    if (slash == kNpos || slash + 1 == raw.size()) {
      out.append(raw.substr(i));
      break;
    }
    out.append(raw.substr(i, slash - i));
    const char escaped = raw[slash + 1];
    i = slash + 2;
    switch (escaped) {
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        const long unit = hex_unit(raw, i);
        if (unit < 0) {
          out += 'u';
          break;
        }
        i += 4;
        unsigned long code_point = static_cast<unsigned long>(unit);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          const long low = raw.substr(i, 2) == "\\u" ? hex_unit(raw, i + 2) : -1;
          if (low >= 0xDC00 && low <= 0xDFFF) {
            code_point =
                0x10000 + ((code_point - 0xD800) << 10) + static_cast<unsigned long>(low - 0xDC00);
            i += 6;
          } else {
            code_point = 0xFFFD;
          }
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
          code_point = 0xFFFD;
        }
        append_utf8(out, code_point);
        break;
      }
      default:
        out += escaped;
        break;  // \" \\ \/ and any other pair
    }
  }
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

void write_success(std::ostream& out, std::string_view id, std::string_view output,
                   std::int64_t inference_ms) {
  std::string line;
  line.reserve(id.size() + output.size() + 64);
  line.append("{\"id\":\"");
  append_json_escaped(line, id);
  line.append("\",\"ok\":true,\"output\":\"");
  append_json_escaped(line, output);
  line.append("\",\"inferenceMs\":");
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, inference_ms).ptr;
  line.append(digits, end).append("}\n");
  write_line(out, line);
}

void write_error(std::ostream& out, std::string_view id, std::string_view message) {
  std::string line;
  line.reserve(id.size() + message.size() + 40);
  line.append("{\"id\":\"");
  append_json_escaped(line, id);
  line.append("\",\"ok\":false,\"error\":\"");
  append_json_escaped(line, message);
  line.append("\"}\n");
  write_line(out, line);
}

ToolCallRequest parse_request(std::string line) {
  ToolCallRequest request;
  request.id = extract_json_string(line, "id");
  request.type = extract_json_string(line, "type");
  request.model_path = extract_json_string(line, "modelPath");
  request.backend = extract_json_string(line, "backend");
  request.input = extract_json_string(line, "input");
  request.raw_line = std::move(line);
  return request;
}

void answer_request(SidecarRunner& runner, const ToolCallRequest& request, std::ostream& out) {
  if (request.id.empty()) return write_error(out, "", "missing id");
  if (request.type == "status") return write_success(out, request.id, runner.Mode(), 0);
  if (request.type != "tool_call") return write_error(out, request.id, "unsupported request type");
  if (request.input.empty()) return write_error(out, request.id, "missing input");
  try {
    const ToolCallResult result = runner.GenerateToolCall(request);
    write_success(out, request.id, result.output, result.inference_ms);
  } catch (const std::exception& e) {
    write_error(out, request.id, e.what());
  }
}

void run_request_loop(SidecarRunner& runner, std::istream& in, std::ostream& out) {
  std::string line;
  while (std::getline(in, line)) {
    ToolCallRequest request = parse_request(std::move(line));
    answer_request(runner, request, out);
    line = std::move(request.raw_line);  // keeps the buffer for the next read
  }
}

}  // namespace sidecar
