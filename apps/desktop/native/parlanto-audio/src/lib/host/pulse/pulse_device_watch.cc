#include "host/pulse/pulse_device_watch.h"

#include "host/device_roster.h"
#include "host/pulse/pulse_connection.h"

namespace parlanto_audio::pulse {
namespace {

// Device notifications from the server's subscription, on a connection of
// their own so a watch neither waits for nor disturbs requests and streams.
// A core is touched under its connection's mainloop lock only: by the
// subscription and the info callbacks it starts, and by the keeper thread
// when it moves to a new connection. Sinks are output devices,
// sources that are not monitors input devices, with the ids PulseDevice gives.
class PulseDeviceWatch final : public DeviceWatch {
 public:
  struct Core {
    DeviceEventCallback on_event;
    DeviceRoster roster;
    // The server's index of each known sink and source: its removal names
    // only that.
    std::map<std::uint32_t, std::string> sink_ids;
    std::map<std::uint32_t, std::string> source_ids;
    bool ready = false;  // the first snapshot is taken; later changes are events

    void emit(const std::optional<DeviceEvent>& event) {
      if (!ready || !event || !on_event) return;
      try {
        on_event(*event);
      } catch (...) {
        // Nothing may unwind into the mainloop.
      }
    }

    void present(std::uint32_t index, RosterEntry entry) {
      (entry.output ? sink_ids : source_ids)[index] = entry.id;
      emit(roster.present(entry));
    }

    static void on_sink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
      if (eol != 0 || !info || !info->name) return;
      static_cast<Core*>(userdata)->present(
          info->index, {std::string(kSinkPrefix) + info->name, info_of(*info).description, true});
    }

    static void on_source(pa_context*, const pa_source_info* info, int eol, void* userdata) {
      if (eol != 0 || !info || !info->name || info->monitor_of_sink != PA_INVALID_INDEX) return;
      static_cast<Core*>(userdata)->present(
          info->index,
          {std::string(kSourcePrefix) + info->name, info_of(*info).description, false});
    }

    // PipeWire's pulse server names a placeholder ("@DEFAULT_SINK@") while its
    // session manager is still choosing a default: not a device, and not a
    // change; the choice comes as a change of its own.
    static bool placeholder(const char* name) {
      const std::size_t length = name ? std::strlen(name) : 0;
      return length > 1 && name[0] == '@' && name[length - 1] == '@';
    }

    void default_is(const char* name, bool output) {
      if (placeholder(name)) return;
      const std::string id =
          name && *name ? std::string(output ? kSinkPrefix : kSourcePrefix) + name : "";
      emit(roster.default_is({id, "", output}));
    }

    static void on_server(pa_context*, const pa_server_info* info, void* userdata) {
      if (!info) return;
      auto* core = static_cast<Core*>(userdata);
      core->default_is(info->default_sink_name, true);
      core->default_is(info->default_source_name, false);
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
        if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
          auto& ids = output ? core->sink_ids : core->source_ids;
          if (auto found = ids.find(index); found != ids.end()) {
            const std::string id = std::move(found->second);
            ids.erase(found);
            core->emit(core->roster.absent(id));
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
      for (const DeviceEvent& event : core_->roster.changes_to(fresh->roster)) fresh->emit(event);
      core_ = std::move(fresh);
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

}  // namespace

HostResult<std::unique_ptr<DeviceWatch>> start_device_watch(DeviceEventCallback on_event) {
  return PulseDeviceWatch::start(std::move(on_event));
}

}  // namespace parlanto_audio::pulse
