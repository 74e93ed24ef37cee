// libFuzzer target over the per-line handler: any bytes, split into lines as
// the loop splits them, must give exactly one complete response line each,
// and on short lines the field scanner must agree with the regular
// expression it replaces.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>
#include <string_view>

#include "request_loop.h"
#include "sidecar_runner.h"

namespace {

constexpr std::string_view kKeys[] = {"id", "type", "modelPath", "backend", "input"};

void check_against_regex(std::string_view line) {
  static const auto patterns = [] {
    std::vector<std::regex> compiled;
    for (std::string_view key : kKeys) {
      compiled.emplace_back("\"" + std::string(key) + R"re("\s*:\s*"((?:\\.|[^"])*)")re");
    }
    return compiled;
  }();
  const std::string text(line);
  const sidecar::ToolCallRequest request = sidecar::parse_request(text);
  const std::string* fields[] = {&request.id, &request.type, &request.model_path, &request.backend,
                                 &request.input};
  // The loop's own parse keeps the line and a plain input in place.
  sidecar::ToolCallRequest in_place;
  sidecar::parse_line(text, in_place);
  if (in_place.input_text() != request.input || in_place.id != request.id ||
      in_place.line() != text) {
    __builtin_trap();
  }
  for (std::size_t k = 0; k < std::size(kKeys); ++k) {
    std::smatch match;
    const bool matched = std::regex_search(text, match, patterns[k]);
    const auto found = sidecar::find_json_string(line, kKeys[k]);
    if (matched != found.has_value()) __builtin_trap();
    if (matched && (found->data() != line.data() + match.position(1) ||
                    found->size() != static_cast<std::size_t>(match.length(1)))) {
      __builtin_trap();
    }
    if (*fields[k] != (matched ? sidecar::unescape_json_string(*found) : "")) __builtin_trap();
  }
}

void check_response(const std::string& response) {
  if (response.size() < 2 || response.back() != '\n' || response.rfind("{\"id\":\"", 0) != 0 ||
      response[response.size() - 2] != '}') {
    __builtin_trap();
  }
  for (std::size_t i = 0; i + 1 < response.size(); ++i) {
    if (static_cast<unsigned char>(response[i]) < 0x20) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto runner = sidecar::CreateSidecarRunner();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (std::size_t start = 0; start < input.size();) {
    std::size_t newline = input.find('\n', start);
    if (newline == std::string_view::npos) newline = input.size();
    const std::string_view line = input.substr(start, newline - start);
    // The expression backtracks exponentially over runs of backslashes in a
    // value without a closing quote; the scanner does not, so only lines the
    // expression can finish are compared.
    if (line.size() <= 64 && std::count(line.begin(), line.end(), '\\') <= 12) {
      check_against_regex(line);
    }

    std::string out;
    sidecar::append_response(*runner, sidecar::parse_request(std::string(line)), out);
    check_response(out);
    start = newline + 1;
  }
  return 0;
}
