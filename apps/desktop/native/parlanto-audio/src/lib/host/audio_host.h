#pragma once

// The seam between the portable capture logic and the platform's audio system.
// Everything above this header (stream set-up, capture objects, the JavaScript
// surface, device lists) talks to audio hardware only through these types; each
// backend lives in its own file and is the only place that includes its
// platform's headers. Tests link the fake host instead of a real backend.
//
// Threads. Host, Device and Stream operations are called on a JavaScript
// thread or on a capture's recovery thread, never on the audio thread, and may
// block the caller while they talk to the audio system, but never for longer
// than kHostCallDeadline per call: a call the audio system does not answer in
// time fails with a HostError of kind kTimedOut whose text names what timed out. Several threads
// may use the same host at once: implementations serialise internally. Data and
// error callbacks run on a thread the backend owns (the "audio thread"), never
// on a JavaScript thread.
//
// The audio thread. A data callback must not block, wait for JavaScript, do
// input or output, or take locks other than the ones its owner documents; it
// makes at most one allocation per buffer (the chunk it hands on). Backends call
// it with whatever the audio system delivered, one buffer per call, one call at
// a time per stream.
//
// Ownership. Hosts and devices are shared: a device or a stream keeps whatever
// part of its host it needs alive, so dropping the host first is safe. A
// stream owns its callbacks; destroying the stream ("drop") returns only once
// no callback of it is running, and destroys both callbacks before returning,
// so after a drop nothing of the stream runs again.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error_kind.h"
#include "base/expected.h"

namespace parlanto_audio {

// The longest any one host call may wait for the audio system.
inline constexpr std::chrono::milliseconds kHostCallDeadline{2000};

// Every sample format the platform may report. Capture accepts F32 and I16
// only; the others exist so a device's real format can be named in errors.
enum class SampleFormat : std::uint8_t { I8, I16, I24, I32, I64, U8, U16, U32, U64, F32, F64 };

// "F32", "I16", "I32", "U8", "F64", ...
std::string_view sample_format_name(SampleFormat format);

// An error of the audio system: the text a person reads, and its kind for the
// code that decides whether to try again. Callers never parse platform error
// codes or the text.
struct HostError {
  std::string text;
  ErrorKind kind = ErrorKind::kOther;
};

// What every backend reports for a call its audio system left unanswered:
// "Timeout: the <who> did not answer within 2 s (<what>)", of kind kTimedOut.
HostError timed_out(std::string_view who, std::string_view what);

// What a device reports for a side it does not have: "the device has no <side> side".
HostError not_this_side(std::string_view side);

template <typename T>
using HostResult = Expected<T, HostError>;

// One configuration a device offers or uses by default.
struct SupportedStreamConfig {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  SampleFormat sample_format = SampleFormat::F32;
};

// A range of rates a device offers at one channel count and format (inclusive).
struct SupportedStreamConfigRange {
  std::uint16_t channels = 0;
  std::uint32_t min_sample_rate = 0;
  std::uint32_t max_sample_rate = 0;
  SampleFormat sample_format = SampleFormat::F32;

  SupportedStreamConfig with_sample_rate(std::uint32_t rate) const {
    return {channels, rate, sample_format};
  }
};

// What the stream is for. Backends name the stream after it in the system's
// mixers and keep each role's saved volume and mute apart from the other's.
enum class StreamRole : std::uint8_t { kMicrophone, kSystemAudio };

// What a stream is built with. The buffer size is always left to the device.
struct StreamConfig {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  StreamRole role = StreamRole::kMicrophone;
  // The application name mixers show beside the stream's own; empty for the
  // module's. Backends without a per-stream name ignore it.
  std::string app_name = {};

  bool operator==(const StreamConfig&) const = default;
};

// A device's identity. Its text form is what JavaScript sees as a device's
// `id`; Host::parse_device_id accepts exactly that text back.
class DeviceId {
 public:
  explicit DeviceId(std::string text) : text_(std::move(text)) {}
  const std::string& to_string() const { return text_; }
  bool operator==(const DeviceId&) const = default;

 private:
  std::string text_;
};

struct DeviceDescription {
  std::string name;  // human-readable, as the audio system describes the device
};

// Interleaved samples of one buffer, valid for the duration of the call.
using InputDataCallbackF32 = std::function<void(std::span<const float> samples)>;
using InputDataCallbackI16 = std::function<void(std::span<const std::int16_t> samples)>;
// A stream failed (device removed, server gone, ...): it delivers nothing more.
// Called at most once per stream, on a backend thread.
using StreamErrorCallback = std::function<void(const HostError& error)>;

// A built input stream. Created paused; play() starts the data callbacks.
// Destroying it is the drop described at the top of this file. Used by one
// thread at a time, not necessarily the one that built it: a capture's
// recovery thread drops a failed stream that the JavaScript thread built.
class Stream {
 public:
  virtual ~Stream() = default;
  virtual HostResult<Ok> play() = 0;
};

// An audio device. A device can have an input side (it records), an output
// side (it plays), or both; building an input stream on an output-only device
// records what the device plays.
class Device {
 public:
  virtual ~Device() = default;

  virtual HostResult<DeviceId> id() const = 0;
  virtual HostResult<DeviceDescription> description() const = 0;
  virtual bool supports_input() const = 0;
  virtual bool supports_output() const = 0;

  virtual HostResult<SupportedStreamConfig> default_input_config() const = 0;
  virtual HostResult<SupportedStreamConfig> default_output_config() const = 0;
  // Ranges in the audio system's own order.
  virtual HostResult<std::vector<SupportedStreamConfigRange>> supported_input_configs() const = 0;
  virtual HostResult<std::vector<SupportedStreamConfigRange>> supported_output_configs() const = 0;

  // Builds a paused input stream of 32-bit float or signed 16-bit samples. The
  // stream takes ownership of both callbacks; on failure they are destroyed
  // before this returns. A capture that opens its device again after a failure
  // asks for the configuration it had before, which the device may no longer
  // use itself: a backend converts where the platform can.
  virtual HostResult<std::unique_ptr<Stream>> build_input_stream_f32(
      const StreamConfig& config, InputDataCallbackF32 on_data, StreamErrorCallback on_error) = 0;
  virtual HostResult<std::unique_ptr<Stream>> build_input_stream_i16(
      const StreamConfig& config, InputDataCallbackI16 on_data, StreamErrorCallback on_error) = 0;
};

// A device with exactly one side, as every backend's devices are: the side
// queries answer for the side the device has from one configuration and one
// list of ranges, and refuse the other side with not_this_side().
class OneSidedDevice : public Device {
 public:
  HostResult<SupportedStreamConfig> default_input_config() const final {
    if (!supports_input()) return unexpected(not_this_side("input"));
    return default_config();
  }
  HostResult<SupportedStreamConfig> default_output_config() const final {
    if (!supports_output()) return unexpected(not_this_side("output"));
    return default_config();
  }
  HostResult<std::vector<SupportedStreamConfigRange>> supported_input_configs() const final {
    if (!supports_input()) return unexpected(not_this_side("input"));
    return ranges();
  }
  HostResult<std::vector<SupportedStreamConfigRange>> supported_output_configs() const final {
    if (!supports_output()) return unexpected(not_this_side("output"));
    return ranges();
  }

 protected:
  virtual HostResult<SupportedStreamConfig> default_config() const = 0;
  virtual HostResult<std::vector<SupportedStreamConfigRange>> ranges() const = 0;
};

// A change in the set of devices or in the defaults, as the audio system
// announces it.
struct DeviceEvent {
  enum class Type : std::uint8_t { kAdded, kRemoved, kDefaultChanged };
  Type type = Type::kAdded;
  bool output = false;  // the device plays (a sink); otherwise it records
  DeviceId id{""};      // the id its Device would have
  std::string name;     // its description; for a removed device, the last one known
};

// Called on a thread the backend owns, one event at a time, in the audio
// system's order; it must not block.
using DeviceEventCallback = std::function<void(const DeviceEvent& event)>;

// Running device notifications. Destroying it stops them: once the destructor
// returns, the callback is not running and is never called again. Made and
// destroyed on any thread but the callback's (the capture layer makes it on a
// worker thread and destroys it on the JavaScript thread).
class DeviceWatch {
 public:
  virtual ~DeviceWatch() = default;
};

class Host {
 public:
  virtual ~Host() = default;

  // All devices, in the audio system's order, or why they cannot be listed.
  virtual HostResult<std::vector<std::shared_ptr<Device>>> devices() = 0;
  // The id whose text form is `text`, or nothing when the text is not one.
  virtual std::optional<DeviceId> parse_device_id(std::string_view text) const = 0;
  // The device with this id, or null when there is none (unplugged, unknown);
  // an error when the audio system could not be asked (no server, timeout).
  virtual HostResult<std::shared_ptr<Device>> device_by_id(const DeviceId& id) = 0;
  // The system's default devices, or null when there is none; an error when the
  // audio system could not be asked.
  virtual HostResult<std::shared_ptr<Device>> default_input_device() = 0;
  virtual HostResult<std::shared_ptr<Device>> default_output_device() = 0;

  // Starts device notifications from the audio system's own announcements.
  // Blocks while it asks for the current devices. Backends without them
  // return an error (the default).
  virtual HostResult<std::unique_ptr<DeviceWatch>> watch_devices(DeviceEventCallback on_event);
};

// The platform's default host. Every addon links exactly one definition: the
// production module its platform backend, the test module the fake host. A
// host that is alive is shared; callers may keep a holder to keep the backend's
// connection open (the JavaScript surface keeps one per environment).
std::shared_ptr<Host> default_host();

// How a backend's default_host() keeps its host: the live one, shared, or a
// new one once every holder has let go. The bookkeeping is never destroyed:
// a worker thread may ask for the host during process exit.
template <typename BackendHost>
std::shared_ptr<Host> shared_host() {
  static auto* mutex = new std::mutex;
  static auto* current = new std::weak_ptr<BackendHost>;
  std::lock_guard guard(*mutex);
  if (auto host = current->lock()) return host;
  auto host = std::make_shared<BackendHost>();
  *current = host;
  return host;
}

}  // namespace parlanto_audio
