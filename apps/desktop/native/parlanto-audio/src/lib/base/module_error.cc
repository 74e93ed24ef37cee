#include "base/module_error.h"

#include <array>
#include <string_view>

namespace parlanto_audio {

namespace {

// Indexed by napi_status; the engine's numbering from napi_ok to
// napi_no_external_buffers_allowed.
constexpr std::array<const char*, 23> kStatusNames = {
    "Ok",
    "InvalidArg",
    "ObjectExpected",
    "StringExpected",
    "NameExpected",
    "FunctionExpected",
    "NumberExpected",
    "BooleanExpected",
    "ArrayExpected",
    "GenericFailure",
    "PendingException",
    "Cancelled",
    "EscapeCalledTwice",
    "HandleScopeMismatch",
    "CallbackScopeMismatch",
    "QueueFull",
    "Closing",
    "BigintExpected",
    "DateExpected",
    "ArrayBufferExpected",
    "DetachableArraybufferExpected",
    "WouldDeadlock",
    "NoExternalBuffersAllowed",
};

}  // namespace

const char* status_name(napi_status status) {
  const auto index = static_cast<std::size_t>(status);
  return index < kStatusNames.size() ? kStatusNames[index] : "Unknown";
}

std::string error_text(const ModuleError& error) {
  std::string text = status_name(error.status);
  if (!error.message.empty()) {
    text += ", ";
    text += error.message;
  }
  return text;
}

napi_value make_error(napi_env env, napi_status status, std::string_view message,
                      std::string_view cause) {
  const std::string_view code = status_name(status);
  napi_value code_value = nullptr;
  napi_value message_value = nullptr;
  napi_value error = nullptr;
  if (napi_create_string_utf8(env, code.data(), code.size(), &code_value) != napi_ok ||
      napi_create_string_utf8(env, message.data(), message.size(), &message_value) != napi_ok ||
      napi_create_error(env, code_value, message_value, &error) != napi_ok) {
    return nullptr;
  }
  if (!cause.empty()) {
    napi_value cause_message = nullptr;
    napi_value cause_error = nullptr;
    // The reason is extra: an error without it still says what failed.
    if (napi_create_string_utf8(env, cause.data(), cause.size(), &cause_message) == napi_ok &&
        napi_create_error(env, nullptr, cause_message, &cause_error) == napi_ok) {
      napi_set_named_property(env, error, "cause", cause_error);
    }
  }
  return error;
}

void throw_error(napi_env env, const ModuleError& error) {
  bool pending = false;
  if (napi_is_exception_pending(env, &pending) == napi_ok && pending) {
    napi_value exception = nullptr;
    if (napi_get_and_clear_last_exception(env, &exception) == napi_ok) {
      napi_throw(env, exception);
    }
    return;
  }
  if (napi_value value = make_error(env, error.status, error.message, error.cause)) {
    napi_throw(env, value);
    return;
  }
  // Not even an Error object could be made; the engine's own helper is the
  // last resort and carries the same code and message.
  napi_throw_error(env, status_name(error.status), error.message.c_str());
}

}  // namespace parlanto_audio
