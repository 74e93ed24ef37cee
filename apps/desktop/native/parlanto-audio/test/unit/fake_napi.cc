#include "fake_napi.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

namespace fake_napi {

namespace {

struct ExternalBuffer {
  napi_finalize finalize;
  void* data;
  void* hint;
};

struct Engine {
  std::recursive_mutex mutex;
  std::vector<std::unique_ptr<Value>> values;
  std::vector<std::unique_ptr<Tsfn>> tsfns;
  std::vector<Queued> queued;
  std::vector<JsCall> calls;
  std::vector<napi_value> fatal;
  std::vector<ExternalBuffer> externals;
  napi_value pending = nullptr;
  Overrides overrides;
};

Engine& engine() {
  static Engine instance;
  return instance;
}

int env_tag;

// A new value of `kind`; the caller fills in the rest through the reference.
Value& make(Value::Kind kind, napi_value* handle) {
  auto& e = engine();
  std::lock_guard lock(e.mutex);
  e.values.push_back(std::make_unique<Value>());
  e.values.back()->kind = kind;
  *handle = reinterpret_cast<napi_value>(e.values.back().get());
  return *e.values.back();
}

std::size_t index_of(napi_threadsafe_function raw) {
  auto& e = engine();
  for (std::size_t i = 0; i < e.tsfns.size(); ++i) {
    if (reinterpret_cast<napi_threadsafe_function>(e.tsfns[i].get()) == raw) return i;
  }
  std::abort();
}

// Called with the engine's mutex held and `closing` set; returns with it held.
void finalize(Tsfn& t, std::unique_lock<std::recursive_mutex>& lock) {
  lock.unlock();
  t.finalize_cb(env(), t.finalize_data, t.context);
  lock.lock();
  t.finalized = true;
}

}  // namespace

napi_env env() { return reinterpret_cast<napi_env>(&env_tag); }

void reset() {
  auto& e = engine();
  std::lock_guard lock(e.mutex);
  for (const auto& external : e.externals) external.finalize(env(), external.data, external.hint);
  e.externals.clear();
  for (const auto& t : e.tsfns) {
    if (!t->finalized) std::abort();  // a test left a thread-safe function open
  }
  e.values.clear();
  e.tsfns.clear();
  e.queued.clear();
  e.calls.clear();
  e.fatal.clear();
  e.pending = nullptr;
  e.overrides = {};
}

Value& value(napi_value handle) { return *reinterpret_cast<Value*>(handle); }
napi_value function(bool throws) {
  napi_value handle = nullptr;
  make(Value::Kind::kFunction, &handle).throws = throws;
  return handle;
}

std::vector<Tsfn*> tsfns() {
  std::lock_guard lock(engine().mutex);
  std::vector<Tsfn*> out;
  for (const auto& t : engine().tsfns) out.push_back(t.get());
  return out;
}
std::vector<Queued> queued() {
  std::lock_guard lock(engine().mutex);
  return engine().queued;
}
std::vector<JsCall> calls() {
  std::lock_guard lock(engine().mutex);
  return engine().calls;
}
std::vector<napi_value> fatal_exceptions() {
  std::lock_guard lock(engine().mutex);
  return engine().fatal;
}
Overrides& overrides() { return engine().overrides; }

void drain(std::size_t index) {
  auto& e = engine();
  std::unique_lock lock(e.mutex);
  Tsfn& t = *e.tsfns[index];
  while (!t.queue.empty()) {
    void* record = t.queue.front();
    t.queue.pop_front();
    t.call_js(env(), t.function, t.context, record);
  }
  if (t.releases > 0 && !t.closing) {
    t.closing = true;
    finalize(t, lock);
  }
}

void teardown(std::size_t index) {
  auto& e = engine();
  std::unique_lock lock(e.mutex);
  Tsfn& t = *e.tsfns[index];
  t.closing = true;
  finalize(t, lock);
  while (!t.queue.empty()) {
    void* record = t.queue.front();
    t.queue.pop_front();
    t.call_js(nullptr, nullptr, t.context, record);
  }
}

}  // namespace fake_napi

using fake_napi::engine;
using fake_napi::make;
using fake_napi::Value;

extern "C" {

napi_status napi_create_string_utf8(napi_env, const char* str, size_t length, napi_value* result) {
  if (length == NAPI_AUTO_LENGTH) length = std::strlen(str);
  make(Value::Kind::kString, result).text.assign(str, length);
  return napi_ok;
}

napi_status napi_get_undefined(napi_env, napi_value* result) {
  make(Value::Kind::kUndefined, result);
  return napi_ok;
}

napi_status napi_typeof(napi_env, napi_value value, napi_valuetype* result) {
  if (value == nullptr) return napi_invalid_arg;
  switch (fake_napi::value(value).kind) {
    case Value::Kind::kUndefined:
      *result = napi_undefined;
      break;
    case Value::Kind::kNull:
      *result = napi_null;
      break;
    case Value::Kind::kString:
      *result = napi_string;
      break;
    case Value::Kind::kFunction:
      *result = napi_function;
      break;
    case Value::Kind::kBoolean:
      *result = napi_boolean;
      break;
    default:
      *result = napi_object;
      break;
  }
  return napi_ok;
}

napi_status napi_get_value_uint32(napi_env, napi_value, uint32_t*) { return napi_number_expected; }

napi_status napi_get_boolean(napi_env, bool flag, napi_value* result) {
  make(Value::Kind::kBoolean, result).text = flag ? "true" : "false";
  return napi_ok;
}

napi_status napi_get_null(napi_env, napi_value* result) {
  make(Value::Kind::kNull, result);
  return napi_ok;
}

napi_status napi_create_error(napi_env, napi_value code, napi_value msg, napi_value* result) {
  Value& error = make(Value::Kind::kError, result);
  error.text = fake_napi::value(msg).text;
  if (code != nullptr) error.code = fake_napi::value(code).text;
  return napi_ok;
}

// Only an error's `cause` is ever set by the module.
napi_status napi_set_named_property(napi_env, napi_value object, const char* name,
                                    napi_value value) {
  if (std::string_view(name) != "cause") return napi_invalid_arg;
  fake_napi::value(object).cause = fake_napi::value(value).text;
  return napi_ok;
}

napi_status napi_throw(napi_env, napi_value error) {
  engine().pending = error;
  return napi_ok;
}

napi_status napi_throw_error(napi_env env, const char* code, const char* msg) {
  napi_value error = nullptr;
  napi_value code_value = nullptr;
  napi_value message = nullptr;
  napi_create_string_utf8(env, code, NAPI_AUTO_LENGTH, &code_value);
  napi_create_string_utf8(env, msg, NAPI_AUTO_LENGTH, &message);
  napi_create_error(env, code_value, message, &error);
  return napi_throw(env, error);
}

napi_status napi_is_exception_pending(napi_env, bool* result) {
  *result = engine().pending != nullptr;
  return napi_ok;
}

napi_status napi_get_and_clear_last_exception(napi_env env, napi_value* result) {
  if (engine().pending == nullptr) return napi_get_undefined(env, result);
  *result = engine().pending;
  engine().pending = nullptr;
  return napi_ok;
}

napi_status napi_fatal_exception(napi_env, napi_value err) {
  engine().fatal.push_back(err);
  return napi_ok;
}

napi_status napi_create_buffer(napi_env, size_t length, void** data, napi_value* result) {
  Value& buffer = make(Value::Kind::kBuffer, result);
  buffer.bytes.resize(length);
  if (data != nullptr) *data = buffer.bytes.data();
  return napi_ok;
}

napi_status napi_create_buffer_copy(napi_env, size_t length, const void* data, void** result_data,
                                    napi_value* result) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  Value& buffer = make(Value::Kind::kBuffer, result);
  buffer.bytes.assign(bytes, bytes + length);
  if (result_data != nullptr) *result_data = buffer.bytes.data();
  return napi_ok;
}

napi_status napi_create_external_buffer(napi_env, size_t length, void* data,
                                        node_api_basic_finalize finalize_cb, void* finalize_hint,
                                        napi_value* result) {
  if (engine().overrides.create_external_buffer != napi_ok) {
    return engine().overrides.create_external_buffer;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  Value& buffer = make(Value::Kind::kBuffer, result);
  buffer.bytes.assign(bytes, bytes + length);
  buffer.external = true;
  std::lock_guard lock(engine().mutex);
  engine().externals.push_back({finalize_cb, data, finalize_hint});
  return napi_ok;
}

napi_status napi_call_function(napi_env, napi_value recv, napi_value func, size_t argc,
                               const napi_value* argv, napi_value* result) {
  auto& e = engine();
  e.calls.push_back({func, recv, {argv, argv + argc}});
  if (result != nullptr) *result = nullptr;
  if (e.overrides.call_function != napi_ok) return e.overrides.call_function;
  if (fake_napi::value(func).throws) {
    make(Value::Kind::kError, &e.pending).text = "thrown by the callback";
    return napi_pending_exception;
  }
  return napi_ok;
}

napi_status napi_create_threadsafe_function(napi_env, napi_value func, napi_value, napi_value,
                                            size_t max_queue_size, size_t initial_thread_count,
                                            void* thread_finalize_data,
                                            napi_finalize thread_finalize_cb, void* context,
                                            napi_threadsafe_function_call_js call_js_cb,
                                            napi_threadsafe_function* result) {
  auto& e = engine();
  if (e.overrides.create_threadsafe_function != napi_ok) {
    return e.overrides.create_threadsafe_function;
  }
  std::lock_guard lock(e.mutex);
  e.tsfns.push_back(std::make_unique<fake_napi::Tsfn>(fake_napi::Tsfn{func,
                                                                      max_queue_size,
                                                                      initial_thread_count,
                                                                      thread_finalize_data,
                                                                      thread_finalize_cb,
                                                                      context,
                                                                      call_js_cb,
                                                                      {}}));
  *result = reinterpret_cast<napi_threadsafe_function>(e.tsfns.back().get());
  return napi_ok;
}

napi_status napi_call_threadsafe_function(napi_threadsafe_function func, void* data,
                                          napi_threadsafe_function_call_mode) {
  auto& e = engine();
  std::lock_guard lock(e.mutex);
  const std::size_t index = fake_napi::index_of(func);
  fake_napi::Tsfn& t = *e.tsfns[index];
  if (t.finalized) std::abort();  // the module must never queue into a finalized function
  if (t.releases > 0 || t.closing) return napi_closing;
  t.queue.push_back(data);
  e.queued.push_back({index, data});
  return napi_ok;
}

napi_status napi_release_threadsafe_function(napi_threadsafe_function func,
                                             napi_threadsafe_function_release_mode) {
  auto& e = engine();
  std::lock_guard lock(e.mutex);
  fake_napi::Tsfn& t = *e.tsfns[fake_napi::index_of(func)];
  if (t.finalized) std::abort();  // released after finalization: a use after free in a real engine
  ++t.releases;  // finalized by the next drain, as an engine does on its own thread
  return napi_ok;
}

// The capture layer's delivery handle builds values these tests never look
// at; the fake engine refuses them.
napi_status napi_create_double(napi_env, double, napi_value*) { return napi_generic_failure; }
napi_status napi_create_array_with_length(napi_env, size_t, napi_value*) {
  return napi_generic_failure;
}
napi_status napi_set_element(napi_env, napi_value, uint32_t, napi_value) {
  return napi_generic_failure;
}
napi_status napi_create_object(napi_env, napi_value*) { return napi_generic_failure; }
napi_status napi_create_reference(napi_env, napi_value, uint32_t, napi_ref*) {
  return napi_generic_failure;
}
napi_status napi_delete_reference(napi_env, napi_ref) { return napi_generic_failure; }
napi_status napi_get_reference_value(napi_env, napi_ref, napi_value*) {
  return napi_generic_failure;
}

}  // extern "C"
