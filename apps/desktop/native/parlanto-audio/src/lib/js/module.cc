#include "js/module.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/module_error.h"
#include "base/napi_helpers.h"
#include "capture/capture.h"
#include "host/audio_host.h"
#include "js/capture_internals.h"
#include "js/device_list.h"

namespace parlanto_audio {

namespace {

// One per class. Every instance is tagged with its class's tag, so a method of
// one class refuses an instance of the other although both wrap a Capture.
struct ClassInfo {
  const char* name;
  CaptureKind kind;
  napi_type_tag tag;
};

constexpr ClassInfo kMicrophone{
    "ParlantoMicrophone", CaptureKind::kMicrophone, {0x7061726c616e746fULL, 0x6d6963726f70686fULL}};
constexpr ClassInfo kSystemLoopback{"ParlantoSystemLoopback",
                                    CaptureKind::kSystemLoopback,
                                    {0x7061726c616e746fULL, 0x6c6f6f706261636bULL}};

// What one JavaScript environment keeps while it has the module loaded.
struct EnvState {
  napi_env env = nullptr;
  std::shared_ptr<Host> host;  // keeps the backend's connection for this environment
  std::vector<napi_ref> classes;
};

void discard_env_state(void* data) {
  std::unique_ptr<EnvState> state(static_cast<EnvState*>(data));
  for (napi_ref ref : state->classes) napi_delete_reference(state->env, ref);
}

const ClassInfo& class_of(napi_env env, napi_callback_info info) {
  void* data = nullptr;
  napi_get_cb_info(env, info, nullptr, nullptr, nullptr, &data);
  return *static_cast<const ClassInfo*>(data);
}

const char* type_name(napi_valuetype type) {
  switch (type) {
    case napi_undefined:
      return "undefined";
    case napi_null:
      return "null";
    case napi_boolean:
      return "boolean";
    case napi_number:
      return "number";
    case napi_string:
      return "string";
    case napi_symbol:
      return "symbol";
    case napi_object:
      return "object";
    case napi_function:
      return "function";
    case napi_external:
      return "external";
    case napi_bigint:
      return "bigint";
  }
  return "unknown";
}

// How a rejected device id reads in the error: the value itself where
// printing it runs no JavaScript, else just its kind.
std::string describe_value(napi_env env, napi_value value, napi_valuetype type) {
  if (type == napi_number || type == napi_boolean || type == napi_bigint) {
    napi_value text = nullptr;
    std::size_t length = 0;
    if (napi_coerce_to_string(env, value, &text) == napi_ok &&
        napi_get_value_string_utf8(env, text, nullptr, 0, &length) == napi_ok) {
      std::string out(length, '\0');
      if (napi_get_value_string_utf8(env, text, out.data(), length + 1, &length) == napi_ok) {
        return type == napi_bigint ? out + "n" : out;
      }
    }
  }
  return std::string("a value");
}

ModuleResult<std::optional<std::string>> device_id_argument(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  if (napi_status status = napi_typeof(env, value, &type); status != napi_ok) {
    return unexpected(ModuleError{status, "Failed to read the device id"});
  }
  if (type == napi_undefined || type == napi_null) return std::optional<std::string>{};
  std::size_t length = 0;
  napi_status status = napi_get_value_string_utf8(env, value, nullptr, 0, &length);
  std::string text(length, '\0');
  if (status == napi_ok) {
    status = napi_get_value_string_utf8(env, value, text.data(), length + 1, &length);
  }
  if (status != napi_ok) {
    return unexpected(
        ModuleError{status, "The device id must be a string, null or undefined, not " +
                                describe_value(env, value, type) + " of type " + type_name(type)});
  }
  return std::optional<std::string>(std::move(text));
}

void finalize_capture(napi_env, void* data, void*) {
  std::unique_ptr<Capture> capture(static_cast<Capture*>(data));
  capture->finalize();
}

napi_value construct(napi_env env, napi_callback_info info) {
  const ClassInfo& cls = class_of(env, info);
  napi_value new_target = nullptr;
  if (napi_get_new_target(env, info, &new_target) != napi_ok || new_target == nullptr) {
    napi_throw_type_error(
        env, nullptr,
        (std::string("Class constructor ") + cls.name + " cannot be invoked without 'new'")
            .c_str());
    return nullptr;
  }

  std::size_t argc = 1;
  napi_value argv[1] = {nullptr};
  napi_value self = nullptr;
  napi_get_cb_info(env, info, &argc, argv, &self, nullptr);
  ModuleResult<std::optional<std::string>> device_id = device_id_argument(env, argv[0]);
  if (!device_id) {
    throw_error(env, device_id.error());
    return nullptr;
  }

  auto capture = std::make_unique<Capture>(cls.kind, std::move(*device_id));
  if (napi_status status = napi_wrap(env, self, capture.get(), finalize_capture, nullptr, nullptr);
      status != napi_ok) {
    throw_error(env, {status, "Failed to initialize class `constructor`"});
    return nullptr;
  }
  Capture* wrapped = capture.release();  // the finalizer owns it now
  if (napi_status status = napi_type_tag_object(env, self, &cls.tag); status != napi_ok) {
    void* removed = nullptr;
    if (napi_remove_wrap(env, self, &removed) == napi_ok) delete wrapped;
    throw_error(env, {status, "Failed to initialize class `constructor`"});
    return nullptr;
  }
  return self;
}

// The receiver's capture object, or null with the wrong-receiver error thrown.
Capture* unwrap(napi_env env, napi_value receiver, const ClassInfo& cls) {
  napi_valuetype type = napi_undefined;
  napi_status status = napi_typeof(env, receiver, &type);
  if (status == napi_ok && type != napi_object && type != napi_function) {
    status = napi_object_expected;  // unwrap would try to box a primitive
  }
  bool tagged = false;
  if (status == napi_ok) status = napi_check_object_type_tag(env, receiver, &cls.tag, &tagged);
  void* native = nullptr;
  if (status == napi_ok) status = napi_unwrap(env, receiver, &native);
  if (status == napi_ok && (!tagged || native == nullptr)) status = napi_invalid_arg;
  if (status != napi_ok) {
    throw_error(env, {status, std::string("Failed to unwrap exclusive reference of `") + cls.name +
                                  "` type from napi value"});
    return nullptr;
  }
  return static_cast<Capture*>(native);
}

struct Call {
  const ClassInfo* cls = nullptr;
  napi_value self = nullptr;
  napi_value argv[2] = {nullptr, nullptr};
};

Call get_call(napi_env env, napi_callback_info info, std::size_t argc) {
  Call call;
  void* data = nullptr;
  napi_get_cb_info(env, info, &argc, call.argv, &call.self, &data);
  call.cls = static_cast<const ClassInfo*>(data);
  return call;
}

napi_value start(napi_env env, napi_callback_info info) {
  Call call = get_call(env, info, 2);
  Capture* capture = unwrap(env, call.self, *call.cls);
  if (capture == nullptr) return nullptr;
  napi_value on_speech_ended = is_nullish(env, call.argv[1]) ? nullptr : call.argv[1];
  if (ModuleResult<Ok> started = capture->start(env, call.argv[0], on_speech_ended); !started) {
    throw_error(env, started.error());
    return nullptr;
  }
  return undefined(env);
}

napi_value stop(napi_env env, napi_callback_info info) {
  Call call = get_call(env, info, 0);
  Capture* capture = unwrap(env, call.self, *call.cls);
  if (capture == nullptr) return nullptr;
  capture->stop();
  return undefined(env);
}

napi_value uint32_value(napi_env env, std::uint32_t number) {
  napi_value value = nullptr;
  if (napi_status status = napi_create_uint32(env, number, &value); status != napi_ok) {
    throw_error(env, {status, "Failed to create a number"});
    return nullptr;
  }
  return value;
}

napi_value channels(napi_env env, napi_callback_info info) {
  Call call = get_call(env, info, 0);
  Capture* capture = unwrap(env, call.self, *call.cls);
  return capture == nullptr ? nullptr : uint32_value(env, capture->channel_count());
}

napi_value sample_rate(napi_env env, napi_callback_info info) {
  Call call = get_call(env, info, 0);
  Capture* capture = unwrap(env, call.self, *call.cls);
  return capture == nullptr ? nullptr : uint32_value(env, capture->sample_rate());
}

// The registration tables: module functions, then each class's members as
// registered (the constructor among them), in this order.
struct ExportEntry {
  const char* name;
  napi_callback callback;
};

constexpr ExportEntry kExports[] = {
    {"listInputDevices", list_input_devices},
    {"listOutputDevices", list_output_devices},
};

enum class MemberKind : std::uint8_t { kConstructor, kMethod, kGetter };

struct MemberEntry {
  const char* name;
  MemberKind kind;
  napi_callback callback;
  napi_property_attributes attributes;
};

constexpr auto kMemberAttributes =
    static_cast<napi_property_attributes>(napi_writable | napi_enumerable | napi_configurable);

constexpr MemberEntry kCaptureMembers[] = {
    {"channels", MemberKind::kGetter, channels, kMemberAttributes},
    {"constructor", MemberKind::kConstructor, construct, kMemberAttributes},
    {"sampleRate", MemberKind::kGetter, sample_rate, kMemberAttributes},
    {"start", MemberKind::kMethod, start, kMemberAttributes},
    {"stop", MemberKind::kMethod, stop, kMemberAttributes},
};

constexpr const ClassInfo* kClasses[] = {&kMicrophone, &kSystemLoopback};

// The members go onto the prototype after the class is made, not through
// napi_define_class: there the engine would check method receivers itself and
// throw its own error, and list "constructor" last. This way every receiver
// reaches unwrap() and the prototype lists "constructor" first.
napi_status define_class(napi_env env, const ClassInfo& cls, napi_value* result) {
  napi_callback constructor = nullptr;
  std::vector<napi_property_descriptor> properties;
  void* data = const_cast<ClassInfo*>(&cls);  // read only
  for (const MemberEntry& member : kCaptureMembers) {
    if (member.kind == MemberKind::kConstructor) {
      constructor = member.callback;
      continue;
    }
    napi_property_descriptor property{};
    property.utf8name = member.name;
    if (member.kind == MemberKind::kGetter) {
      property.getter = member.callback;
    } else {
      property.method = member.callback;
    }
    property.attributes = member.attributes;
    property.data = data;
    properties.push_back(property);
  }
  napi_value prototype = nullptr;
  napi_status status =
      napi_define_class(env, cls.name, NAPI_AUTO_LENGTH, constructor, data, 0, nullptr, result);
  if (status == napi_ok) status = napi_get_named_property(env, *result, "prototype", &prototype);
  if (status == napi_ok) {
    status = napi_define_properties(env, prototype, properties.size(), properties.data());
  }
  return status;
}

}  // namespace

napi_value init_module(napi_env env, napi_value exports) {
  auto state = std::make_unique<EnvState>();
  state->env = env;
  state->host = default_host();

  // A failure is reported once the remaining entries have been tried; the
  // first one wins.
  std::optional<ModuleError> failure;
  const auto note = [&](napi_status status, const std::string& message) {
    if (status != napi_ok && !failure) failure = ModuleError{status, message};
  };

  for (const ExportEntry& entry : kExports) {
    napi_value function = nullptr;
    napi_status status =
        napi_create_function(env, entry.name, NAPI_AUTO_LENGTH, entry.callback, nullptr, &function);
    if (status == napi_ok) status = napi_set_named_property(env, exports, entry.name, function);
    note(status, std::string("Failed to register function `") + entry.name + "`");
  }

  for (const ClassInfo* cls : kClasses) {
    napi_value constructor = nullptr;
    napi_status status = define_class(env, *cls, &constructor);
    if (status == napi_ok) {
      napi_ref ref = nullptr;
      status = napi_create_reference(env, constructor, 1, &ref);
      if (status == napi_ok) state->classes.push_back(ref);
    }
    if (status == napi_ok) status = napi_set_named_property(env, exports, cls->name, constructor);
    note(status, std::string("Failed to register class `") + cls->name + "`");
  }

  note(define_capture_internals(env, exports), "Failed to register the capture layer's internals");

  EnvState* raw = state.get();
  if (napi_status status = napi_add_env_cleanup_hook(env, discard_env_state, raw);
      status == napi_ok) {
    state.release();
  } else {
    note(status, "Failed to register the environment clean-up hook");
  }

  if (failure) throw_error(env, *failure);
  return exports;
}

}  // namespace parlanto_audio
