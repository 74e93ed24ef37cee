#include "capture/recovery.h"

#include <pthread.h>

#include <system_error>
#include <utility>

namespace parlanto_audio {

std::string no_data_text() {
  return "no audio from the device for " + std::to_string(kNoDataTimeout.count() / 1000) + " s";
}

bool Recovery::start(Hooks hooks) {
  hooks_ = std::move(hooks);
  try {
    thread_ = std::thread([this] { loop(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

std::function<void()> Recovery::waker() const {
  return [weak = std::weak_ptr<Signal>(signal_)] {
    const std::shared_ptr<Signal> signal = weak.lock();
    if (!signal) return;
    {
      std::lock_guard lock(signal->mutex);
      signal->woken = true;
    }
    signal->wake.notify_all();
  };
}

void Recovery::stop() {
  {
    std::lock_guard lock(signal_->mutex);
    signal_->quit = true;
  }
  signal_->wake.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool Recovery::wait(std::chrono::milliseconds pause, bool wakeable) {
  std::unique_lock lock(signal_->mutex);
  signal_->wake.wait_for(lock, pause,
                         [&] { return signal_->quit || (wakeable && signal_->woken); });
  signal_->woken = false;
  return !signal_->quit;
}

void Recovery::loop() {
  pthread_setname_np(pthread_self(), "parlanto-watch");
  bool silence_reported = false;
  for (;;) {
    if (hooks_.needs_open()) {
      hooks_.drop();
      while (!hooks_.open()) {
        if (!wait(kReopenInterval, false)) return;
      }
      silence_reported = false;
    } else {
      const double idle = hooks_.idle_ms();
      if (idle < static_cast<double>(kNoDataTimeout.count())) {
        silence_reported = false;
      } else if (!silence_reported) {
        silence_reported = true;
        hooks_.no_data();
      }
      if (hooks_.upkeep) hooks_.upkeep();
    }
    if (!wait(kWatchInterval, true)) return;
  }
}

}  // namespace parlanto_audio
