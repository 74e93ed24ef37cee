#include "request_loop.h"

#include <exception>
#include <new>
#include <optional>

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

// Appends the one response to `line`, which `request` refers to only while it
// is answered.
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

// One run of the descriptor loop: the input buffer, the request being
// answered and the responses not yet written, with what the loop remembers
// between reads about long and lost lines.
class DescriptorLoop {
 public:
  DescriptorLoop(SidecarRunner& runner, int in_fd, int out_fd)
      : runner_(runner), in_fd_(in_fd), out_fd_(out_fd), lines_(kReadSize) {
    pending_.reserve(kPendingLimit + 4096);
  }

  LoopEnd run() {
    for (;;) {
      if (!flush()) return LoopEnd::kWriteFailed;
      if (holding_ && !readable_now(in_fd_)) {
        holding_ = false;
        release_if_large(pending_);
        release_long_line(request_);
      }
      // An unfinished line keeps the buffer it needs.
      if (!holding_ && lines_.capacity() > kKeptCapacity) lines_.shrink();
      const LineBuffer::Fill filled = lines_.fill(in_fd_);
      if (filled == LineBuffer::Fill::kFailed) return LoopEnd::kReadFailed;
      if (filled == LineBuffer::Fill::kEnded) break;
      if (!input_widened_ && lines_.capacity() > kReadSize) {
        widen_pipe(in_fd_);
        input_widened_ = true;
      }
      if (filled == LineBuffer::Fill::kNoMemory) {
        lose_rest();
        continue;
      }
      while (const std::optional<std::string_view> line = lines_.next_line()) {
        finish_line(*line);
        if (pending_.size() >= kPendingLimit && !flush()) return LoopEnd::kWriteFailed;
      }
      if (skipping_) lines_.drop_rest();
    }
    // Like getline, a last line without a line break is a request too.
    if (skipping_ || !lines_.rest().empty()) finish_line(lines_.rest());
    return flush() ? LoopEnd::kInputEnded : LoopEnd::kWriteFailed;
  }

 private:
  // Drops the unfinished line, which does not fit, keeping its id if the
  // part held already closed it.
  void lose_rest() {
    lost_id_.clear();
    try {
      if (const auto id = find_closed_json_string(lines_.rest(), "id"))
        assign_unescaped(lost_id_, *id);
    } catch (const std::bad_alloc&) {
      lost_id_.clear();
    }
    lines_.drop_rest();
    lines_.shrink();
    skipping_ = true;
  }

  void finish_line(std::string_view line) {
    if (skipping_) {
      append_out_of_memory(pending_, lost_id_);
      std::string().swap(lost_id_);
      give_back_heap();
      skipping_ = false;
      return;
    }
    answer_line(runner_, line, request_, pending_);
    holding_ = pending_.capacity() > kKeptCapacity || line.size() > kKeptCapacity;
    if (!holding_) release_long_line(request_);
  }

  bool flush() {
    if (pending_.empty()) return true;
    if (!output_widened_ && pending_.size() > kReadSize) {
      widen_pipe(out_fd_);
      output_widened_ = true;
    }
    if (!write_all(out_fd_, pending_)) return false;
    pending_.clear();
    if (!holding_) release_if_large(pending_);
    return true;
  }

  SidecarRunner& runner_;
  const int in_fd_;
  const int out_fd_;
  LineBuffer lines_;
  ToolCallRequest request_;
  std::string pending_;    // responses not yet written, in request order
  bool skipping_ = false;  // the unfinished line did not fit in memory
  std::string lost_id_;    // its id, when the part that fitted held one
  // The buffers of a long line are kept while more input is ready at once,
  // so that a run of long lines reuses them, and given back after the first
  // short line or before the loop waits for input.
  bool holding_ = false;
  // Each pipe is widened once, when the first long line or response needs it.
  bool input_widened_ = false;
  bool output_widened_ = false;
};

}  // namespace

void append_response(SidecarRunner& runner, const ToolCallRequest& request, std::string& line) {
  respond(runner, request, line);
}

LoopEnd run_request_loop(SidecarRunner& runner, int in_fd, int out_fd) {
#if defined(__GLIBC__)
  // A fixed threshold keeps every block past the kept size in its own
  // mapping, which realloc grows without copying and free gives back at
  // once; a moving one would put the next long line's blocks on the heap.
  ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(kKeptCapacity));
#endif
  return DescriptorLoop(runner, in_fd, out_fd).run();
}

}  // namespace sidecar
