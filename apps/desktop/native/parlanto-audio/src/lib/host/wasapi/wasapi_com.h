#pragma once

// What every part of the WASAPI backend shares: COM pointers and scopes, text
// conversions, HRESULTs as text, the endpoints' formats and names. This folder
// is the only place that includes Windows' audio headers.

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

namespace parlanto_audio::wasapi {

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

inline std::int64_t ticks_now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

inline std::int64_t ticks_per_second() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}
// Each role is an audio session of its own, so the volume and mute the
// system keeps for one never carry over to the other.
constexpr GUID kSessions[] = {
    {0x7061726c, 0x616e, 0x746f, {0x6d, 0x69, 0x63, 0x72, 0x6f, 0x70, 0x68, 0x6f}},
    {0x7061726c, 0x616e, 0x746f, {0x73, 0x79, 0x73, 0x74, 0x65, 0x6d, 0x61, 0x75}}};
inline const GUID* session_of(StreamRole role) {
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

inline std::string utf8_of(const wchar_t* text) {
  if (!text || !*text) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<std::size_t>(size - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}

inline std::wstring wide_of(std::string_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), size);
  return out;
}

// What an HRESULT means, with its name and code, for a person to read.
// The kind the callers above the seam act on: a device in use or an audio
// service that is starting again is worth another try.
inline ErrorKind kind_of(HRESULT hr) {
  switch (hr) {
    case AUDCLNT_E_DEVICE_IN_USE:
    case AUDCLNT_E_SERVICE_NOT_RUNNING:
      return ErrorKind::kBusy;
    case AUDCLNT_E_DEVICE_INVALIDATED:
    case AUDCLNT_E_RESOURCES_INVALIDATED:
    case E_NOTFOUND:
      return ErrorKind::kGone;
    default:
      return ErrorKind::kOther;
  }
}

inline HostError error_of(HRESULT hr, std::string_view during = {}) {
  struct Known {
    HRESULT code;
    const char* name;
    const char* meaning;
  };
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
      return HostError{std::move(text), kind_of(hr)};
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
  return HostError{std::move(text), kind_of(hr)};
}

// What a call that the audio system left unanswered reports: it names the call.
inline HostError timed_out(std::string_view what) {
  return parlanto_audio::timed_out("audio system", what);
}

inline HRESULT make_enumerator(ComPtr<IMMDeviceEnumerator>& enumerator) {
  return CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                          __uuidof(IMMDeviceEnumerator), enumerator.put_void());
}

inline SampleFormat format_of(const WAVEFORMATEX& format) {
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

inline HostResult<MixFormat> mix_format_of(IMMDevice* device) {
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

inline HostResult<EndpointInfo> info_of(IMMDevice* device) {
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
inline HRESULT open_endpoint(const std::string& id, ComPtr<IMMDevice>& device) {
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

}  // namespace parlanto_audio::wasapi
