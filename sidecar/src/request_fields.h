#ifndef PARLANTO_SIDECAR_REQUEST_FIELDS_H_
#define PARLANTO_SIDECAR_REQUEST_FIELDS_H_

#include <optional>
#include <string>
#include <string_view>

#include "sidecar_runner.h"

// Picks the five string fields out of a request line, which is never parsed
// as JSON.
namespace sidecar {

// The raw text between the quotes of the leftmost `"key" : "value"` pair
// whose value is a string, or nothing. A value without a closing quote ends
// at the last escaped quote of the line, so its last byte is that backslash.
// Linear in the line's length.
std::optional<std::string_view> find_json_string(std::string_view line, std::string_view key);

// The same, but only a value closed by its own quote: the answer for the
// start of a line is then the answer for the whole line, however it goes on.
std::optional<std::string_view> find_closed_json_string(std::string_view line_start,
                                                        std::string_view key);

// The unescaped value of `key` in `line`, or an empty string.
std::string extract_json_string(std::string_view line, std::string_view key);

ToolCallRequest parse_request(std::string line);

// Fills the other fields of `request` from its raw_line; their strings keep
// their buffers. When memory runs out part way, the fields filled so far
// stay: `id` comes first.
void parse_raw_line(ToolCallRequest& request);

// The same for a line held by the caller: `request` keeps views of it and of
// an input that needs no unescaping, as ToolCallRequest describes, and its
// raw_line is left empty.
void parse_line(std::string_view line, ToolCallRequest& request);

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_REQUEST_FIELDS_H_
