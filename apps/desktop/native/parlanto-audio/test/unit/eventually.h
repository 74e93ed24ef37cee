#pragma once

// Waiting in tests for what another thread (a stream's, a recovery's) does.

#include <chrono>
#include <thread>

namespace parlanto_audio::testing {

// Polls `predicate` every 5 ms; false if it is still false after `within`.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds within = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace parlanto_audio::testing
