// The audio-host seam on Windows' core audio (WASAPI, shared mode). The only
// file that includes Windows' audio headers.
//
// Devices. Every active endpoint is a device: a capture endpoint has an input
// side, a render endpoint an output side, and an input stream built on a
// render endpoint records what it plays (loopback). A device's id is the
// endpoint id ("{0.0.1.00000000}.{guid}"); device objects are snapshots of id,
// flow and friendly name, so no COM object crosses threads or apartments.
//
// Threads. Host and device requests run on the calling JavaScript thread
// inside their own COM scope and share nothing, so they need no lock. Each
// stream owns one capture thread, which sets COM up for itself, opens the
// endpoint, waits on the buffer event and calls the data callback with every
// packet the engine hands over. The stream's drop stops that thread and joins
// it, then destroys the callbacks. A device watch, likewise, owns one thread
// (see the notifications below).

#include <windows.h>
// windows.h first: the audio headers build on its types.
#include <audioclient.h>
#include <avrt.h>
#include <ksmedia.h>
#include <mmdeviceapi.h>
#include <propsys.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/audio_host.h"
#include "host/device_roster.h"

namespace parlanto_audio {
namespace {

// The engine's buffer: generous, because a loaded machine may leave the
// capture thread unscheduled for a while; the period (and so the latency) is
// the engine's own, about 10 ms.
constexpr REFERENCE_TIME kBufferDuration = 5'000'000;  // 500 ms in 100 ns units
// Loopback endpoints signal no buffer events on older systems: the thread
// also drains the buffer whenever this much time passes without one.
constexpr DWORD kPollMs = 20;
// A capture endpoint delivers a packet every period, silent or not, for as
// long as it works; one that delivers none for this long has gone away even if
// no call says so (Wine's driver when its sound server dies). Below the
// capture's own no-data watchdog, so one outage is one error and a reopen.
// Loopback is exempt: a render endpoint may deliver nothing while all is silent.
constexpr ULONGLONG kStallMs = 1500;
// A loopback, by contrast, gets no packets at all while nothing plays. Such a
// gap is real silence: it is filled with silent buffers of this length once it
// has lasted kGapMs, so that data flows and the end of speech can be measured.
constexpr std::int64_t kSilencePieceMs = 10;
constexpr std::int64_t kGapMs = 50;

std::int64_t ticks_now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

std::int64_t ticks_per_second() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}
// Each role is an audio session of its own, so the volume and mute the
// system keeps for one never carry over to the other.
constexpr GUID kSessions[] = {
    {0x7061726c, 0x616e, 0x746f, {0x6d, 0x69, 0x63, 0x72, 0x6f, 0x70, 0x68, 0x6f}},
    {0x7061726c, 0x616e, 0x746f, {0x73, 0x79, 0x73, 0x74, 0x65, 0x6d, 0x61, 0x75}}};
const GUID* session_of(StreamRole role) {
  return &kSessions[role == StreamRole::kSystemAudio ? 1 : 0];
}
// {a45c254e-df1c-4efd-8020-67d146a850e0}, 14: the endpoint's friendly name.
constexpr PROPERTYKEY kFriendlyName{
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

// An owned COM interface pointer.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  T** put() {
    reset();
    return &ptr_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  void reset() {
    if (ptr_) ptr_->Release();
    ptr_ = nullptr;
  }

 private:
  T* ptr_ = nullptr;
};

// COM on the calling thread for the scope's duration. A thread that already
// has COM (in either apartment model) keeps it as it is.
class ComScope {
 public:
  ComScope() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  // False only when COM cannot be used on this thread at all.
  bool usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

class CoTaskText {
 public:
  ~CoTaskText() { CoTaskMemFree(text_); }
  LPWSTR* put() { return &text_; }
  LPCWSTR get() const { return text_; }

 private:
  LPWSTR text_ = nullptr;
};

std::string utf8_of(const wchar_t* text) {
  if (!text || !*text) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<std::size_t>(size - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring wide_of(std::string_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), size);
  return out;
}

// What an HRESULT means, with its name and code, for a person to read.
HostError error_of(HRESULT hr, std::string_view during = {}) {
  struct Known {
    HRESULT code;
    const char* name;
    const char* meaning;
  };
  // The retry of stream set-up looks for "device is busy" and "not available".
  static constexpr Known kKnown[] = {
      {AUDCLNT_E_NOT_INITIALIZED, "AUDCLNT_E_NOT_INITIALIZED", "the stream is not initialised"},
      {AUDCLNT_E_ALREADY_INITIALIZED, "AUDCLNT_E_ALREADY_INITIALIZED",
       "the stream is already initialised"},
      {AUDCLNT_E_WRONG_ENDPOINT_TYPE, "AUDCLNT_E_WRONG_ENDPOINT_TYPE",
       "the endpoint cannot be captured this way"},
      {AUDCLNT_E_DEVICE_INVALIDATED, "AUDCLNT_E_DEVICE_INVALIDATED",
       "the device was removed or disabled"},
      {AUDCLNT_E_UNSUPPORTED_FORMAT, "AUDCLNT_E_UNSUPPORTED_FORMAT",
       "the device does not support this sample rate or format"},
      {AUDCLNT_E_DEVICE_IN_USE, "AUDCLNT_E_DEVICE_IN_USE",
       "the device is busy (used exclusively by another application)"},
      {AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED, "AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED",
       "exclusive mode is not allowed"},
      {AUDCLNT_E_ENDPOINT_CREATE_FAILED, "AUDCLNT_E_ENDPOINT_CREATE_FAILED",
       "the audio endpoint could not be created"},
      {AUDCLNT_E_SERVICE_NOT_RUNNING, "AUDCLNT_E_SERVICE_NOT_RUNNING",
       "the Windows audio service is not available"},
      {AUDCLNT_E_BUFFER_ERROR, "AUDCLNT_E_BUFFER_ERROR", "the capture buffer could not be read"},
      {AUDCLNT_E_BUFFER_SIZE_ERROR, "AUDCLNT_E_BUFFER_SIZE_ERROR", "the buffer size is invalid"},
      {AUDCLNT_E_CPUUSAGE_EXCEEDED, "AUDCLNT_E_CPUUSAGE_EXCEEDED",
       "the audio engine's processor use was exceeded"},
      {AUDCLNT_E_RESOURCES_INVALIDATED, "AUDCLNT_E_RESOURCES_INVALIDATED",
       "the stream's resources were invalidated"},
      {AUDCLNT_E_INVALID_STREAM_FLAG, "AUDCLNT_E_INVALID_STREAM_FLAG", "a stream flag is invalid"},
      {E_NOTFOUND, "E_NOTFOUND", "no such device"},
      {E_OUTOFMEMORY, "E_OUTOFMEMORY", "out of memory"},
      {E_INVALIDARG, "E_INVALIDARG", "an argument is invalid"},
      {E_POINTER, "E_POINTER", "a pointer is invalid"},
      {E_ACCESSDENIED, "E_ACCESSDENIED", "access denied (check the microphone privacy settings)"},
      {E_NOINTERFACE, "E_NOINTERFACE", "the interface is not supported"},
      {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED", "COM is not initialised on this thread"},
  };
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  std::string text(during);
  if (!text.empty()) text += ": ";
  for (const Known& known : kKnown) {
    if (known.code == hr) {
      text += known.meaning;
      text += " (";
      text += known.name;
      text += ", ";
      text += code;
      text += ")";
      return HostError{std::move(text)};
    }
  }
  wchar_t* system_text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&system_text), 0, nullptr);
  std::string meaning = length ? utf8_of(system_text) : std::string();
  if (system_text) LocalFree(system_text);
  while (!meaning.empty() && (meaning.back() == '\n' || meaning.back() == '\r' ||
                              meaning.back() == ' ' || meaning.back() == '.')) {
    meaning.pop_back();
  }
  text += meaning.empty() ? "error" : meaning;
  text += " (HRESULT ";
  text += code;
  text += ")";
  return HostError{std::move(text)};
}

// What a call that the audio system left unanswered reports: it names the call.
HostError timed_out(std::string_view what) {
  return HostError{"Timeout: the audio system did not answer within " +
                   std::to_string(kHostCallDeadline.count() / 1000) + " s (" + std::string(what) +
                   ")"};
}

HRESULT make_enumerator(ComPtr<IMMDeviceEnumerator>& enumerator) {
  return CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                          __uuidof(IMMDeviceEnumerator), enumerator.put_void());
}

SampleFormat format_of(const WAVEFORMATEX& format) {
  WORD tag = format.wFormatTag;
  if (tag == WAVE_FORMAT_EXTENSIBLE && format.cbSize >= 22) {
    const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
    if (IsEqualGUID(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)) {
      tag = WAVE_FORMAT_IEEE_FLOAT;
    } else if (IsEqualGUID(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) {
      tag = WAVE_FORMAT_PCM;
    }
  }
  if (tag == WAVE_FORMAT_IEEE_FLOAT) {
    return format.wBitsPerSample == 64 ? SampleFormat::F64 : SampleFormat::F32;
  }
  switch (format.wBitsPerSample) {
    case 8:
      return SampleFormat::U8;
    case 16:
      return SampleFormat::I16;
    case 24:
      return SampleFormat::I24;
    case 32:
      return SampleFormat::I32;
    default:
      return SampleFormat::I64;
  }
}

// The engine's mix format of an endpoint: what shared mode delivers untouched.
struct MixFormat {
  WAVEFORMATEXTENSIBLE format{};
  SupportedStreamConfig config;
};

HostResult<MixFormat> mix_format_of(IMMDevice* device) {
  ComPtr<IAudioClient> client;
  HRESULT hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void());
  if (FAILED(hr)) return unexpected(error_of(hr, "Activate"));
  WAVEFORMATEX* mix = nullptr;
  hr = client->GetMixFormat(&mix);
  if (FAILED(hr)) return unexpected(error_of(hr, "GetMixFormat"));
  MixFormat out;
  const std::size_t size = sizeof(WAVEFORMATEX) + mix->cbSize;
  std::memcpy(&out.format, mix, std::min(size, sizeof out.format));
  // Extra bytes beyond the extensible form are not kept: neither is their claim.
  out.format.Format.cbSize = static_cast<WORD>(
      std::min<std::size_t>(mix->cbSize, sizeof out.format - sizeof(WAVEFORMATEX)));
  out.config = {mix->nChannels, mix->nSamplesPerSec, format_of(*mix)};
  CoTaskMemFree(mix);
  return out;
}

// What a device lookup learns about one endpoint.
struct EndpointInfo {
  std::string id;
  std::string name;
  bool capture = false;  // a capture endpoint; else a render endpoint
};

HostResult<EndpointInfo> info_of(IMMDevice* device) {
  EndpointInfo info;
  CoTaskText id;
  HRESULT hr = device->GetId(id.put());
  if (FAILED(hr)) return unexpected(error_of(hr, "GetId"));
  info.id = utf8_of(id.get());
  ComPtr<IMMEndpoint> endpoint;
  hr = device->QueryInterface(__uuidof(IMMEndpoint), endpoint.put_void());
  if (FAILED(hr)) return unexpected(error_of(hr, "IMMEndpoint"));
  EDataFlow flow = eRender;
  hr = endpoint->GetDataFlow(&flow);
  if (FAILED(hr)) return unexpected(error_of(hr, "GetDataFlow"));
  info.capture = flow == eCapture;
  ComPtr<IPropertyStore> properties;
  hr = device->OpenPropertyStore(STGM_READ, properties.put());
  if (FAILED(hr)) return unexpected(error_of(hr, "OpenPropertyStore"));
  PROPVARIANT name;
  PropVariantInit(&name);
  hr = properties->GetValue(kFriendlyName, &name);
  if (SUCCEEDED(hr) && name.vt == VT_LPWSTR) info.name = utf8_of(name.pwszVal);
  PropVariantClear(&name);
  if (info.name.empty()) info.name = info.id;
  return info;
}

// Opens the endpoint by id on the calling thread's COM.
HRESULT open_endpoint(const std::string& id, ComPtr<IMMDevice>& device) {
  ComPtr<IMMDeviceEnumerator> enumerator;
  HRESULT hr = make_enumerator(enumerator);
  if (FAILED(hr)) return hr;
  const std::wstring wide = wide_of(id);
  hr = enumerator->GetDevice(wide.c_str(), device.put());
  if (FAILED(hr)) return hr;
  DWORD state = 0;
  hr = device->GetState(&state);
  if (FAILED(hr)) return hr;
  return state == DEVICE_STATE_ACTIVE ? S_OK : E_NOTFOUND;
}

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
    ComPtr<IMMDevice> device;
    HRESULT hr = open_endpoint(endpoint.id, device);
    if (FAILED(hr)) {
      built.set_value(unexpected(error_of(hr, "open device")));
      return;
    }
    ComPtr<IAudioClient> client;
    hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.put_void());
    if (FAILED(hr)) {
      built.set_value(unexpected(error_of(hr, "Activate")));
      return;
    }
    auto mix = mix_format_of(device.get());
    if (!mix) {
      built.set_value(unexpected(std::move(mix.error())));
      return;
    }
    // The mix format as it is when it matches; otherwise the engine converts.
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
    if (FAILED(hr)) {
      built.set_value(unexpected(error_of(hr, "Initialize")));
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
    hr = client->SetEventHandle(ready);
    if (FAILED(hr)) {
      built.set_value(unexpected(error_of(hr, "SetEventHandle")));
      return;
    }
    ComPtr<IAudioCaptureClient> capture;
    hr = client->GetService(__uuidof(IAudioCaptureClient), capture.put_void());
    if (FAILED(hr)) {
      built.set_value(unexpected(error_of(hr, "GetService")));
      return;
    }
    UINT32 buffer_frames = 0;
    hr = client->GetBufferSize(&buffer_frames);
    if (FAILED(hr)) {
      built.set_value(unexpected(error_of(hr, "GetBufferSize")));
      return;
    }
    const std::size_t buffer_samples = static_cast<std::size_t>(buffer_frames) * config.channels;
    if (format == SampleFormat::F32) {
      silence_f32.assign(buffer_samples, 0.0f);
    } else {
      silence_i16.assign(buffer_samples, 0);
    }
    built.set_value(Ok{});

    const HANDLE before_start[] = {stop_event, start_event};
    if (WaitForMultipleObjects(2, before_start, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
    hr = client->Start();
    if (FAILED(hr)) {
      started.set_value(unexpected(error_of(hr, "Start")));
      return;
    }
    started.set_value(Ok{});

    DWORD task_index = 0;
    HANDLE task = AvSetMmThreadCharacteristicsW(L"Audio", &task_index);
    const HANDLE running[] = {stop_event, ready};
    ULONGLONG last_packet = GetTickCount64();
    const std::int64_t tick_rate = ticks_per_second();
    std::int64_t covered = ticks_now();  // the time up to which frames were delivered
    for (;;) {
      const DWORD woke = WaitForMultipleObjects(2, running, FALSE, kPollMs);
      if (woke == WAIT_OBJECT_0) break;
      if (woke == WAIT_FAILED) {
        report(error_of(HRESULT_FROM_WIN32(GetLastError()), "wait"));
        break;
      }
      bool delivered = false;
      hr = drain(capture.get(), delivered);
      const ULONGLONG now = GetTickCount64();
      if (delivered) {
        last_packet = now;
        covered = ticks_now();
      } else if (!endpoint.capture) {
        covered = fill_gap(covered, tick_rate);
      }
      if (SUCCEEDED(hr) && endpoint.capture && now - last_packet >= kStallMs) {
        report(HostError{"the device stopped delivering audio"});
        WaitForSingleObject(stop_event, INFINITE);
        break;
      }
      if (FAILED(hr)) {
        // The device is gone or the engine failed: told once, then the
        // thread idles until the drop.
        report(error_of(hr));
        WaitForSingleObject(stop_event, INFINITE);
        break;
      }
    }
    client->Stop();
    if (task) AvRevertMmThreadCharacteristics(task);
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

class WasapiDevice final : public Device {
 public:
  explicit WasapiDevice(EndpointInfo info) : info_(std::move(info)) {}

  HostResult<DeviceId> id() const override { return DeviceId(info_.id); }
  HostResult<DeviceDescription> description() const override {
    return DeviceDescription{info_.name};
  }
  bool supports_input() const override { return info_.capture; }
  bool supports_output() const override { return !info_.capture; }

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
    return build(config, SampleFormat::F32, {std::move(on_data), nullptr, std::move(on_error)});
  }

  HostResult<std::unique_ptr<Stream>> build_input_stream_i16(
      const StreamConfig& config, InputDataCallbackI16 on_data,
      StreamErrorCallback on_error) override {
    return build(config, SampleFormat::I16, {nullptr, std::move(on_data), std::move(on_error)});
  }

 private:
  static HostError not_this_side(const char* side) {
    return HostError{std::string("the device has no ") + side + " side"};
  }

  HostResult<MixFormat> mix_format() const {
    ComScope com;
    if (!com.usable()) return unexpected(error_of(com.result(), "CoInitializeEx"));
    ComPtr<IMMDevice> device;
    const HRESULT hr = open_endpoint(info_.id, device);
    if (FAILED(hr)) return unexpected(error_of(hr));
    return mix_format_of(device.get());
  }

  HostResult<SupportedStreamConfig> default_config() const {
    auto mix = mix_format();
    if (!mix) return unexpected(std::move(mix.error()));
    return mix->config;
  }

  // Shared mode runs at the engine's rate and channel count; the engine
  // converts samples to float or 16-bit integers on request.
  HostResult<std::vector<SupportedStreamConfigRange>> ranges() const {
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

// Device notifications. The system calls the notification client on a thread
// of its own, where it must not block nor call back into the enumerator's
// registration: each call only appends what it was told to the watch's queue
// (a lock held for the append alone) and wakes the watch's thread. That
// thread owns everything else: its COM, the enumerator and the registration,
// the roster of devices, and the lookups of ids and names (the same helpers
// as the device list), and it alone calls the event callback. Endpoints that
// are not active are not in the device list: one becoming active is added,
// one leaving the active state is removed. Defaults are the console role's,
// the one the default lookups use; the other roles' announcements are not
// events.
struct Notice {
  enum class Kind : std::uint8_t { kChanged, kRemoved, kDefault };
  Kind kind = Kind::kChanged;
  std::wstring id;  // empty for a default of none
  bool active = true;
  bool output = false;
};

struct WatchQueue {
  std::mutex mutex;
  std::vector<Notice> notices;
  bool closed = false;
  HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);

  WatchQueue() = default;
  ~WatchQueue() {
    if (wake) CloseHandle(wake);
  }
  WatchQueue(const WatchQueue&) = delete;
  WatchQueue& operator=(const WatchQueue&) = delete;

  void push(Notice notice) {
    {
      std::lock_guard guard(mutex);
      if (closed) return;
      try {
        notices.push_back(std::move(notice));
      } catch (...) {
        return;  // out of memory: the notice is lost, the system's thread is not
      }
    }
    SetEvent(wake);
  }

  std::vector<Notice> take() {
    std::lock_guard guard(mutex);
    return std::exchange(notices, {});
  }

  void close() {
    std::lock_guard guard(mutex);
    closed = true;
    notices.clear();
  }
};

// COM interfaces have no virtual destructor: the object deletes itself, in
// Release(), as the type it is.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class NotificationClient final : public IMMNotificationClient {
 public:
  explicit NotificationClient(std::shared_ptr<WatchQueue> queue) : queue_(std::move(queue)) {}

  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IMMNotificationClient))) {
      *out = static_cast<IMMNotificationClient*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR id) override {
    return tell(Notice::Kind::kChanged, id, true, false);
  }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) override {
    return tell(Notice::Kind::kRemoved, id, false, false);
  }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) override {
    return tell(Notice::Kind::kChanged, id, state == DEVICE_STATE_ACTIVE, false);
  }
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR id) override {
    if (role != eConsole || (flow != eRender && flow != eCapture)) return S_OK;
    return tell(Notice::Kind::kDefault, id, true, flow == eRender);
  }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

 private:
  ~NotificationClient() = default;

  HRESULT tell(Notice::Kind kind, LPCWSTR id, bool active, bool output) {
    if (kind != Notice::Kind::kDefault && (!id || !*id)) return S_OK;
    try {
      queue_->push(Notice{kind, id ? std::wstring(id) : std::wstring(), active, output});
    } catch (...) {
      // Nothing unwinds into the system's thread.
    }
    return S_OK;
  }

  std::atomic<ULONG> references_{1};
  std::shared_ptr<WatchQueue> queue_;
};
#pragma GCC diagnostic pop

// The watch's thread and what it shares with the watch object.
struct WatchCore {
  DeviceEventCallback on_event;
  std::shared_ptr<WatchQueue> queue = std::make_shared<WatchQueue>();
  HANDLE stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::promise<HostResult<Ok>> started;
  DeviceRoster roster;

  WatchCore() = default;
  ~WatchCore() {
    if (stop_event) CloseHandle(stop_event);
  }
  WatchCore(const WatchCore&) = delete;
  WatchCore& operator=(const WatchCore&) = delete;

  static RosterEntry entry_of(const EndpointInfo& info) {
    return RosterEntry{info.id, info.name, !info.capture};
  }

  void run() {
    ComScope com;
    if (!com.usable()) {
      started.set_value(unexpected(error_of(com.result(), "CoInitializeEx")));
      return;
    }
    ComPtr<IMMDeviceEnumerator> enumerator;
    HRESULT hr = make_enumerator(enumerator);
    if (FAILED(hr)) {
      started.set_value(unexpected(error_of(hr, "MMDeviceEnumerator")));
      return;
    }
    // Registered before the snapshot, so nothing falls between the two; what
    // the snapshot already shows gives no event.
    auto* client = new NotificationClient(queue);
    hr = enumerator->RegisterEndpointNotificationCallback(client);
    if (FAILED(hr)) {
      client->Release();
      started.set_value(unexpected(error_of(hr, "RegisterEndpointNotificationCallback")));
      return;
    }
    HostResult<Ok> snapshot = take_snapshot(enumerator.get());
    const bool ok = snapshot.has_value();
    started.set_value(std::move(snapshot));
    if (ok) {
      const HANDLE waits[] = {stop_event, queue->wake};
      while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        for (const Notice& notice : queue->take()) handle(enumerator.get(), notice);
      }
    }
    // Returns once no call of the client is in progress; after it none starts.
    enumerator->UnregisterEndpointNotificationCallback(client);
    queue->close();
    client->Release();
  }

  HostResult<Ok> take_snapshot(IMMDeviceEnumerator* enumerator) {
    ComPtr<IMMDeviceCollection> collection;
    HRESULT hr = enumerator->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, collection.put());
    if (FAILED(hr)) return unexpected(error_of(hr, "EnumAudioEndpoints"));
    UINT count = 0;
    hr = collection->GetCount(&count);
    if (FAILED(hr)) return unexpected(error_of(hr, "GetCount"));
    std::vector<RosterEntry> present;
    for (UINT i = 0; i < count; ++i) {
      ComPtr<IMMDevice> device;
      if (FAILED(collection->Item(i, device.put()))) continue;
      if (auto info = info_of(device.get())) present.push_back(entry_of(*info));
    }
    roster.reset(present, default_of(enumerator, eCapture).id, default_of(enumerator, eRender).id);
    return Ok{};
  }

  // The console default of `flow` as the default lookups see it; no id when
  // there is none or it cannot be read.
  static RosterEntry default_of(IMMDeviceEnumerator* enumerator, EDataFlow flow) {
    RosterEntry entry{{}, {}, flow == eRender};
    ComPtr<IMMDevice> device;
    if (FAILED(enumerator->GetDefaultAudioEndpoint(flow, eConsole, device.put()))) return entry;
    if (auto info = info_of(device.get())) entry = entry_of(*info);
    return entry;
  }

  void handle(IMMDeviceEnumerator* enumerator, const Notice& notice) {
    std::optional<DeviceEvent> event;
    const std::string id = utf8_of(notice.id.c_str());
    if (notice.kind == Notice::Kind::kDefault) {
      // Asked again rather than taken from the notice: the event names the
      // device a capture without an id would open now.
      event = roster.default_is(default_of(enumerator, notice.output ? eRender : eCapture));
    } else if (notice.kind == Notice::Kind::kRemoved || !notice.active) {
      event = roster.absent(id);
    } else {
      // Announced as active: the endpoint as it is now, which may have changed again.
      ComPtr<IMMDevice> device;
      std::optional<EndpointInfo> info;
      if (SUCCEEDED(open_endpoint(id, device))) {
        if (auto read = info_of(device.get())) info = std::move(*read);
      }
      event = info ? roster.present(entry_of(*info)) : roster.absent(id);
    }
    if (!event || !on_event) return;
    try {
      on_event(*event);
    } catch (...) {
      // Nothing unwinds out of the watch's thread.
    }
  }
};

class WasapiDeviceWatch final : public DeviceWatch {
 public:
  static HostResult<std::unique_ptr<DeviceWatch>> start(DeviceEventCallback on_event) {
    auto core = std::make_shared<WatchCore>();
    if (!core->stop_event || !core->queue->wake) {
      return unexpected(error_of(HRESULT_FROM_WIN32(GetLastError()), "CreateEvent"));
    }
    core->on_event = std::move(on_event);
    auto started = core->started.get_future();
    std::thread thread([core] { core->run(); });
    if (started.wait_for(kHostCallDeadline) != std::future_status::ready) {
      // The thread ends by itself once the audio system answers.
      SetEvent(core->stop_event);
      thread.detach();
      return unexpected(timed_out("watching the devices"));
    }
    auto outcome = started.get();
    if (!outcome) {
      thread.join();
      return unexpected(std::move(outcome.error()));
    }
    return std::unique_ptr<DeviceWatch>(new WasapiDeviceWatch(std::move(core), std::move(thread)));
  }

  // The thread unregisters the client and ends; only then does the callback
  // go. Destroyed from inside its own callback, the watch cannot wait for the
  // thread: it ends on its own and takes the callback with it.
  ~WasapiDeviceWatch() override {
    SetEvent(core_->stop_event);
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
      return;
    }
    thread_.join();
    core_->on_event = nullptr;
  }

  WasapiDeviceWatch(const WasapiDeviceWatch&) = delete;
  WasapiDeviceWatch& operator=(const WasapiDeviceWatch&) = delete;

 private:
  WasapiDeviceWatch(std::shared_ptr<WatchCore> core, std::thread thread)
      : core_(std::move(core)), thread_(std::move(thread)) {}

  std::shared_ptr<WatchCore> core_;
  std::thread thread_;
};

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "{0.0.F.SSSSSSSS}.{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}": F the flow (0
// render, 1 capture), S hexadecimal, x hexadecimal.
bool is_endpoint_id(std::string_view text) {
  constexpr std::string_view kShape = "{0.0.F.HHHHHHHH}.{HHHHHHHH-HHHH-HHHH-HHHH-HHHHHHHHHHHH}";
  if (text.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const char want = kShape[i];
    const char got = text[i];
    if (want == 'H') {
      if (!is_hex(got)) return false;
    } else if (want == 'F') {
      if (got != '0' && got != '1') return false;
    } else if (want != got) {
      return false;
    }
  }
  return true;
}

class WasapiHost final : public Host {
 public:
  HostResult<std::vector<std::shared_ptr<Device>>> devices() override {
    ComScope com;
    if (!com.usable()) return unexpected(error_of(com.result(), "CoInitializeEx"));
    ComPtr<IMMDeviceEnumerator> enumerator;
    HRESULT hr = make_enumerator(enumerator);
    if (FAILED(hr)) return unexpected(error_of(hr, "MMDeviceEnumerator"));
    ComPtr<IMMDeviceCollection> collection;
    hr = enumerator->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, collection.put());
    if (FAILED(hr)) return unexpected(error_of(hr, "EnumAudioEndpoints"));
    UINT count = 0;
    hr = collection->GetCount(&count);
    if (FAILED(hr)) return unexpected(error_of(hr, "GetCount"));
    std::vector<std::shared_ptr<Device>> devices;
    for (UINT i = 0; i < count; ++i) {
      ComPtr<IMMDevice> device;
      if (FAILED(collection->Item(i, device.put()))) continue;
      auto info = info_of(device.get());
      // An endpoint that cannot be read is left out; the others are listed.
      if (info) devices.push_back(std::make_shared<WasapiDevice>(std::move(*info)));
    }
    return devices;
  }

  std::optional<DeviceId> parse_device_id(std::string_view text) const override {
    if (!is_endpoint_id(text)) return std::nullopt;
    return DeviceId(std::string(text));
  }

  // An endpoint that is missing, unplugged or disabled is no device; an
  // enumerator that cannot be had is an error.
  HostResult<std::shared_ptr<Device>> device_by_id(const DeviceId& id) override {
    ComScope com;
    if (!com.usable()) return unexpected(error_of(com.result(), "CoInitializeEx"));
    ComPtr<IMMDeviceEnumerator> enumerator;
    const HRESULT hr = make_enumerator(enumerator);
    if (FAILED(hr)) return unexpected(error_of(hr, "MMDeviceEnumerator"));
    ComPtr<IMMDevice> device;
    if (FAILED(open_endpoint(id.to_string(), device))) return std::shared_ptr<Device>();
    return device_of(device.get());
  }

  HostResult<std::shared_ptr<Device>> default_input_device() override {
    return default_device(eCapture);
  }
  HostResult<std::shared_ptr<Device>> default_output_device() override {
    return default_device(eRender);
  }

  HostResult<std::unique_ptr<DeviceWatch>> watch_devices(DeviceEventCallback on_event) override {
    return WasapiDeviceWatch::start(std::move(on_event));
  }

 private:
  static std::shared_ptr<Device> device_of(IMMDevice* device) {
    auto info = info_of(device);
    if (!info) return nullptr;
    return std::make_shared<WasapiDevice>(std::move(*info));
  }

  static HostResult<std::shared_ptr<Device>> default_device(EDataFlow flow) {
    ComScope com;
    if (!com.usable()) return unexpected(error_of(com.result(), "CoInitializeEx"));
    ComPtr<IMMDeviceEnumerator> enumerator;
    HRESULT hr = make_enumerator(enumerator);
    if (FAILED(hr)) return unexpected(error_of(hr, "MMDeviceEnumerator"));
    ComPtr<IMMDevice> device;
    hr = enumerator->GetDefaultAudioEndpoint(flow, eConsole, device.put());
    if (hr == E_NOTFOUND) return std::shared_ptr<Device>();
    if (FAILED(hr)) return unexpected(error_of(hr, "GetDefaultAudioEndpoint"));
    return device_of(device.get());
  }
};

}  // namespace

std::shared_ptr<Host> default_host() {
  // Never destroyed: a worker thread may ask for the host during process exit.
  static auto* mutex = new std::mutex;
  static auto* current = new std::weak_ptr<WasapiHost>;
  std::lock_guard guard(*mutex);
  if (auto host = current->lock()) return host;
  auto host = std::make_shared<WasapiHost>();
  *current = host;
  return host;
}

}  // namespace parlanto_audio
