#include "request_loop.h"

#include <cstring>
#include <exception>
#include <istream>
#include <new>
#include <ostream>

#include "descriptor_io.h"
#include "line_buffer.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace sidecar {
namespace {

constexpr std::string_view kOutOfMemory = "out of memory";

// Buffers up to this size are kept from line to line; bigger ones, grown
// for a long line, are given back once it is answered.
constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;

// Responses waiting for the end of a read are written early past this size.
constexpr std::size_t kPendingLimit = std::size_t{1} << 18;

constexpr std::size_t kReadSize = std::size_t{1} << 16;

void write_line(std::ostream& out, const std::string& line) {
  out.write(line.data(), static_cast<std::streamsize>(line.size()));
  out.flush();
}

void release_if_large(std::string& buffer) {
  if (buffer.capacity() > kKeptCapacity) std::string().swap(buffer);
}

void give_back_heap() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

// Gives back what long lines took: their strings, and the heap pages the
// allocator would otherwise keep.
void release_long_line(ToolCallRequest& request) {
  const bool long_line = request.raw_line.capacity() > kKeptCapacity ||
                         request.input.capacity() > kKeptCapacity ||
                         request.id.capacity() > kKeptCapacity;
  for (std::string* field : {&request.id, &request.type, &request.model_path, &request.backend,
                             &request.input, &request.raw_line}) {
    release_if_large(*field);
  }
  if (long_line) give_back_heap();
}

// The error line for a request that ran out of memory, with its id if it
// fits; `line` keeps a working capacity, so the id-less line always does.
void append_out_of_memory(std::string& line, std::string_view id) {
  const std::size_t start = line.size();
  try {
    append_error(line, id, kOutOfMemory);
  } catch (const std::bad_alloc&) {
    line.resize(start);
    append_error(line, "", kOutOfMemory);
  }
}

void respond(SidecarRunner& runner, const ToolCallRequest& request, std::string& line) {
  if (request.id.empty()) return append_error(line, "", "missing id");
  if (request.type == "status") return append_success(line, request.id, runner.Mode(), 0);
  if (request.type != "tool_call")
    return append_error(line, request.id, "unsupported request type");
  if (request.input_text().empty()) return append_error(line, request.id, "missing input");
  // A success line that fails part way is taken back whole, so that the
  // error line replaces it.
  const std::size_t start = line.size();
  try {
    append_success_head(line, request.id);
    const std::int64_t inference_ms = runner.AppendEscapedToolCall(request, line);
    append_success_tail(line, inference_ms);
  } catch (const std::bad_alloc&) {
    line.resize(start);
    append_out_of_memory(line, request.id);
  } catch (const std::exception& e) {
    line.resize(start);
    append_error(line, request.id, e.what());
  }
}

// Parses `request.raw_line` and appends its one response to `line`.
void answer_line(SidecarRunner& runner, ToolCallRequest& request, std::string& line) {
  const std::size_t start = line.size();
  try {
    parse_raw_line(request);
    respond(runner, request, line);
  } catch (const std::bad_alloc&) {
    line.resize(start);
    append_out_of_memory(line, request.id);
  }
}

// The same for a line held by the caller, which `request` refers to only
// while it is answered.
void answer_line(SidecarRunner& runner, std::string_view line, ToolCallRequest& request,
                 std::string& response) {
  const std::size_t start = response.size();
  try {
    parse_line(line, request);
    respond(runner, request, response);
  } catch (const std::bad_alloc&) {
    response.resize(start);
    append_out_of_memory(response, request.id);
  }
  request.line_view.reset();
  request.input_view.reset();
}

}  // namespace

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

void append_response(SidecarRunner& runner, const ToolCallRequest& request, std::string& line) {
  respond(runner, request, line);
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
    response.clear();
    answer_line(runner, request, response);
    write_line(out, response);
  }
}

LoopEnd run_request_loop(SidecarRunner& runner, int in_fd, int out_fd) {
#if defined(__GLIBC__)
  // A fixed threshold keeps every block past the kept size in its own
  // mapping, which realloc grows without copying and free gives back at
  // once; a moving one would put the next long line's blocks on the heap.
  ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(kKeptCapacity));
#endif
  LineBuffer lines(kReadSize);
  ToolCallRequest request;
  std::string pending;  // responses not yet written, in request order
  pending.reserve(kPendingLimit + 4096);
  bool skipping = false;  // the unfinished line did not fit in memory
  std::string lost_id;    // its id, when the part that fitted held one
  // The buffers of a long line are kept while more input is ready at once,
  // so that a run of long lines reuses them, and given back after the first
  // short line or before the loop waits for input.
  bool holding = false;

  // Drops the unfinished line, which does not fit, keeping its id if the
  // part held already closed it.
  const auto lose_rest = [&] {
    lost_id.clear();
    try {
      if (const auto id = find_closed_json_string(lines.rest(), "id"))
        assign_unescaped(lost_id, *id);
    } catch (const std::bad_alloc&) {
      lost_id.clear();
    }
    lines.drop_rest();
    lines.shrink();
    skipping = true;
  };
  const auto finish_line = [&](std::string_view line) {
    if (skipping) {
      append_out_of_memory(pending, lost_id);
      std::string().swap(lost_id);
      give_back_heap();
      skipping = false;
      return;
    }
    answer_line(runner, line, request, pending);
    holding = pending.capacity() > kKeptCapacity || line.size() > kKeptCapacity;
    if (!holding) release_long_line(request);
  };
  // Each pipe is widened once, when the first long line or response needs it.
  bool input_widened = false;
  bool output_widened = false;
  const auto flush = [&] {
    if (pending.empty()) return true;
    if (!output_widened && pending.size() > kReadSize) {
      widen_pipe(out_fd);
      output_widened = true;
    }
    if (!write_all(out_fd, pending)) return false;
    pending.clear();
    if (!holding) release_if_large(pending);
    return true;
  };

  for (;;) {
    if (!flush()) return LoopEnd::kWriteFailed;
    if (holding && !readable_now(in_fd)) {
      holding = false;
      release_if_large(pending);
      release_long_line(request);
    }
    // An unfinished line keeps the buffer it needs.
    if (!holding && lines.capacity() > kKeptCapacity) lines.shrink();
    const LineBuffer::Fill filled = lines.fill(in_fd);
    if (filled == LineBuffer::Fill::kFailed) return LoopEnd::kReadFailed;
    if (filled == LineBuffer::Fill::kEnded) break;
    if (!input_widened && lines.capacity() > kReadSize) {
      widen_pipe(in_fd);
      input_widened = true;
    }
    if (filled == LineBuffer::Fill::kNoMemory) {
      lose_rest();
      continue;
    }
    while (const std::optional<std::string_view> line = lines.next_line()) {
      finish_line(*line);
      if (pending.size() >= kPendingLimit && !flush()) return LoopEnd::kWriteFailed;
    }
    if (skipping) lines.drop_rest();
  }
  // Like getline, a last line without a line break is a request too.
  if (skipping || !lines.rest().empty()) finish_line(lines.rest());
  return flush() ? LoopEnd::kInputEnded : LoopEnd::kWriteFailed;
}

}  // namespace sidecar
