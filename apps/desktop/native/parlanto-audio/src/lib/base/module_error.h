#pragma once

#include <node_api.h>

#include <string>

#include "base/error_kind.h"
#include "base/expected.h"

namespace parlanto_audio {

// An error of the module: a Node-API status and a message. It reaches
// JavaScript as an Error whose `message` is the text and whose `code` is the
// status name. Errors the module makes itself carry napi_generic_failure.
// `cause`, when not empty, is the audio system's reason behind a fixed
// message; it reaches JavaScript as the error's `cause`, an Error of its own.
// `kind` is the audio system's, carried from the HostError behind the failure.
struct ModuleError {
  napi_status status = napi_generic_failure;
  std::string message;
  std::string cause = {};
  ErrorKind kind = ErrorKind::kOther;
};

template <typename T>
using ModuleResult = Expected<T, ModuleError>;

inline Unexpected<ModuleError> module_error(std::string message, std::string cause = {},
                                            ErrorKind kind = ErrorKind::kOther) {
  return {ModuleError{napi_generic_failure, std::move(message), std::move(cause), kind}};
}

// "Ok", "InvalidArg", ..., "NoExternalBuffersAllowed"; "Unknown" past the table.
const char* status_name(napi_status status);

// "GenericFailure, message", or the status name alone for an empty message.
std::string error_text(const ModuleError& error);

// An Error with `message` and `code` (napi_create_error), and with `cause`
// when one is given, or null if even that failed.
napi_value make_error(napi_env env, napi_status status, std::string_view message,
                      std::string_view cause = {});

// Throws the error into JavaScript. A JavaScript exception that is already
// pending is taken and thrown again instead, so the first failure wins.
void throw_error(napi_env env, const ModuleError& error);

}  // namespace parlanto_audio
