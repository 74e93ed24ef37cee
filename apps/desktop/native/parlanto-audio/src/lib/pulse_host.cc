// The audio-host seam on PulseAudio's client library (also served by PipeWire's
// pulse server). The only file that includes PulseAudio's headers.
//
// Devices. Every source that is not a monitor is a device with an input side,
// id "source:<name>"; every sink is a device with an output side, id
// "sink:<name>", and an input stream built on it records the sink's monitor
// source. Device objects are snapshots taken when they were looked up.
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

#include "audio_host.h"
#include "fragment_assembler.h"

namespace parlanto_audio {
namespace {

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

pa_usec_t deadline_from_now() { return pa_rtclock_now() + kCallDeadline; }

constexpr std::string_view kTimeoutPrefix = "Timeout: ";

// What a request that the server left unanswered reports: it names the request.
HostError timed_out(std::string_view what) {
  return HostError{std::string(kTimeoutPrefix) + "the audio server did not answer within " +
                   std::to_string(kHostCallDeadline.count() / 1000) + " s (" + std::string(what) +
                   ")"};
}

bool is_timeout(const HostError& error) { return error.text.starts_with(kTimeoutPrefix); }

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

SampleFormat format_of(pa_sample_format_t format) {
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

std::size_t role_index(StreamRole role) { return role == StreamRole::kSystemAudio ? 1 : 0; }

pa_proplist* stream_properties(const StreamConfig& config) {
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

DeviceInfo info_of(const pa_source_info& source) {
  DeviceInfo info;
  info.kind = DeviceKind::kSource;
  info.name = source.name ? source.name : "";
  info.description = source.description ? source.description : info.name;
  info.record_from = info.name;
  info.sample_spec = source.sample_spec;
  info.is_monitor = source.monitor_of_sink != PA_INVALID_INDEX;
  return info;
}

DeviceInfo info_of(const pa_sink_info& sink) {
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
      on_error(HostError{pa_strerror(pa_context_errno(context))});
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

  HostError last_error() const { return HostError{pa_strerror(pa_context_errno(context_))}; }

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
    if (!done && !found && is_timeout(done.error())) {
      return unexpected(std::move(done.error()));
    }
    return found;
  }

 private:
  PulseConnection() : loop_(pa_threaded_mainloop_new()) {
    if (!loop_) return;
    pa_threaded_mainloop_set_name(loop_, "parlanto-pulse");
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "parlanto_audio");
  }

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

class PulseStream final : public Stream {
 public:
  PulseStream(std::shared_ptr<PulseConnection> connection, pa_stream* stream,
              std::unique_ptr<StreamCore> core)
      : connection_(std::move(connection)), stream_(stream), core_(std::move(core)) {}

  // The drop. Callbacks run only under the mainloop lock, so once this holds
  // the lock none is running, and unhooking the stream keeps them from running
  // again. The callbacks are destroyed after the lock is let go.
  ~PulseStream() override {
    std::unique_ptr<StreamCore> core;
    {
      const bool in_loop = pa_threaded_mainloop_in_thread(connection_->loop()) != 0;
      if (!in_loop) pa_threaded_mainloop_lock(connection_->loop());
      pa_stream_set_read_callback(stream_, nullptr, nullptr);
      pa_stream_set_state_callback(stream_, nullptr, nullptr);
      if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
      core = std::move(core_);
      if (!in_loop) pa_threaded_mainloop_unlock(connection_->loop());
    }
  }

  PulseStream(const PulseStream&) = delete;
  PulseStream& operator=(const PulseStream&) = delete;

  HostResult<Ok> play() override {
    MainloopLock lock(connection_->loop());
    if (pa_stream_get_state(stream_) != PA_STREAM_READY)
      return unexpected(connection_->last_error());
    int success = 0;
    HostResult<Ok> done = connection_->run(
        [&] {
          return pa_stream_cork(
              stream_, 0,
              [](pa_stream*, int ok, void* userdata) { *static_cast<int*>(userdata) = ok; },
              &success);
        },
        deadline_from_now(), "starting the record stream");
    if (!done) return unexpected(std::move(done.error()));
    if (!success) return unexpected(connection_->last_error());
    return Ok{};
  }

 private:
  std::shared_ptr<PulseConnection> connection_;  // destroyed last: the loop outlives the stream
  pa_stream* stream_;
  std::unique_ptr<StreamCore> core_;
};

class PulseDevice final : public Device {
 public:
  PulseDevice(std::shared_ptr<PulseConnection> connection, DeviceInfo info)
      : connection_(std::move(connection)), info_(std::move(info)) {}

  HostResult<DeviceId> id() const override {
    const std::string_view prefix = info_.kind == DeviceKind::kSource ? kSourcePrefix : kSinkPrefix;
    return DeviceId(std::string(prefix) + info_.name);
  }

  HostResult<DeviceDescription> description() const override {
    return DeviceDescription{info_.description};
  }

  bool supports_input() const override { return info_.kind == DeviceKind::kSource; }
  bool supports_output() const override { return info_.kind == DeviceKind::kSink; }

  HostResult<SupportedStreamConfig> default_input_config() const override {
    if (!supports_input()) return unexpected(not_this_side("input"));
    return default_config();
  }
  HostResult<SupportedStreamConfig> default_output_config() const override {
    if (!supports_output()) return unexpected(not_this_side("output"));
    return default_config();
  }
  HostResult<std::vector<SupportedStreamConfigRange>> supported_input_configs() const override {
    if (!supports_input()) return unexpected(not_this_side("input"));
    return ranges();
  }
  HostResult<std::vector<SupportedStreamConfigRange>> supported_output_configs() const override {
    if (!supports_output()) return unexpected(not_this_side("output"));
    return ranges();
  }

  HostResult<std::unique_ptr<Stream>> build_input_stream_f32(
      const StreamConfig& config, InputDataCallbackF32 on_data,
      StreamErrorCallback on_error) override {
    auto core = std::make_unique<StreamCore>();
    core->format = SampleFormat::F32;
    core->on_f32 = std::move(on_data);
    core->on_error = std::move(on_error);
    return build(config, PA_SAMPLE_FLOAT32NE, std::move(core));
  }

  HostResult<std::unique_ptr<Stream>> build_input_stream_i16(
      const StreamConfig& config, InputDataCallbackI16 on_data,
      StreamErrorCallback on_error) override {
    auto core = std::make_unique<StreamCore>();
    core->format = SampleFormat::I16;
    core->on_i16 = std::move(on_data);
    core->on_error = std::move(on_error);
    return build(config, PA_SAMPLE_S16NE, std::move(core));
  }

 private:
  static HostError not_this_side(const char* side) {
    return HostError{std::string("the device has no ") + side + " side"};
  }

  SupportedStreamConfig default_config() const {
    return {info_.sample_spec.channels, info_.sample_spec.rate,
            format_of(info_.sample_spec.format)};
  }

  std::vector<SupportedStreamConfigRange> ranges() const {
    return {{info_.sample_spec.channels, kMinRate, kMaxRate, SampleFormat::F32},
            {info_.sample_spec.channels, kMinRate, kMaxRate, SampleFormat::I16}};
  }

  // On failure `core`, and the callbacks in it, are destroyed before this
  // returns, outside the mainloop lock.
  HostResult<std::unique_ptr<Stream>> build(const StreamConfig& config, pa_sample_format_t format,
                                            std::unique_ptr<StreamCore> core) {
    const pa_sample_spec sample_spec{format, config.sample_rate,
                                     static_cast<std::uint8_t>(config.channels)};
    if (config.channels == 0 || config.channels > PA_CHANNELS_MAX ||
        !pa_sample_spec_valid(&sample_spec)) {
      return unexpected(HostError{pa_strerror(PA_ERR_INVALID)});
    }
    if (info_.record_from.empty()) return unexpected(HostError{pa_strerror(PA_ERR_NOENTITY)});
    pa_channel_map map;
    pa_channel_map_init_extend(&map, sample_spec.channels, PA_CHANNEL_MAP_DEFAULT);

    core->loop = connection_->loop();
    core->context = connection_->context();
    core->sample_bytes = pa_sample_size(&sample_spec);
    core->fragments.emplace(core->sample_bytes, pa_frame_size(&sample_spec));

    const pa_usec_t deadline = deadline_from_now();
    MainloopLock lock(connection_->loop());
    pa_proplist* properties = stream_properties(config);
    pa_stream* stream =
        pa_stream_new_with_proplist(connection_->context(), kStreamNames[role_index(config.role)],
                                    &sample_spec, &map, properties);
    pa_proplist_free(properties);
    if (!stream) return unexpected(connection_->last_error());
    pa_stream_set_state_callback(stream, &StreamCore::on_state, core.get());
    pa_stream_set_read_callback(stream, &StreamCore::on_read, core.get());

    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);  // every field "server's choice" ...
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentTime, &sample_spec));
    // ... but the fragment: about 10 ms per read. Don't-move keeps a capture on
    // its device when the default changes; corked until play().
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY |
                                                      PA_STREAM_DONT_MOVE | PA_STREAM_START_CORKED);
    if (pa_stream_connect_record(stream, info_.record_from.c_str(), &attr, flags) < 0) {
      HostError error = connection_->last_error();
      pa_stream_set_state_callback(stream, nullptr, nullptr);
      pa_stream_set_read_callback(stream, nullptr, nullptr);
      pa_stream_unref(stream);
      return unexpected(std::move(error));
    }
    pa_stream_state_t state = pa_stream_get_state(stream);
    {
      Deadline wait(connection_->loop(), connection_->context(), deadline);
      while (state != PA_STREAM_READY && PA_STREAM_IS_GOOD(state) && wait.wait()) {
        state = pa_stream_get_state(stream);
      }
      state = pa_stream_get_state(stream);
    }
    if (state != PA_STREAM_READY) {
      HostError error = PA_STREAM_IS_GOOD(state) ? timed_out("connecting the record stream")
                                                 : connection_->last_error();
      pa_stream_set_state_callback(stream, nullptr, nullptr);
      pa_stream_set_read_callback(stream, nullptr, nullptr);
      if (PA_STREAM_IS_GOOD(state)) pa_stream_disconnect(stream);
      pa_stream_unref(stream);
      return unexpected(std::move(error));
    }
    core->live = true;
    return std::unique_ptr<Stream>(new PulseStream(connection_, stream, std::move(core)));
  }

  std::shared_ptr<PulseConnection> connection_;
  DeviceInfo info_;
};

// Device notifications from the server's subscription, on a connection of
// their own so a watch neither waits for nor disturbs requests and streams.
// A core is touched under its connection's mainloop lock only: by the
// subscription and the info callbacks it starts, and by the keeper thread
// when it moves to a new connection. Sinks are output devices,
// sources that are not monitors input devices, with the ids PulseDevice gives.
class PulseDeviceWatch final : public DeviceWatch {
 public:
  struct Known {
    std::string id;
    std::string name;
  };

  struct Core {
    DeviceEventCallback on_event;
    std::map<std::uint32_t, Known> sinks;
    std::map<std::uint32_t, Known> sources;
    std::string default_sink;
    std::string default_source;
    bool ready = false;  // the first snapshot is taken; later changes are events

    void emit(DeviceEvent::Type type, bool output, const Known& known) {
      if (!ready || !on_event) return;
      try {
        on_event(DeviceEvent{type, output, DeviceId(known.id), known.name});
      } catch (...) {
        // Nothing may unwind into the mainloop.
      }
    }

    std::string name_of(bool output, const std::string& id) const {
      for (const auto& [index, known] : output ? sinks : sources) {
        if (known.id == id) return known.name;
      }
      return {};
    }

    static void on_sink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
      if (eol != 0 || !info || !info->name) return;
      auto* core = static_cast<Core*>(userdata);
      Known known{std::string(kSinkPrefix) + info->name, info_of(*info).description};
      const bool fresh = core->sinks.find(info->index) == core->sinks.end();
      core->sinks[info->index] = known;
      if (fresh) core->emit(DeviceEvent::Type::kAdded, true, known);
    }

    static void on_source(pa_context*, const pa_source_info* info, int eol, void* userdata) {
      if (eol != 0 || !info || !info->name || info->monitor_of_sink != PA_INVALID_INDEX) return;
      auto* core = static_cast<Core*>(userdata);
      Known known{std::string(kSourcePrefix) + info->name, info_of(*info).description};
      const bool fresh = core->sources.find(info->index) == core->sources.end();
      core->sources[info->index] = known;
      if (fresh) core->emit(DeviceEvent::Type::kAdded, false, known);
    }

    // PipeWire's pulse server names a placeholder ("@DEFAULT_SINK@") while its
    // session manager is still choosing a default: not a device, and not a
    // change; the choice comes as a change of its own.
    static bool placeholder(const char* name) {
      const std::size_t length = name ? std::strlen(name) : 0;
      return length > 1 && name[0] == '@' && name[length - 1] == '@';
    }

    static void on_server(pa_context*, const pa_server_info* info, void* userdata) {
      if (!info) return;
      auto* core = static_cast<Core*>(userdata);
      const char* sink_name = info->default_sink_name;
      const char* source_name = info->default_source_name;
      const std::string sink = placeholder(sink_name) ? core->default_sink
                               : sink_name            ? sink_name
                                                      : "";
      const std::string source = placeholder(source_name) ? core->default_source
                                 : source_name            ? source_name
                                                          : "";
      if (sink != core->default_sink) {
        core->default_sink = sink;
        const std::string id = std::string(kSinkPrefix) + sink;
        if (!sink.empty()) {
          core->emit(DeviceEvent::Type::kDefaultChanged, true, {id, core->name_of(true, id)});
        }
      }
      if (source != core->default_source) {
        core->default_source = source;
        const std::string id = std::string(kSourcePrefix) + source;
        if (!source.empty()) {
          core->emit(DeviceEvent::Type::kDefaultChanged, false, {id, core->name_of(false, id)});
        }
      }
    }

    static void on_change(pa_context* context, pa_subscription_event_type_t event,
                          std::uint32_t index, void* userdata) {
      auto* core = static_cast<Core*>(userdata);
      const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
      const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
      pa_operation* operation = nullptr;
      if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        operation = pa_context_get_server_info(context, &Core::on_server, core);
      } else if (facility == PA_SUBSCRIPTION_EVENT_SINK ||
                 facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
        const bool output = facility == PA_SUBSCRIPTION_EVENT_SINK;
        auto& known = output ? core->sinks : core->sources;
        if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
          if (auto found = known.find(index); found != known.end()) {
            const Known gone = found->second;
            known.erase(found);
            core->emit(DeviceEvent::Type::kRemoved, output, gone);
          }
        } else if (type == PA_SUBSCRIPTION_EVENT_NEW) {
          operation =
              output ? pa_context_get_sink_info_by_index(context, index, &Core::on_sink, core)
                     : pa_context_get_source_info_by_index(context, index, &Core::on_source, core);
        }
      }
      // Answers arrive in the order asked, after this event's; the operation
      // is not waited for.
      if (operation) pa_operation_unref(operation);
    }
  };

  // A watch started while no server answers (an application started at
  // login, before the session's server) waits for one as a watch that lost
  // its server does: the keeper connects once a server answers and tells its
  // devices and defaults as added and changed.
  static HostResult<std::unique_ptr<DeviceWatch>> start(DeviceEventCallback on_event) {
    auto core = std::make_unique<Core>();
    core->on_event = std::move(on_event);
    HostResult<std::shared_ptr<PulseConnection>> connection = subscribe(*core, deadline_from_now());
    if (!connection) {
      // What a failed snapshot half took is not the server's state.
      auto empty = std::make_unique<Core>();
      empty->on_event = std::move(core->on_event);
      core = std::move(empty);
    }
    core->ready = true;
    std::shared_ptr<PulseConnection> held = connection ? std::move(*connection) : nullptr;
    return std::unique_ptr<DeviceWatch>(new PulseDeviceWatch(std::move(held), std::move(core)));
  }

  // Stops the reconnecting thread, then the subscription with its connection:
  // once that is closed and its thread stopped, no callback runs, and the core
  // can go.
  ~PulseDeviceWatch() override {
    {
      std::lock_guard guard(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    keeper_.join();
    if (connection_) {
      MainloopLock lock(connection_->loop());
      pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
    }
    connection_.reset();
    core_.reset();
  }

 private:
  // How often a watch whose server went away tries to connect again, and how
  // long one try may wait (unwatching waits for a try in progress).
  static constexpr std::chrono::milliseconds kReconnectPause{500};
  static constexpr pa_usec_t kReconnectDeadline = 500 * PA_USEC_PER_MSEC;

  PulseDeviceWatch(std::shared_ptr<PulseConnection> connection, std::unique_ptr<Core> core)
      : connection_(std::move(connection)), core_(std::move(core)), keeper_([this] { keep(); }) {}

  // A new connection with `core` subscribed to it and its snapshot taken.
  // Events during the snapshot only update it while `core` is not ready.
  static HostResult<std::shared_ptr<PulseConnection>> subscribe(Core& core, pa_usec_t deadline) {
    HostResult<std::shared_ptr<PulseConnection>> opened = PulseConnection::open(deadline);
    if (!opened) return opened;
    const std::shared_ptr<PulseConnection>& connection = *opened;
    MainloopLock lock(connection->loop());
    pa_context* context = connection->context();
    pa_context_set_subscribe_callback(context, &Core::on_change, &core);
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
    HostResult<Ok> done =
        connection->run([&] { return pa_context_subscribe(context, mask, nullptr, nullptr); },
                        deadline, "subscribing to device changes");
    if (done) {
      done = connection->run(
          [&] { return pa_context_get_sink_info_list(context, &Core::on_sink, &core); }, deadline,
          "listing the sinks");
    }
    if (done) {
      done = connection->run(
          [&] { return pa_context_get_source_info_list(context, &Core::on_source, &core); },
          deadline, "listing the sources");
    }
    if (done) {
      done = connection->run(
          [&] { return pa_context_get_server_info(context, &Core::on_server, &core); }, deadline,
          "asking for the default devices");
    }
    if (!done) {
      pa_context_set_subscribe_callback(context, nullptr, nullptr);
      return unexpected(std::move(done.error()));
    }
    return opened;
  }

  // The watch outlives its server: while it has no connection, or once the
  // connection has failed (the server died or was restarted), this thread
  // connects again every kReconnectPause and tells what changed while it was
  // away.
  void keep() {
    std::unique_lock guard(mutex_);
    for (;;) {
      if (wake_.wait_for(guard, kReconnectPause, [this] { return stopping_; })) return;
      if (connection_ && !connection_->failed()) continue;
      auto fresh = std::make_unique<Core>();
      HostResult<std::shared_ptr<PulseConnection>> connection =
          subscribe(*fresh, pa_rtclock_now() + kReconnectDeadline);
      if (!connection) continue;
      if (connection_) {
        MainloopLock old_lock(connection_->loop());
        pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
      }
      connection_ = std::move(*connection);
      // The new connection's callbacks wait for its lock while the snapshots
      // are compared, so the events come out in order.
      MainloopLock lock(connection_->loop());
      fresh->on_event = std::move(core_->on_event);
      fresh->ready = true;
      tell_changes(*core_, *fresh);
      core_ = std::move(fresh);
    }
  }

  // Events for what `now` has that `before` had not, and the other way round,
  // by id (a server's indices start over when it restarts).
  static void tell_changes(const Core& before, Core& now) {
    const auto ids = [](const std::map<std::uint32_t, Known>& known) {
      std::map<std::string, const Known*> by_id;
      for (const auto& [index, device] : known) by_id.emplace(device.id, &device);
      return by_id;
    };
    for (const bool output : {true, false}) {
      const auto old_ids = ids(output ? before.sinks : before.sources);
      const auto new_ids = ids(output ? now.sinks : now.sources);
      for (const auto& [id, device] : old_ids) {
        if (!new_ids.contains(id)) now.emit(DeviceEvent::Type::kRemoved, output, *device);
      }
      for (const auto& [id, device] : new_ids) {
        if (!old_ids.contains(id)) now.emit(DeviceEvent::Type::kAdded, output, *device);
      }
      const std::string& old_default = output ? before.default_sink : before.default_source;
      const std::string& new_default = output ? now.default_sink : now.default_source;
      if (new_default != old_default && !new_default.empty()) {
        const std::string id = std::string(output ? kSinkPrefix : kSourcePrefix) + new_default;
        now.emit(DeviceEvent::Type::kDefaultChanged, output, {id, now.name_of(output, id)});
      }
    }
  }

  // Both replaced together by the keeper thread, under mutex_; the
  // connection is null until a server first answered.
  std::shared_ptr<PulseConnection> connection_;
  std::unique_ptr<Core> core_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread keeper_;  // last: started once the rest is in place
};

class PulseHost final : public Host {
  using Connection = std::shared_ptr<PulseConnection>;

 public:
  // Each of these calls has one deadline for all it asks the server.
  HostResult<std::vector<std::shared_ptr<Device>>> devices() override {
    const pa_usec_t deadline = deadline_from_now();
    return ask(
        deadline,
        [&](const Connection& connection) -> HostResult<std::vector<std::shared_ptr<Device>>> {
          auto listing = connection->list(deadline);
          if (!listing) return unexpected(std::move(listing.error()));
          std::vector<std::shared_ptr<Device>> devices;
          for (auto& info : *listing) {
            if (info.is_monitor) continue;
            devices.push_back(std::make_shared<PulseDevice>(connection, std::move(info)));
          }
          return devices;
        });
  }

  std::optional<DeviceId> parse_device_id(std::string_view text) const override {
    for (const std::string_view prefix : {kSourcePrefix, kSinkPrefix}) {
      if (text.size() > prefix.size() && text.starts_with(prefix))
        return DeviceId(std::string(text));
    }
    return std::nullopt;
  }

  HostResult<std::shared_ptr<Device>> device_by_id(const DeviceId& id) override {
    const pa_usec_t deadline = deadline_from_now();
    const std::string& text = id.to_string();
    if (text.starts_with(kSourcePrefix)) {
      return find(DeviceKind::kSource, text.substr(kSourcePrefix.size()), deadline);
    }
    if (text.starts_with(kSinkPrefix))
      return find(DeviceKind::kSink, text.substr(kSinkPrefix.size()), deadline);
    return std::shared_ptr<Device>();
  }

  HostResult<std::shared_ptr<Device>> default_input_device() override {
    const pa_usec_t deadline = deadline_from_now();
    auto defaults = ask(deadline, [&](const Connection& connection) {
      return connection->server_defaults(deadline);
    });
    if (!defaults) return unexpected(std::move(defaults.error()));
    if (defaults->source.empty()) return std::shared_ptr<Device>();
    return find(DeviceKind::kSource, defaults->source, deadline);
  }

  HostResult<std::shared_ptr<Device>> default_output_device() override {
    const pa_usec_t deadline = deadline_from_now();
    auto defaults = ask(deadline, [&](const Connection& connection) {
      return connection->server_defaults(deadline);
    });
    if (!defaults) return unexpected(std::move(defaults.error()));
    if (defaults->sink.empty()) return std::shared_ptr<Device>();
    return find(DeviceKind::kSink, defaults->sink, deadline);
  }

  HostResult<std::unique_ptr<DeviceWatch>> watch_devices(DeviceEventCallback on_event) override {
    return PulseDeviceWatch::start(std::move(on_event));
  }

 private:
  // The host's connection, opened on first use and again after the server went away.
  HostResult<std::shared_ptr<PulseConnection>> connect(pa_usec_t deadline) {
    std::lock_guard guard(mutex_);
    if (connection_ && !connection_->failed()) return connection_;
    auto opened = PulseConnection::open(deadline);
    if (!opened) return opened;
    connection_ = *opened;
    return connection_;
  }

  // Runs `request` on the host's connection. A connection that turns out to be
  // broken (the server went away since its last use) is replaced and the
  // request made once more on the new one.
  template <typename Request>
  auto ask(pa_usec_t deadline, Request&& request)
      -> decltype(request(std::declval<const Connection&>())) {
    for (int attempt = 0;; ++attempt) {
      auto connection = connect(deadline);
      if (!connection) return unexpected(std::move(connection.error()));
      auto result = request(*connection);
      if (result || attempt > 0 || !(*connection)->failed()) return result;
    }
  }

  // A monitor is reached through its sink, never as a source of its own.
  HostResult<std::shared_ptr<Device>> find(DeviceKind kind, const std::string& name,
                                           pa_usec_t deadline) {
    return ask(deadline, [&](const Connection& connection) -> HostResult<std::shared_ptr<Device>> {
      auto info = connection->find(kind, name, deadline);
      if (!info) return unexpected(std::move(info.error()));
      if (!*info || (*info)->is_monitor) return std::shared_ptr<Device>();
      return std::shared_ptr<Device>(std::make_shared<PulseDevice>(connection, std::move(**info)));
    });
  }

  std::mutex mutex_;
  std::shared_ptr<PulseConnection> connection_;  // guarded by mutex_
};

}  // namespace

std::shared_ptr<Host> default_host() {
  // Never destroyed: a worker thread may ask for the host during process exit.
  static auto* mutex = new std::mutex;
  static auto* current = new std::weak_ptr<PulseHost>;
  std::lock_guard guard(*mutex);
  if (auto host = current->lock()) return host;
  auto host = std::make_shared<PulseHost>();
  *current = host;
  return host;
}

}  // namespace parlanto_audio
