#include "host/wasapi/wasapi_device.h"

namespace parlanto_audio::wasapi {
namespace {

// The state one stream's capture thread works with. The callbacks are handed
// over once the build has succeeded and before play() wakes the thread, which
// alone touches them from then on, until the drop has joined it.
struct StreamCore {
  EndpointInfo endpoint;
  StreamConfig config;
  SampleFormat format = SampleFormat::F32;
  InputDataCallbackF32 on_f32;
  InputDataCallbackI16 on_i16;
  StreamErrorCallback on_error;

  HANDLE stop_event = nullptr;   // set by the drop
  HANDLE start_event = nullptr;  // set by play()
  std::promise<HostResult<Ok>> built;
  std::promise<HostResult<Ok>> started;
  std::vector<float> silence_f32;  // a silent packet's samples, sized once
  std::vector<std::int16_t> silence_i16;

  StreamCore() {
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    start_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
  ~StreamCore() {
    if (stop_event) CloseHandle(stop_event);
    if (start_event) CloseHandle(start_event);
  }
  StreamCore(const StreamCore&) = delete;
  StreamCore& operator=(const StreamCore&) = delete;

  void report(const HostError& error) {
    if (!on_error) return;
    try {
      on_error(error);
    } catch (...) {
      // Nothing unwinds out of the capture thread.
    }
  }

  void deliver(const BYTE* data, UINT32 frames, bool silent) {
    const std::size_t count = static_cast<std::size_t>(frames) * config.channels;
    try {
      if (format == SampleFormat::F32) {
        const float* samples = silent ? silence_f32.data() : reinterpret_cast<const float*>(data);
        on_f32(
            std::span<const float>(samples, std::min(count, silent ? silence_f32.size() : count)));
      } else {
        const std::int16_t* samples =
            silent ? silence_i16.data() : reinterpret_cast<const std::int16_t*>(data);
        on_i16(std::span<const std::int16_t>(samples,
                                             std::min(count, silent ? silence_i16.size() : count)));
      }
    } catch (...) {
    }
  }

  WAVEFORMATEXTENSIBLE requested_format(const MixFormat& mix) const {
    WAVEFORMATEXTENSIBLE wanted{};
    const WORD bits = format == SampleFormat::F32 ? 32 : 16;
    wanted.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wanted.Format.nChannels = config.channels;
    wanted.Format.nSamplesPerSec = config.sample_rate;
    wanted.Format.wBitsPerSample = bits;
    wanted.Format.nBlockAlign = static_cast<WORD>(config.channels * bits / 8);
    wanted.Format.nAvgBytesPerSec = config.sample_rate * wanted.Format.nBlockAlign;
    wanted.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    wanted.Samples.wValidBitsPerSample = bits;
    wanted.dwChannelMask = config.channels == mix.format.Format.nChannels &&
                                   mix.format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE
                               ? mix.format.dwChannelMask
                               : 0;
    wanted.SubFormat =
        format == SampleFormat::F32 ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    return wanted;
  }

  // The capture thread: set-up (its outcome goes to `built`), then the wait
  // for play() or the drop, then the capture loop until the drop.
  void run() {
    ComScope com;
    if (!com.usable()) {
      built.set_value(unexpected(error_of(com.result(), "CoInitializeEx")));
      return;
    }
    HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!ready) {
      built.set_value(unexpected(error_of(HRESULT_FROM_WIN32(GetLastError()), "CreateEvent")));
      return;
    }
    struct HandleCloser {
      HANDLE handle;
      ~HandleCloser() { CloseHandle(handle); }
    } ready_closer{ready};
    ComPtr<IMMDevice> device;
    ComPtr<IAudioClient> client;
    ComPtr<IAudioCaptureClient> capture;
    HostResult<Ok> set = set_up(ready, device, client, capture);
    const bool usable = set.has_value();
    built.set_value(std::move(set));
    if (!usable) return;

    const HANDLE before_start[] = {stop_event, start_event};
    if (WaitForMultipleObjects(2, before_start, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
    if (const HRESULT hr = client->Start(); FAILED(hr)) {
      started.set_value(unexpected(error_of(hr, "Start")));
      return;
    }
    started.set_value(Ok{});
    DWORD task_index = 0;
    HANDLE task = AvSetMmThreadCharacteristicsW(L"Audio", &task_index);
    capture_until_dropped(capture.get(), ready);
    client->Stop();
    if (task) AvRevertMmThreadCharacteristics(task);
  }

  // The client in the stream's format (the mix format as it is when it
  // matches; otherwise the engine converts), signalling `ready`, and its
  // capture service.
  HostResult<Ok> set_up(HANDLE ready, ComPtr<IMMDevice>& device, ComPtr<IAudioClient>& client,
                        ComPtr<IAudioCaptureClient>& capture) {
    HRESULT hr = open_endpoint(endpoint.id, device);
    if (FAILED(hr)) return unexpected(error_of(hr, "open device"));
    hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void());
    if (FAILED(hr)) return unexpected(error_of(hr, "Activate"));
    auto mix = mix_format_of(device.get());
    if (!mix) return unexpected(std::move(mix.error()));
    const bool as_mixed = mix->config.channels == config.channels &&
                          mix->config.sample_rate == config.sample_rate &&
                          mix->config.sample_format == format;
    const WAVEFORMATEXTENSIBLE wanted = as_mixed ? mix->format : requested_format(*mix);
    DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
    if (!endpoint.capture) flags |= AUDCLNT_STREAMFLAGS_LOOPBACK;
    if (!as_mixed)
      flags |= AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
    hr =
        client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kBufferDuration, 0,
                           reinterpret_cast<const WAVEFORMATEX*>(&wanted), session_of(config.role));
    if (FAILED(hr)) return unexpected(error_of(hr, "Initialize"));
    hr = client->SetEventHandle(ready);
    if (FAILED(hr)) return unexpected(error_of(hr, "SetEventHandle"));
    hr = client->GetService(__uuidof(IAudioCaptureClient), capture.put_void());
    if (FAILED(hr)) return unexpected(error_of(hr, "GetService"));
    UINT32 buffer_frames = 0;
    hr = client->GetBufferSize(&buffer_frames);
    if (FAILED(hr)) return unexpected(error_of(hr, "GetBufferSize"));
    const std::size_t buffer_samples = static_cast<std::size_t>(buffer_frames) * config.channels;
    if (format == SampleFormat::F32) {
      silence_f32.assign(buffer_samples, 0.0f);
    } else {
      silence_i16.assign(buffer_samples, 0);
    }
    return Ok{};
  }

  // Drains the client on each of its signals (and every kPollMs) until the
  // drop; a failure or a stall is reported once, then the thread idles until
  // the drop.
  void capture_until_dropped(IAudioCaptureClient* capture, HANDLE ready) {
    const HANDLE running[] = {stop_event, ready};
    ULONGLONG last_packet = GetTickCount64();
    const std::int64_t tick_rate = ticks_per_second();
    std::int64_t covered = ticks_now();  // the time up to which frames were delivered
    for (;;) {
      const DWORD woke = WaitForMultipleObjects(2, running, FALSE, kPollMs);
      if (woke == WAIT_OBJECT_0) return;
      if (woke == WAIT_FAILED) {
        report(error_of(HRESULT_FROM_WIN32(GetLastError()), "wait"));
        return;
      }
      bool delivered = false;
      const HRESULT hr = drain(capture, delivered);
      const ULONGLONG now = GetTickCount64();
      if (delivered) {
        last_packet = now;
        covered = ticks_now();
      } else if (!endpoint.capture) {
        covered = fill_gap(covered, tick_rate);
      }
      if (SUCCEEDED(hr) && endpoint.capture && now - last_packet >= kStallMs) {
        report(HostError{"the device stopped delivering audio", ErrorKind::kGone});
        WaitForSingleObject(stop_event, INFINITE);
        return;
      }
      if (FAILED(hr)) {
        // The device is gone or the engine failed.
        report(error_of(hr));
        WaitForSingleObject(stop_event, INFINITE);
        return;
      }
    }
  }

  // Delivers the silence a loopback has owed since `covered`, once the gap is
  // long enough, in whole pieces; returns the time now covered.
  std::int64_t fill_gap(std::int64_t covered, std::int64_t tick_rate) {
    const std::int64_t gap_ms = (ticks_now() - covered) * 1000 / tick_rate;
    if (gap_ms < kGapMs) return covered;
    const auto piece =
        static_cast<UINT32>(static_cast<std::int64_t>(config.sample_rate) * kSilencePieceMs / 1000);
    for (std::int64_t ms = 0; ms + kSilencePieceMs <= gap_ms; ms += kSilencePieceMs) {
      deliver(nullptr, piece, true);
      covered += tick_rate * kSilencePieceMs / 1000;
    }
    return covered;
  }

  HRESULT drain(IAudioCaptureClient* capture, bool& delivered) {
    for (;;) {
      UINT32 pending = 0;
      HRESULT hr = capture->GetNextPacketSize(&pending);
      if (FAILED(hr)) return hr;
      if (pending == 0) return S_OK;
      BYTE* data = nullptr;
      UINT32 frames = 0;
      DWORD flags = 0;
      hr = capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
      if (hr == AUDCLNT_S_BUFFER_EMPTY) return S_OK;
      if (FAILED(hr)) return hr;
      if (frames > 0) {
        deliver(data, frames, (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0);
        delivered = true;
      }
      hr = capture->ReleaseBuffer(frames);
      if (FAILED(hr)) return hr;
    }
  }
};

class WasapiStream final : public Stream {
 public:
  WasapiStream(std::shared_ptr<StreamCore> core, std::thread thread)
      : core_(std::move(core)), thread_(std::move(thread)) {}

  // The drop: the capture thread sees the stop event, stops the client and
  // ends; only then are the callbacks destroyed. A drop from the capture
  // thread itself (inside a callback) cannot wait for it: the thread then
  // ends on its own and takes the callbacks with it.
  ~WasapiStream() override {
    SetEvent(core_->stop_event);
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
      return;
    }
    thread_.join();
    core_->on_f32 = nullptr;
    core_->on_i16 = nullptr;
    core_->on_error = nullptr;
  }

  WasapiStream(const WasapiStream&) = delete;
  WasapiStream& operator=(const WasapiStream&) = delete;

  HostResult<Ok> play() override {
    if (played_) return Ok{};
    played_ = true;
    auto started = core_->started.get_future();
    SetEvent(core_->start_event);
    if (started.wait_for(kHostCallDeadline) != std::future_status::ready) {
      return unexpected(timed_out("starting the stream"));
    }
    return started.get();
  }

 private:
  std::shared_ptr<StreamCore> core_;
  std::thread thread_;
  bool played_ = false;
};

class WasapiDevice final : public OneSidedDevice {
 public:
  explicit WasapiDevice(EndpointInfo info) : info_(std::move(info)) {}

  HostResult<DeviceId> id() const override { return DeviceId(info_.id); }
  HostResult<DeviceDescription> description() const override {
    return DeviceDescription{info_.name};
  }
  bool supports_input() const override { return info_.capture; }
  bool supports_output() const override { return !info_.capture; }

  HostResult<std::unique_ptr<Stream>> build_input_stream_f32(
      const StreamConfig& config, InputDataCallbackF32 on_data,
      StreamErrorCallback on_error) override {
    return build(config, SampleFormat::F32, {std::move(on_data), nullptr, std::move(on_error)});
  }

  HostResult<std::unique_ptr<Stream>> build_input_stream_i16(
      const StreamConfig& config, InputDataCallbackI16 on_data,
      StreamErrorCallback on_error) override {
    return build(config, SampleFormat::I16, {nullptr, std::move(on_data), std::move(on_error)});
  }

 private:
  HostResult<MixFormat> mix_format() const {
    ComScope com;
    if (!com.usable()) return unexpected(error_of(com.result(), "CoInitializeEx"));
    ComPtr<IMMDevice> device;
    const HRESULT hr = open_endpoint(info_.id, device);
    if (FAILED(hr)) return unexpected(error_of(hr));
    return mix_format_of(device.get());
  }

  HostResult<SupportedStreamConfig> default_config() const override {
    auto mix = mix_format();
    if (!mix) return unexpected(std::move(mix.error()));
    return mix->config;
  }

  // Shared mode runs at the engine's rate and channel count; the engine
  // converts samples to float or 16-bit integers on request.
  HostResult<std::vector<SupportedStreamConfigRange>> ranges() const override {
    auto mix = mix_format();
    if (!mix) return unexpected(std::move(mix.error()));
    const auto& c = mix->config;
    return std::vector<SupportedStreamConfigRange>{
        {c.channels, c.sample_rate, c.sample_rate, SampleFormat::F32},
        {c.channels, c.sample_rate, c.sample_rate, SampleFormat::I16}};
  }

  // On failure the thread has ended and `core`, with the callbacks, is
  // destroyed before this returns.
  struct Callbacks {
    InputDataCallbackF32 on_f32;
    InputDataCallbackI16 on_i16;
    StreamErrorCallback on_error;
  };

  HostResult<std::unique_ptr<Stream>> build(const StreamConfig& config, SampleFormat format,
                                            Callbacks callbacks) {
    if (config.channels == 0 || config.sample_rate == 0) {
      return unexpected(error_of(E_INVALIDARG, "stream configuration"));
    }
    auto core = std::make_shared<StreamCore>();
    core->format = format;
    if (!core->stop_event || !core->start_event) {
      return unexpected(error_of(HRESULT_FROM_WIN32(GetLastError()), "CreateEvent"));
    }
    core->endpoint = info_;
    core->config = config;
    auto built = core->built.get_future();
    std::thread thread([core] { core->run(); });
    if (built.wait_for(kHostCallDeadline) != std::future_status::ready) {
      // The thread ends by itself once the audio system answers.
      SetEvent(core->stop_event);
      thread.detach();
      return unexpected(timed_out("opening the stream"));
    }
    auto outcome = built.get();
    if (!outcome) {
      thread.join();
      return unexpected(std::move(outcome.error()));
    }
    core->on_f32 = std::move(callbacks.on_f32);
    core->on_i16 = std::move(callbacks.on_i16);
    core->on_error = std::move(callbacks.on_error);
    return std::unique_ptr<Stream>(new WasapiStream(std::move(core), std::move(thread)));
  }

  EndpointInfo info_;
};

}  // namespace

std::shared_ptr<Device> make_device(EndpointInfo info) {
  return std::make_shared<WasapiDevice>(std::move(info));
}

}  // namespace parlanto_audio::wasapi
