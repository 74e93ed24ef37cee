#include "host/fake/fake_host.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace parlanto_audio {

namespace testing {
namespace {

using Clock = std::chrono::steady_clock;

struct DeviceState {
  FakeDeviceScript script;  // the queues and cursors are guarded by the world's mutex
  std::size_t input_reads = 0;
  std::size_t output_reads = 0;

  std::string id_text() const { return std::string(kFakeIdPrefix) + script.key; }
};

class FakeStream;

// Everything the fake knows, shared by all environments of the process. Never
// destroyed: streams of environments torn down at exit may outlive statics.
struct World {
  std::mutex mutex;
  std::vector<std::shared_ptr<DeviceState>> devices;
  FakeOutcome devices_error;
  FakeOutcome lookup_error;
  std::optional<std::string> default_input;
  std::optional<std::string> default_output;
  std::vector<FakeBuildRecord> builds;
  std::vector<FakeStream*> streams;  // alive, oldest first
  std::weak_ptr<Host> host;
  // Running device watches. Their own mutex, held while one is told, so a
  // watch's destruction waits for its callback.
  std::mutex watch_mutex;
  std::vector<const DeviceEventCallback*> watchers;
  FakeCounters counters;
  std::uint64_t next_serial = 1;
};

World& world() {
  static World* const instance = new World;
  return *instance;
}

// Scripted failures are texts; the fake stands for an audio system that knows
// what its own conditions mean, so the usual wordings of a device in use or
// still settling, and of one that went away, carry their kinds.
ErrorKind kind_of_scripted(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (std::string_view busy : {"busy", "not available", "sample rate"}) {
    if (lower.find(busy) != std::string::npos) return ErrorKind::kBusy;
  }
  if (lower.find("gone") != std::string::npos) return ErrorKind::kGone;
  return ErrorKind::kOther;
}

HostError fail(std::string text) {
  const ErrorKind kind = kind_of_scripted(text);
  return HostError{std::move(text), kind};
}

struct ErrorEvent {
  std::string text;
};

struct QueuedItem {
  std::variant<std::vector<float>, std::vector<std::int16_t>, ErrorEvent> what;
  Clock::time_point due;
};

std::vector<float> to_f32(const FakeBuffer& buffer) {
  if (const auto* f32 = std::get_if<std::vector<float>>(&buffer)) return *f32;
  const auto& i16 = std::get<std::vector<std::int16_t>>(buffer);
  std::vector<float> out(i16.size());
  std::transform(i16.begin(), i16.end(), out.begin(),
                 [](std::int16_t s) { return static_cast<float>(s) / 32768.0f; });
  return out;
}

std::vector<std::int16_t> to_i16(const FakeBuffer& buffer) {
  if (const auto* i16 = std::get_if<std::vector<std::int16_t>>(&buffer)) return *i16;
  const auto& f32 = std::get<std::vector<float>>(buffer);
  std::vector<std::int16_t> out(f32.size());
  std::transform(f32.begin(), f32.end(), out.begin(), [](float s) {
    return static_cast<std::int16_t>(std::clamp(s, -1.0f, 1.0f) * 32767.0f);
  });
  return out;
}

class FakeStream final : public Stream {
 public:
  // Called with the world's mutex held.
  FakeStream(World& w, std::shared_ptr<DeviceState> device, SampleFormat format,
             StreamConfig config, InputDataCallbackF32 on_f32, InputDataCallbackI16 on_i16,
             StreamErrorCallback on_error)
      : world_(w),
        device_(std::move(device)),
        serial_(w.next_serial++),
        format_(format),
        config_(config),
        on_f32_(std::move(on_f32)),
        on_i16_(std::move(on_i16)),
        on_error_(std::move(on_error)) {
    w.streams.push_back(this);
    ++w.counters.streams_alive;
    ++w.counters.streams_built;
  }

  ~FakeStream() override {
    {
      std::lock_guard lock(world_.mutex);
      std::erase(world_.streams, this);
    }
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    on_f32_ = nullptr;
    on_i16_ = nullptr;
    on_error_ = nullptr;
    std::lock_guard lock(world_.mutex);
    --world_.counters.streams_alive;
    ++world_.counters.streams_dropped;
  }

  HostResult<Ok> play() override {
    {
      std::lock_guard lock(world_.mutex);
      ++world_.counters.plays;
      std::deque<FakeOutcome>& outcomes = device_->script.play_outcomes;
      if (!outcomes.empty()) {
        FakeOutcome outcome = std::move(outcomes.front());
        outcomes.pop_front();
        if (outcome) return unexpected(fail(std::move(*outcome)));
      }
    }
    std::lock_guard lock(mutex_);
    if (!playing_) {
      playing_ = true;
      thread_ = std::thread([this] { run(); });
    }
    return Ok{};
  }

  // Called with the world's mutex held.
  void enqueue(const std::vector<FakeBuffer>& buffers, const FakeFeedOptions& options) {
    const std::size_t piece = options.frames_per_buffer * config_.channels;
    std::lock_guard lock(mutex_);
    Clock::time_point due = std::max(Clock::now(), next_due_);
    for (const FakeBuffer& buffer : buffers) {
      const std::size_t size = std::visit([](const auto& v) { return v.size(); }, buffer);
      const std::size_t step = piece == 0 ? std::max<std::size_t>(size, 1) : piece;
      for (std::size_t at = 0; at < size || (at == 0 && size == 0); at += step) {
        const std::size_t count = std::min(step, size - at);
        FakeBuffer part = std::visit(
            [&](const auto& v) -> FakeBuffer {
              using Vector = std::decay_t<decltype(v)>;
              return Vector(v.begin() + static_cast<std::ptrdiff_t>(at),
                            v.begin() + static_cast<std::ptrdiff_t>(at + count));
            },
            buffer);
        if (options.speed > 0 && config_.channels > 0 && config_.sample_rate > 0) {
          const double seconds =
              static_cast<double>(count) / config_.channels / config_.sample_rate / options.speed;
          due +=
              std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        }
        if (format_ == SampleFormat::F32) {
          queue_.push_back({to_f32(part), due});
        } else {
          queue_.push_back({to_i16(part), due});
        }
        if (size == 0) break;
      }
    }
    next_due_ = due;
    wake_.notify_all();
  }

  // Called with the world's mutex held.
  void enqueue_error(const std::string& text) {
    std::lock_guard lock(mutex_);
    queue_.push_back({ErrorEvent{text}, std::max(Clock::now(), next_due_)});
    wake_.notify_all();
  }

  FakeStreamInfo info() const {
    std::lock_guard lock(mutex_);
    return {serial_,    device_->script.key,       format_, config_, playing_,
            delivered_, queue_.size() + in_flight_};
  }

  const std::string& device_key() const { return device_->script.key; }
  std::uint64_t serial() const { return serial_; }

 private:
  // The stream's own thread: hands each queued item to the callbacks when it
  // is due, without holding the stream's mutex while a callback runs.
  void run() {
    std::unique_lock lock(mutex_);
    while (true) {
      wake_.wait(lock, [&] { return quit_ || !queue_.empty(); });
      if (quit_) return;
      const Clock::time_point due = queue_.front().due;
      if (Clock::now() < due) {
        wake_.wait_until(lock, due, [&] { return quit_; });
        continue;
      }
      QueuedItem item = std::move(queue_.front());
      queue_.pop_front();
      in_flight_ = 1;
      lock.unlock();
      if (auto* f32 = std::get_if<std::vector<float>>(&item.what)) {
        if (on_f32_) on_f32_(std::span<const float>(*f32));
      } else if (auto* i16 = std::get_if<std::vector<std::int16_t>>(&item.what)) {
        if (on_i16_) on_i16_(std::span<const std::int16_t>(*i16));
      } else if (on_error_) {
        on_error_(fail(std::get<ErrorEvent>(item.what).text));
      }
      lock.lock();
      in_flight_ = 0;
      if (!std::holds_alternative<ErrorEvent>(item.what)) ++delivered_;
    }
  }

  World& world_;
  const std::shared_ptr<DeviceState> device_;
  const std::uint64_t serial_;
  const SampleFormat format_;
  const StreamConfig config_;
  // Only the stream's thread calls these while it runs; the destructor clears
  // them after joining it.
  InputDataCallbackF32 on_f32_;
  InputDataCallbackI16 on_i16_;
  StreamErrorCallback on_error_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<QueuedItem> queue_;  // guarded by mutex_
  Clock::time_point next_due_{};  // guarded by mutex_
  bool playing_ = false;          // guarded by mutex_
  bool quit_ = false;             // guarded by mutex_
  std::size_t in_flight_ = 0;     // guarded by mutex_
  std::uint64_t delivered_ = 0;   // guarded by mutex_
  std::thread thread_;
};

class FakeDevice final : public Device {
 public:
  explicit FakeDevice(std::shared_ptr<DeviceState> state) : state_(std::move(state)) {}

  HostResult<DeviceId> id() const override {
    if (state_->script.id_error) return unexpected(fail(*state_->script.id_error));
    return DeviceId(state_->id_text());
  }

  HostResult<DeviceDescription> description() const override {
    if (state_->script.description_error) {
      return unexpected(fail(*state_->script.description_error));
    }
    return DeviceDescription{state_->script.name};
  }

  bool supports_input() const override { return state_->script.input.has_value(); }
  bool supports_output() const override { return state_->script.output.has_value(); }

  HostResult<SupportedStreamConfig> default_input_config() const override {
    return read_default(state_->script.input, state_->input_reads);
  }
  HostResult<SupportedStreamConfig> default_output_config() const override {
    return read_default(state_->script.output, state_->output_reads);
  }
  HostResult<std::vector<SupportedStreamConfigRange>> supported_input_configs() const override {
    return ranges(state_->script.input);
  }
  HostResult<std::vector<SupportedStreamConfigRange>> supported_output_configs() const override {
    return ranges(state_->script.output);
  }

  HostResult<std::unique_ptr<Stream>> build_input_stream_f32(
      const StreamConfig& config, InputDataCallbackF32 on_data,
      StreamErrorCallback on_error) override {
    return build(SampleFormat::F32, config, std::move(on_data), nullptr, std::move(on_error));
  }
  HostResult<std::unique_ptr<Stream>> build_input_stream_i16(
      const StreamConfig& config, InputDataCallbackI16 on_data,
      StreamErrorCallback on_error) override {
    return build(SampleFormat::I16, config, nullptr, std::move(on_data), std::move(on_error));
  }

 private:
  static HostResult<SupportedStreamConfig> read_default(const std::optional<FakeSideScript>& side,
                                                        std::size_t& reads) {
    std::lock_guard lock(world().mutex);
    if (!side) return unexpected(fail("The requested stream type is not supported by the device"));
    if (side->defaults.empty()) return unexpected(fail("No default stream configuration"));
    const FakeDefaultRead& read = side->defaults[std::min(reads, side->defaults.size() - 1)];
    ++reads;
    if (!read.config) return unexpected(fail(read.error));
    return *read.config;
  }

  static HostResult<std::vector<SupportedStreamConfigRange>> ranges(
      const std::optional<FakeSideScript>& side) {
    if (!side) return unexpected(fail("The requested stream type is not supported by the device"));
    if (side->ranges_error) return unexpected(fail(*side->ranges_error));
    return side->ranges;
  }

  HostResult<std::unique_ptr<Stream>> build(SampleFormat format, const StreamConfig& config,
                                            InputDataCallbackF32 on_f32,
                                            InputDataCallbackI16 on_i16,
                                            StreamErrorCallback on_error) {
    World& w = world();
    std::lock_guard lock(w.mutex);
    ++w.counters.builds_attempted;
    FakeDeviceScript& script = state_->script;
    FakeOutcome outcome;
    if (!script.build_outcomes.empty()) {
      outcome = std::move(script.build_outcomes.front());
      script.build_outcomes.pop_front();
    }
    if (!outcome) {
      for (const FakeRejectedConfig& rejected : script.rejected_configs) {
        if ((!rejected.channels || *rejected.channels == config.channels) &&
            (!rejected.sample_rate || *rejected.sample_rate == config.sample_rate)) {
          outcome = rejected.error;
          break;
        }
      }
    }
    w.builds.push_back({script.key, format, config, outcome, Clock::now()});
    if (outcome) return unexpected(fail(std::move(*outcome)));
    return std::unique_ptr<Stream>(std::make_unique<FakeStream>(
        w, state_, format, config, std::move(on_f32), std::move(on_i16), std::move(on_error)));
  }

  const std::shared_ptr<DeviceState> state_;
};

class FakeWatch final : public DeviceWatch {
 public:
  explicit FakeWatch(DeviceEventCallback on_event) : on_event_(std::move(on_event)) {
    std::lock_guard lock(world().watch_mutex);
    world().watchers.push_back(&on_event_);
  }
  ~FakeWatch() override {
    std::lock_guard lock(world().watch_mutex);
    std::erase(world().watchers, &on_event_);
  }

 private:
  DeviceEventCallback on_event_;
};

class FakeHost final : public Host {
 public:
  ~FakeHost() override {
    std::lock_guard lock(world().mutex);
    --world().counters.hosts_alive;
  }

  HostResult<std::vector<std::shared_ptr<Device>>> devices() override {
    std::lock_guard lock(world().mutex);
    if (world().devices_error) return unexpected(fail(*world().devices_error));
    std::vector<std::shared_ptr<Device>> out;
    for (const auto& state : world().devices) out.push_back(std::make_shared<FakeDevice>(state));
    return out;
  }

  std::optional<DeviceId> parse_device_id(std::string_view text) const override {
    if (text.size() <= kFakeIdPrefix.size() || !text.starts_with(kFakeIdPrefix)) {
      return std::nullopt;
    }
    return DeviceId(std::string(text));
  }

  HostResult<std::shared_ptr<Device>> device_by_id(const DeviceId& id) override {
    std::lock_guard lock(world().mutex);
    if (world().lookup_error) return unexpected(fail(*world().lookup_error));
    for (const auto& state : world().devices) {
      if (!state->script.id_error && state->id_text() == id.to_string()) {
        return std::shared_ptr<Device>(std::make_shared<FakeDevice>(state));
      }
    }
    return std::shared_ptr<Device>();
  }

  HostResult<std::shared_ptr<Device>> default_input_device() override {
    return by_key(world().default_input);
  }
  HostResult<std::shared_ptr<Device>> default_output_device() override {
    return by_key(world().default_output);
  }

  HostResult<std::unique_ptr<DeviceWatch>> watch_devices(DeviceEventCallback on_event) override {
    return std::unique_ptr<DeviceWatch>(std::make_unique<FakeWatch>(std::move(on_event)));
  }

 private:
  static HostResult<std::shared_ptr<Device>> by_key(const std::optional<std::string>& key) {
    std::lock_guard lock(world().mutex);
    if (world().lookup_error) return unexpected(fail(*world().lookup_error));
    if (!key) return std::shared_ptr<Device>();
    for (const auto& state : world().devices) {
      if (state->script.key == *key)
        return std::shared_ptr<Device>(std::make_shared<FakeDevice>(state));
    }
    return std::shared_ptr<Device>();
  }
};

template <typename Action>
std::size_t for_selected(const FakeStreamSelector& selector, Action action) {
  std::lock_guard lock(world().mutex);
  std::size_t count = 0;
  for (FakeStream* stream : world().streams) {
    if (selector.serial && stream->serial() != *selector.serial) continue;
    if (selector.device && stream->device_key() != *selector.device) continue;
    action(*stream);
    ++count;
  }
  return count;
}

}  // namespace

void reset_fake_host(FakeHostScript script) {
  World& w = world();
  std::lock_guard lock(w.mutex);
  w.devices.clear();
  for (FakeDeviceScript& device : script.devices) {
    w.devices.push_back(std::make_shared<DeviceState>(DeviceState{std::move(device)}));
  }
  w.devices_error = std::move(script.devices_error);
  w.lookup_error = std::move(script.lookup_error);
  w.default_input = std::move(script.default_input);
  w.default_output = std::move(script.default_output);
  w.builds.clear();
}

std::vector<FakeBuildRecord> fake_builds() {
  std::lock_guard lock(world().mutex);
  return world().builds;
}

std::vector<FakeStreamInfo> fake_streams() {
  std::vector<FakeStreamInfo> out;
  for_selected({}, [&](FakeStream& stream) { out.push_back(stream.info()); });
  return out;
}

FakeCounters fake_counters() {
  FakeCounters counters;
  {
    std::lock_guard lock(world().mutex);
    counters = world().counters;
  }
  std::lock_guard lock(world().watch_mutex);
  counters.watches_alive = static_cast<std::int64_t>(world().watchers.size());
  return counters;
}

std::size_t feed_fake_streams(const FakeStreamSelector& selector,
                              const std::vector<FakeBuffer>& buffers,
                              const FakeFeedOptions& options) {
  return for_selected(selector, [&](FakeStream& stream) { stream.enqueue(buffers, options); });
}

void set_fake_default(bool output, const std::string& key) {
  DeviceEvent event{DeviceEvent::Type::kDefaultChanged, output,
                    DeviceId(std::string(kFakeIdPrefix) + key), ""};
  {
    std::lock_guard lock(world().mutex);
    (output ? world().default_output : world().default_input) = key;
    for (const auto& state : world().devices) {
      if (state->script.key == key) event.name = state->script.name;
    }
  }
  std::lock_guard lock(world().watch_mutex);
  for (const DeviceEventCallback* watcher : world().watchers) (*watcher)(event);
}

namespace {

void tell_watches(const std::vector<DeviceEvent>& events) {
  std::lock_guard lock(world().watch_mutex);
  for (const DeviceEvent& event : events) {
    for (const DeviceEventCallback* watcher : world().watchers) (*watcher)(event);
  }
}

std::vector<DeviceEvent> side_events(DeviceEvent::Type type, const FakeDeviceScript& script) {
  std::vector<DeviceEvent> events;
  const DeviceId id(std::string(kFakeIdPrefix) + script.key);
  if (script.input) events.push_back({type, false, id, script.name});
  if (script.output) events.push_back({type, true, id, script.name});
  return events;
}

}  // namespace

void plug_fake_device(FakeDeviceScript device) {
  std::vector<DeviceEvent> events = side_events(DeviceEvent::Type::kAdded, device);
  {
    std::lock_guard lock(world().mutex);
    std::erase_if(world().devices,
                  [&](const auto& state) { return state->script.key == device.key; });
    world().devices.push_back(std::make_shared<DeviceState>(DeviceState{std::move(device)}));
  }
  tell_watches(events);
}

bool unplug_fake_device(const std::string& key) {
  std::vector<DeviceEvent> events;
  {
    std::lock_guard lock(world().mutex);
    auto& devices = world().devices;
    const auto found = std::find_if(devices.begin(), devices.end(),
                                    [&](const auto& state) { return state->script.key == key; });
    if (found == devices.end()) return false;
    events = side_events(DeviceEvent::Type::kRemoved, (*found)->script);
    devices.erase(found);
  }
  tell_watches(events);
  return true;
}

std::size_t fail_fake_streams(const FakeStreamSelector& selector, const std::string& text) {
  return for_selected(selector, [&](FakeStream& stream) { stream.enqueue_error(text); });
}

}  // namespace testing

std::shared_ptr<Host> default_host() {
  testing::World& w = testing::world();
  std::lock_guard lock(w.mutex);
  if (std::shared_ptr<Host> host = w.host.lock()) return host;
  auto host = std::make_shared<testing::FakeHost>();
  ++w.counters.hosts_alive;
  w.host = host;
  return host;
}

}  // namespace parlanto_audio
