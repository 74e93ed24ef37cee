#ifndef PARLANTO_SIDECAR_REQUEST_LOOP_H_
#define PARLANTO_SIDECAR_REQUEST_LOOP_H_

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "sidecar_runner.h"

// The sidecar's line protocol: one request line in, exactly one JSON response
// line out, written and flushed before the next line is read. Request lines
// are never parsed as JSON; five string fields are picked out of them.
namespace sidecar {

// The raw text between the quotes of the leftmost `"key" : "value"` pair
// whose value is a string, or nothing. A value without a closing quote ends
// at the last escaped quote of the line, so its last byte is that backslash.
// Linear in the line's length.
std::optional<std::string_view> find_json_string(std::string_view line, std::string_view key);

// Decodes the JSON escapes of a raw value; \uXXXX becomes UTF-8, a lone
// surrogate U+FFFD. Any other backslash is dropped and the byte after it
// copied; a backslash that ends the value stays.
std::string unescape_json_string(std::string_view raw);

// The unescaped value of `key` in `line`, or an empty string.
std::string extract_json_string(std::string_view line, std::string_view key);

// Escapes everything that would stop `text` from being one line of valid
// JSON string content: quote, backslash, every byte below 0x20 and the line
// separators U+2028 and U+2029. Other bytes, invalid UTF-8 included, pass.
std::string json_escape(std::string_view text);

// Each appends one complete response line, newline included, to `line`.
void append_success(std::string& line, std::string_view id, std::string_view output,
                    std::int64_t inference_ms);
void append_error(std::string& line, std::string_view id, std::string_view message);

void write_success(std::ostream& out, std::string_view id, std::string_view output,
                   std::int64_t inference_ms);
void write_error(std::ostream& out, std::string_view id, std::string_view message);

ToolCallRequest parse_request(std::string line);

// Fills the other fields of `request` from its raw_line; their strings keep
// their buffers.
void parse_raw_line(ToolCallRequest& request);

// Appends exactly one response line for `request` to `line`.
void append_response(SidecarRunner& runner, const ToolCallRequest& request, std::string& line);

// Writes exactly one response line for `request`.
void answer_request(SidecarRunner& runner, const ToolCallRequest& request, std::ostream& out);

// Answers every line of `in` until a read fails, then returns.
void run_request_loop(SidecarRunner& runner, std::istream& in, std::ostream& out);

// The same loop on file descriptors, as the program runs it: input is read
// with read(2) into one reused buffer and each response goes out in a single
// write(2). Once a write fails, later responses are dropped, as a failed
// stream drops them; the loop still reads to the end of its input.
void run_request_loop(SidecarRunner& runner, int in_fd, int out_fd);

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_REQUEST_LOOP_H_
