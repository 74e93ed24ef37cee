#include "host/wasapi/wasapi_device_watch.h"

#include "host/wasapi/wasapi_com.h"

namespace parlanto_audio::wasapi {
namespace {

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

}  // namespace

HostResult<std::unique_ptr<DeviceWatch>> start_device_watch(DeviceEventCallback on_event) {
  return WasapiDeviceWatch::start(std::move(on_event));
}

}  // namespace parlanto_audio::wasapi
