#ifndef PARLANTO_SIDECAR_REQUEST_LOOP_H_
#define PARLANTO_SIDECAR_REQUEST_LOOP_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "json_text.h"
#include "request_fields.h"
#include "sidecar_runner.h"

// The sidecar's line protocol: one request line in, exactly one JSON response
// line out, in request order. No response waits on input: everything
// answered is written before the loop reads again.
namespace sidecar {

// Appends exactly one response line for `request` to `line`. A line that
// cannot be answered for lack of memory is answered "out of memory".
void append_response(SidecarRunner& runner, const ToolCallRequest& request, std::string& line);

// How the descriptor loop ended; the program exits with it.
enum class LoopEnd : int {
  kInputEnded = 0,   // every request line got its response
  kWriteFailed = 2,  // a response could not be written; nothing was written after it
  kReadFailed = 3,   // reading the input failed before its end
};

// Answers every line read from `in_fd` on `out_fd` until the input ends or a
// read or write fails, as the program runs it. The responses to the lines of
// one read go out together in as few writes as they fit. A line that cannot
// be held in memory is skipped to its end and answered "out of memory";
// memory taken for a long line is given back after it.
LoopEnd run_request_loop(SidecarRunner& runner, int in_fd, int out_fd);

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_REQUEST_LOOP_H_
