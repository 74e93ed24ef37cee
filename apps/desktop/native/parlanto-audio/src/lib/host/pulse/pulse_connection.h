#pragma once

// The connection every request, device and stream of the PulseAudio backend
// shares: one pa_threaded_mainloop and one pa_context, and the helpers that
// wait on it. This folder is the only place that includes PulseAudio's headers.
//
// Threads and ownership. Each live host owns one connection at a time: a
// pa_threaded_mainloop and a pa_context, opened on first use. Devices and
// streams share the connection they were made on, so it outlives the host if
// they do. A connection whose context failed (the server went away) is
// replaced on the host's next request; the old one lives on, inert, until its
// last device or stream lets go. Stream callbacks run on the mainloop thread,
// always with the mainloop lock held; the calling threads (JavaScript threads,
// captures' recovery threads) take that lock for every request and for every
// drop, which is how a drop knows that no callback is running. Every wait for
// the server ends at a deadline (kHostCallDeadline): a server that hangs never
// holds a caller longer than that.

#include <pulse/pulseaudio.h>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "host/audio_host.h"
#include "host/pulse/fragment_assembler.h"

namespace parlanto_audio::pulse {

constexpr std::string_view kSourcePrefix = "source:";
constexpr std::string_view kSinkPrefix = "sink:";
constexpr pa_usec_t kCallDeadline =
    static_cast<pa_usec_t>(std::chrono::microseconds(kHostCallDeadline).count());
constexpr pa_usec_t kFragmentTime = 10 * PA_USEC_PER_MSEC;
// The rates the server resamples between; libpulse accepts up to PA_RATE_MAX.
constexpr std::uint32_t kMinRate = 8000;
constexpr std::uint32_t kMaxRate = PA_RATE_MAX;

class MainloopLock {
 public:
  explicit MainloopLock(pa_threaded_mainloop* loop) : loop_(loop) {
    pa_threaded_mainloop_lock(loop_);
  }
  ~MainloopLock() { pa_threaded_mainloop_unlock(loop_); }
  MainloopLock(const MainloopLock&) = delete;
  MainloopLock& operator=(const MainloopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

inline pa_usec_t deadline_from_now() { return pa_rtclock_now() + kCallDeadline; }

// What a request that the server left unanswered reports: it names the request.
inline HostError timed_out(std::string_view what) {
  return parlanto_audio::timed_out("audio server", what);
}

// A libpulse error code as text, with the kind the callers above the seam act on.
inline HostError error_of(int code) {
  switch (code) {
    case PA_ERR_BUSY:
      return HostError{pa_strerror(code), ErrorKind::kBusy};
    case PA_ERR_CONNECTIONREFUSED:
    case PA_ERR_CONNECTIONTERMINATED:
    case PA_ERR_KILLED:
    case PA_ERR_NOENTITY:
      return HostError{pa_strerror(code), ErrorKind::kGone};
    case PA_ERR_TIMEOUT:
      return HostError{pa_strerror(code), ErrorKind::kTimedOut};
    default:
      return HostError{pa_strerror(code)};
  }
}

// A wait on the mainloop that gives up at an instant of the real-time clock.
// Made, used and destroyed under the mainloop lock; its timer runs on the
// mainloop thread and only wakes the waiting thread.
class Deadline {
 public:
  Deadline(pa_threaded_mainloop* loop, pa_context* context, pa_usec_t at) : loop_(loop) {
    timer_ = pa_context_rttime_new(context, at, &Deadline::fire, this);
  }
  ~Deadline() {
    if (timer_) pa_threaded_mainloop_get_api(loop_)->time_free(timer_);
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  // Waits for the mainloop's next signal; false once the deadline has passed.
  bool wait() {
    if (expired_) return false;
    pa_threaded_mainloop_wait(loop_);
    return !expired_;
  }
  bool expired() const { return expired_; }

 private:
  static void fire(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* self = static_cast<Deadline*>(userdata);
    self->expired_ = true;
    pa_threaded_mainloop_signal(self->loop_, 0);
  }

  pa_threaded_mainloop* loop_;
  pa_time_event* timer_ = nullptr;
  bool expired_ = false;
};

inline SampleFormat format_of(pa_sample_format_t format) {
  switch (format) {
    case PA_SAMPLE_U8:
      return SampleFormat::U8;
    case PA_SAMPLE_FLOAT32LE:
    case PA_SAMPLE_FLOAT32BE:
      return SampleFormat::F32;
    case PA_SAMPLE_S32LE:
    case PA_SAMPLE_S32BE:
      return SampleFormat::I32;
    case PA_SAMPLE_S24LE:
    case PA_SAMPLE_S24BE:
    case PA_SAMPLE_S24_32LE:
    case PA_SAMPLE_S24_32BE:
      return SampleFormat::I24;
    default:
      // 16-bit linear, and the 8-bit companded codes the server expands to it.
      return SampleFormat::I16;
  }
}

// Each role is a stream of its own for the server: its own name in mixers and
// its own application id, so that saved volumes and mutes (module-stream-restore,
// WirePlumber's restore-stream) never carry over from one role to the other.
// No media.role: the servers' role policies (corking, ducking, moving to a
// role's intended device) are not ours to trigger.
constexpr const char* kStreamNames[] = {"Microphone", "System audio"};
constexpr const char* kStreamApplicationIds[] = {"parlanto-audio.microphone",
                                                 "parlanto-audio.system-audio"};

inline std::size_t role_index(StreamRole role) { return role == StreamRole::kSystemAudio ? 1 : 0; }

inline pa_proplist* stream_properties(const StreamConfig& config) {
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, kStreamNames[role_index(config.role)]);
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID,
                   kStreamApplicationIds[role_index(config.role)]);
  // The stream's own application name wins over its connection's in mixers.
  if (!config.app_name.empty()) {
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, config.app_name.c_str());
  }
  return properties;
}

enum class DeviceKind : std::uint8_t { kSource, kSink };

// What a device lookup learns about one source or sink.
struct DeviceInfo {
  DeviceKind kind = DeviceKind::kSource;
  std::string name;
  std::string description;
  std::string record_from;  // the source a capture connects to
  pa_sample_spec sample_spec{};
  bool is_monitor = false;
};

inline DeviceInfo info_of(const pa_source_info& source) {
  DeviceInfo info;
  info.kind = DeviceKind::kSource;
  info.name = source.name ? source.name : "";
  info.description = source.description ? source.description : info.name;
  info.record_from = info.name;
  info.sample_spec = source.sample_spec;
  info.is_monitor = source.monitor_of_sink != PA_INVALID_INDEX;
  return info;
}

inline DeviceInfo info_of(const pa_sink_info& sink) {
  DeviceInfo info;
  info.kind = DeviceKind::kSink;
  info.name = sink.name ? sink.name : "";
  info.description = sink.description ? sink.description : info.name;
  info.record_from = sink.monitor_source_name ? sink.monitor_source_name : "";
  info.sample_spec = sink.sample_spec;
  return info;
}

// The state the mainloop thread touches for one stream: the user's callbacks,
// the frames being assembled from fragments, and the once-only error flag.
// Guarded by the mainloop lock.
struct StreamCore {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  SampleFormat format = SampleFormat::F32;
  std::size_t sample_bytes = 0;
  InputDataCallbackF32 on_f32;
  InputDataCallbackI16 on_i16;
  StreamErrorCallback on_error;
  bool live = false;  // connected; failures before this are the build's own error
  bool error_reported = false;
  std::optional<FragmentAssembler> fragments;

  void deliver_samples(const void* data, std::size_t bytes) {
    const std::size_t count = bytes / sample_bytes;
    try {
      if (format == SampleFormat::F32) {
        on_f32(std::span<const float>(static_cast<const float*>(data), count));
      } else {
        on_i16(std::span<const std::int16_t>(static_cast<const std::int16_t*>(data), count));
      }
    } catch (...) {
      // Nothing may unwind into the mainloop; a data callback is not meant to throw.
    }
  }

  void report_failure() {
    if (!live || error_reported) return;
    error_reported = true;
    if (!on_error) return;
    try {
      on_error(error_of(pa_context_errno(context)));
    } catch (...) {
    }
  }

  static void on_read(pa_stream* stream, std::size_t, void* userdata) {
    auto* core = static_cast<StreamCore*>(userdata);
    for (;;) {
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      if (data == nullptr) {
        core->fragments->reset();  // a hole
      } else {
        core->fragments->push(data, bytes, [core](const void* frames, std::size_t size) {
          core->deliver_samples(frames, size);
        });
      }
      pa_stream_drop(stream);
    }
  }

  static void on_state(pa_stream* stream, void* userdata) {
    auto* core = static_cast<StreamCore*>(userdata);
    // A server that goes away fails every stream of the context, so this also
    // covers the context's own failure.
    if (pa_stream_get_state(stream) == PA_STREAM_FAILED) core->report_failure();
    pa_threaded_mainloop_signal(core->loop, 0);
  }
};

// One mainloop thread and one context.
class PulseConnection {
 public:
  static HostResult<std::shared_ptr<PulseConnection>> open(pa_usec_t deadline) {
    auto connection = std::shared_ptr<PulseConnection>(new PulseConnection());
    if (!connection->loop_ || !connection->context_) {
      return unexpected(HostError{"cannot create the audio client"});
    }
    if (auto connected = connection->connect(deadline); !connected) {
      return unexpected(std::move(connected.error()));
    }
    return connection;
  }

  ~PulseConnection() {
    if (!loop_) return;
    if (pa_threaded_mainloop_in_thread(loop_)) {
      // The last holder let go inside a callback; the loop cannot stop itself.
      std::thread([loop = loop_, context = context_] { close(loop, context); }).detach();
    } else {
      close(loop_, context_);
    }
  }

  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }

  // True once the context has failed or ended: nothing can be done on it again.
  bool failed() {
    MainloopLock lock(loop_);
    return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
  }

  HostError last_error() const { return error_of(pa_context_errno(context_)); }

  // Runs the operation `start` makes (under the lock) to its end, or cancels
  // it at `deadline`: a cancelled operation calls none of its callbacks again,
  // so their state may live on the caller's stack. The error is the
  // connection's, or the timeout naming `what`.
  template <typename Start>
  HostResult<Ok> run(Start&& start, pa_usec_t deadline, std::string_view what) {
    pa_operation* operation = start();
    if (!operation) return unexpected(last_error());
    pa_operation_set_state_callback(operation, &signal_loop, loop_);
    Deadline wait(loop_, context_, deadline);
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING && wait.wait()) {
    }
    const pa_operation_state_t state = pa_operation_get_state(operation);
    if (state == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    if (state == PA_OPERATION_DONE) return Ok{};
    if (state == PA_OPERATION_RUNNING) return unexpected(timed_out(what));
    return unexpected(last_error());
  }

  struct ServerDefaults {
    std::string source;
    std::string sink;
  };

  HostResult<ServerDefaults> server_defaults(pa_usec_t deadline) {
    MainloopLock lock(loop_);
    ServerDefaults defaults;
    HostResult<Ok> done = run(
        [&] {
          return pa_context_get_server_info(
              context_,
              [](pa_context*, const pa_server_info* info, void* userdata) {
                auto* out = static_cast<ServerDefaults*>(userdata);
                if (!info) return;
                if (info->default_source_name) out->source = info->default_source_name;
                if (info->default_sink_name) out->sink = info->default_sink_name;
              },
              &defaults);
        },
        deadline, "asking for the default devices");
    if (!done) return unexpected(std::move(done.error()));
    return defaults;
  }

  // Every source and then every sink, in the server's order.
  HostResult<std::vector<DeviceInfo>> list(pa_usec_t deadline) {
    MainloopLock lock(loop_);
    struct Listing {
      std::vector<DeviceInfo> devices;
      bool failed = false;
    } listing;
    HostResult<Ok> sources_done = run(
        [&] {
          return pa_context_get_source_info_list(
              context_,
              [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
                auto* out = static_cast<Listing*>(userdata);
                if (eol < 0) out->failed = true;
                if (eol == 0 && info) out->devices.push_back(info_of(*info));
              },
              &listing);
        },
        deadline, "listing the sources");
    if (!sources_done) return unexpected(std::move(sources_done.error()));
    if (listing.failed) return unexpected(last_error());
    HostResult<Ok> sinks_done = run(
        [&] {
          return pa_context_get_sink_info_list(
              context_,
              [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
                auto* out = static_cast<Listing*>(userdata);
                if (eol < 0) out->failed = true;
                if (eol == 0 && info) out->devices.push_back(info_of(*info));
              },
              &listing);
        },
        deadline, "listing the sinks");
    if (!sinks_done) return unexpected(std::move(sinks_done.error()));
    if (listing.failed) return unexpected(last_error());
    return std::move(listing.devices);
  }

  // The named source or sink, or nothing when the server has none by that name.
  HostResult<std::optional<DeviceInfo>> find(DeviceKind kind, const std::string& name,
                                             pa_usec_t deadline) {
    MainloopLock lock(loop_);
    std::optional<DeviceInfo> found;
    HostResult<Ok> done = Ok{};
    if (kind == DeviceKind::kSource) {
      done = run(
          [&] {
            return pa_context_get_source_info_by_name(
                context_, name.c_str(),
                [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
                  if (eol == 0 && info)
                    *static_cast<std::optional<DeviceInfo>*>(userdata) = info_of(*info);
                },
                &found);
          },
          deadline, "looking up a source");
    } else {
      done = run(
          [&] {
            return pa_context_get_sink_info_by_name(
                context_, name.c_str(),
                [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
                  if (eol == 0 && info)
                    *static_cast<std::optional<DeviceInfo>*>(userdata) = info_of(*info);
                },
                &found);
          },
          deadline, "looking up a sink");
    }
    // An unknown name ends the operation with "No such entity"; only a
    // connection that broke, or a server that did not answer, is an error.
    if (!done && !found && !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
      return unexpected(last_error());
    }
    if (!done && !found && done.error().kind == ErrorKind::kTimedOut) {
      return unexpected(std::move(done.error()));
    }
    return found;
  }

 private:
  PulseConnection() : loop_(pa_threaded_mainloop_new()) {
    if (!loop_) return;
    pa_threaded_mainloop_set_name(loop_, "parlanto-pulse");
    // No shared memory with the server. With it the server hands the client
    // a ring-buffer channel while the connection is set up, and a server that
    // dies before the client has switched to it leaves libpulse (16.1 and
    // later) looping forever in pa_pstream_unlink with the mainloop lock
    // held: no deadline fires and every caller waits. A server restart meets
    // that window whenever a watch or a recovery is connecting. Captured
    // audio is small enough for the socket.
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, kForceDisableShm, "yes");
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "parlanto_audio",
                                            properties);
    pa_proplist_free(properties);
  }

  // PA_PROP_CONTEXT_FORCE_DISABLE_SHM, which older headers lack; older
  // libraries pass it to the server unread.
  static constexpr char kForceDisableShm[] = "context.force.disable.shm";

  static void signal_loop(pa_operation*, void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
  }

  static void close(pa_threaded_mainloop* loop, pa_context* context) {
    if (context) {
      MainloopLock lock(loop);
      pa_context_set_state_callback(context, nullptr, nullptr);
      pa_context_disconnect(context);
      pa_context_unref(context);
    }
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
  }

  HostResult<Ok> connect(pa_usec_t deadline) {
    pa_context_set_state_callback(
        context_,
        [](pa_context*, void* loop) {
          pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
        },
        loop_);
    // Never start a server of our own: a missing server is the caller's answer.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return unexpected(last_error());
    }
    if (pa_threaded_mainloop_start(loop_) < 0) {
      return unexpected(HostError{"cannot start the audio client's thread"});
    }
    MainloopLock lock(loop_);
    Deadline wait(loop_, context_, deadline);
    pa_context_state_t state = pa_context_get_state(context_);
    while (state != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) && wait.wait()) {
      state = pa_context_get_state(context_);
    }
    state = pa_context_get_state(context_);
    if (state == PA_CONTEXT_READY) return Ok{};
    if (PA_CONTEXT_IS_GOOD(state)) return unexpected(timed_out("connecting"));
    return unexpected(last_error());
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
};

}  // namespace parlanto_audio::pulse
