#include "request_fields.h"

#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "json_text.h"

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
// `closed` unless the value ran to the end of the line.
struct RawValue {
  std::string_view text;
  bool plain = false;
  bool closed = true;
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
  return RawValue{std::string_view(value, to_size(last_quote - value)), false, false};
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

std::optional<RawValue> find_raw_value(std::string_view line, std::string_view key) {
  const char* const end = line.data() + line.size();
  const char* value = nullptr;
  for_each_quote(line, [&](const char* quote) {
    if (key.empty() || (quote + 1 < end && quote[1] == key[0])) {
      value = value_after_key(quote, end, key);
    }
    return value == nullptr;
  });
  if (value == nullptr) return std::nullopt;
  return value_from(value, line);
}

}  // namespace

std::optional<std::string_view> find_json_string(std::string_view line, std::string_view key) {
  const std::optional<RawValue> raw = find_raw_value(line, key);
  if (!raw) return std::nullopt;
  return raw->text;
}

std::optional<std::string_view> find_closed_json_string(std::string_view line_start,
                                                        std::string_view key) {
  const std::optional<RawValue> raw = find_raw_value(line_start, key);
  if (!raw || !raw->closed) return std::nullopt;
  return raw->text;
}

std::string extract_json_string(std::string_view line, std::string_view key) {
  const std::optional<std::string_view> raw = find_json_string(line, key);
  return raw ? unescape_json_string(*raw) : std::string();
}

ToolCallRequest parse_request(std::string line) {
  ToolCallRequest request;
  request.raw_line = std::move(line);
  parse_raw_line(request);
  return request;
}

namespace {

// Fills the five fields from `line`; with `in_place`, an input that needs no
// unescaping is left where it is, as a view.
void parse_fields(std::string_view line, ToolCallRequest& request, bool in_place) {
  // One pass over the line's quotes finds every key's leftmost value, just
  // as five separate searches would.
  std::array<std::optional<RawValue>, kFields.size()> values{};
  unsigned pending = (1u << kFields.size()) - 1;
  const char* const end = line.data() + line.size();
  const auto quote_from = [end](const char* s) {
    return static_cast<const char*>(std::memchr(s, '"', to_size(end - s)));
  };
  // The quote after `known_from` is `known_next`: a value without escapes
  // holds no quote, so the scan goes on at its closing one.
  const char* known_from = nullptr;
  const char* known_next = nullptr;
  for (const char* quote = quote_from(line.data()); quote != nullptr && pending != 0;) {
    const char* next = nullptr;
    if (quote + 1 < end) {
      for (unsigned candidates = kFieldsByFirstByte[static_cast<unsigned char>(quote[1])] & pending;
           candidates != 0; candidates &= candidates - 1) {
        const auto k = static_cast<std::size_t>(std::countr_zero(candidates));
        if (const char* value = value_after_key(quote, end, kFields[k].key)) {
          pending &= ~(1u << k);
          values[k] = value_from(value, line);
          // The key's closing quote, followed by a colon or a blank, starts
          // no key; the value's opening quote may.
          next = value - 1;
          if (values[k] && values[k]->plain) {
            known_from = next;
            known_next = values[k]->text.data() + values[k]->text.size();
          }
        }
      }
    }
    if (next == nullptr) next = quote == known_from ? known_next : quote_from(quote + 1);
    quote = next;
  }

  // Cleared first, so that a field left behind by running out of memory
  // is empty rather than the previous line's.
  for (const Field& field : kFields) (request.*field.member).clear();
  request.input_view.reset();
  for (std::size_t k = 0; k < kFields.size(); ++k) {
    std::string& field = request.*kFields[k].member;
    const std::optional<RawValue>& raw = values[k];
    if (raw && !raw->plain) {
      assign_unescaped(field, raw->text);
    } else if (raw && in_place && &field == &request.input) {
      request.input_view = raw->text;
    } else if (raw) {
      field.append(raw->text);
    }
  }
}

}  // namespace

void parse_raw_line(ToolCallRequest& request) {
  request.line_view.reset();
  parse_fields(request.raw_line, request, false);
}

void parse_line(std::string_view line, ToolCallRequest& request) {
  request.raw_line.clear();
  request.line_view = line;
  parse_fields(line, request, true);
}

}  // namespace sidecar
