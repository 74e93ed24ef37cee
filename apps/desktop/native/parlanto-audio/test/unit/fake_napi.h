#pragma once

// A recording stand-in for the few Node-API functions the delivery handle and
// the error helpers use, so the data path is tested without a JavaScript
// engine. Thread-safe functions keep their queue here; a test drains it
// (running the module's invoker on fake values), closes it, or tears it down
// the way an environment teardown does.

#include <node_api.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace fake_napi {

struct Value {
  enum class Kind { kUndefined, kNull, kBoolean, kString, kBuffer, kError, kFunction };
  Kind kind = Kind::kUndefined;
  std::string text;   // string contents; an error's message; "true" or "false"
  std::string code;   // an error's code
  std::string cause;  // an error's cause's message
  std::vector<std::uint8_t> bytes;
  bool external = false;  // a buffer over native memory (not a copy)
  bool throws = false;    // a function that throws when called
};

struct JsCall {
  napi_value function;
  napi_value receiver;
  std::vector<napi_value> args;
};

struct Tsfn {
  napi_value function;
  std::size_t max_queue_size;
  std::size_t thread_count;
  void* finalize_data;
  napi_finalize finalize_cb;
  void* context;
  napi_threadsafe_function_call_js call_js;
  std::deque<void*> queue;
  int releases = 0;
  bool closing = false;  // calls are refused; the finalization notice may be running
  bool finalized = false;
};

// Every accepted queue attempt, across all thread-safe functions, in order.
struct Queued {
  std::size_t tsfn;  // index into tsfns()
  void* record;
};

napi_env env();
void reset();  // collects every external buffer; thread-safe functions must be finalized
Value& value(napi_value handle);
napi_value function(bool throws = false);

std::vector<Tsfn*> tsfns();
std::vector<Queued> queued();
std::vector<JsCall> calls();
std::vector<napi_value> fatal_exceptions();

// Both run on the calling thread as the JavaScript thread; other threads may
// call and release meanwhile. As in a real engine, the finalization notice runs
// without the function's lock, and calls are refused from the moment it is
// due; a call or release after it has returned aborts (a use after free).
//
// Runs the invoker for every queued record; finalizes a released function once
// its queue is empty (a release alone never finalizes, as in a real engine).
void drain(std::size_t tsfn);
// Environment teardown of an open function: the finalization notice first,
// then the records left in the queue go to the invoker without environment.
void teardown(std::size_t tsfn);

// Statuses to answer instead of succeeding (napi_ok = no override).
struct Overrides {
  napi_status create_threadsafe_function = napi_ok;
  napi_status create_external_buffer = napi_ok;
  napi_status call_function = napi_ok;
};
Overrides& overrides();

}  // namespace fake_napi
