#include "host/pulse/pulse_device.h"

namespace parlanto_audio::pulse {
namespace {

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

class PulseDevice final : public OneSidedDevice {
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
  HostResult<SupportedStreamConfig> default_config() const override {
    return SupportedStreamConfig{info_.sample_spec.channels, info_.sample_spec.rate,
                                 format_of(info_.sample_spec.format)};
  }

  HostResult<std::vector<SupportedStreamConfigRange>> ranges() const override {
    const std::uint16_t channels = info_.sample_spec.channels;
    return std::vector<SupportedStreamConfigRange>{
        {channels, kMinRate, kMaxRate, SampleFormat::F32},
        {channels, kMinRate, kMaxRate, SampleFormat::I16}};
  }

  // On failure `core`, and the callbacks in it, are destroyed before this
  // returns, outside the mainloop lock.
  HostResult<std::unique_ptr<Stream>> build(const StreamConfig& config, pa_sample_format_t format,
                                            std::unique_ptr<StreamCore> core) {
    const pa_sample_spec sample_spec{format, config.sample_rate,
                                     static_cast<std::uint8_t>(config.channels)};
    if (config.channels == 0 || config.channels > PA_CHANNELS_MAX ||
        !pa_sample_spec_valid(&sample_spec)) {
      return unexpected(error_of(PA_ERR_INVALID));
    }
    if (info_.record_from.empty()) return unexpected(error_of(PA_ERR_NOENTITY));
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

}  // namespace

std::shared_ptr<Device> make_device(std::shared_ptr<PulseConnection> connection, DeviceInfo info) {
  return std::make_shared<PulseDevice>(std::move(connection), std::move(info));
}

}  // namespace parlanto_audio::pulse
