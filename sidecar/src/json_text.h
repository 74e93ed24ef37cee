#ifndef PARLANTO_SIDECAR_JSON_TEXT_H_
#define PARLANTO_SIDECAR_JSON_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

// JSON string text both ways: undoing the escapes of a request's values and
// escaping the texts of a response line, which is built here too.
namespace sidecar {

// Decodes the JSON escapes of a raw value; \uXXXX becomes UTF-8, a lone
// surrogate U+FFFD. Any other backslash is dropped and the byte after it
// copied; a backslash that ends the value stays.
std::string unescape_json_string(std::string_view raw);

// The same into `out`, which keeps its buffer.
void assign_unescaped(std::string& out, std::string_view raw);

// Escapes everything that would stop `text` from being one line of valid
// JSON string content: quote, backslash, every byte below 0x20 and the line
// separators U+2028 and U+2029. Other bytes, invalid UTF-8 included, pass.
std::string json_escape(std::string_view text);
void append_json_escaped(std::string& out, std::string_view text);

// Each appends one complete response line, newline included, to `line`.
void append_success(std::string& line, std::string_view id, std::string_view output,
                    std::int64_t inference_ms);
// A success line in two parts, for an output escaped into it in between.
void append_success_head(std::string& line, std::string_view id);
void append_success_tail(std::string& line, std::int64_t inference_ms);
void append_error(std::string& line, std::string_view id, std::string_view message);

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_JSON_TEXT_H_
