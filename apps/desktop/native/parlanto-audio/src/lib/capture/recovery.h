#pragma once

// The policy every capture keeps its stream by, on a thread of its own
// (named "parlanto-watch"), whoever opened it: a stream that failed is opened
// again, one attempt every kReopenInterval, until a stream runs or the
// capture stops; a stream that gives no audio for kNoDataTimeout (a frozen
// server gives no error) is reported once and kept, and its audio coming
// again ends that report. The capture says what its streams are through the
// hooks; the hooks run on the thread, never under its lock.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace parlanto_audio {

// How long a started capture may receive nothing before it reports it.
inline constexpr std::chrono::milliseconds kNoDataTimeout{2000};
// The pause between attempts to open a failed capture's device again.
inline constexpr std::chrono::milliseconds kReopenInterval{200};
// How often the thread looks at the stream when nothing wakes it.
inline constexpr std::chrono::milliseconds kWatchInterval{250};

// "no audio from the device for 2 s"
std::string no_data_text();

class Recovery {
 public:
  struct Hooks {
    // Whether the stream must be opened again: it failed, or there is none.
    std::function<bool()> needs_open;
    // Once for each stream that needs opening, before the first attempt:
    // lets go of the failed stream.
    std::function<void()> drop;
    // One attempt; true once a stream runs (or nothing is to be opened any
    // more: the capture stopped, or another open put a stream in place).
    std::function<bool()> open;
    // Milliseconds since the stream last gave audio, or since it opened.
    std::function<double()> idle_ms;
    // The stream has given nothing for kNoDataTimeout.
    std::function<void()> no_data;
    // On each look when no stream needs opening; may be empty.
    std::function<void()> upkeep;
  };

  Recovery() = default;
  ~Recovery() { stop(); }
  Recovery(const Recovery&) = delete;
  Recovery& operator=(const Recovery&) = delete;

  // Starts the thread; false when none could be had. Once only.
  bool start(Hooks hooks);
  // Makes the thread look now (a stream failed). Any thread, any lock but
  // the hooks' own; a no-op once stopped.
  std::function<void()> waker() const;
  // Ends the thread; waits for a hook call under way.
  void stop();

 private:
  // What the thread and its wakers share, so a waker may outlive the object.
  struct Signal {
    std::mutex mutex;
    std::condition_variable wake;
    bool woken = false;
    bool quit = false;
  };

  void loop();
  // Waits for `pause`, or, when `wakeable`, a wake; false once stopped.
  bool wait(std::chrono::milliseconds pause, bool wakeable);

  Hooks hooks_;
  const std::shared_ptr<Signal> signal_ = std::make_shared<Signal>();
  std::thread thread_;
};

}  // namespace parlanto_audio
