#include "capture/recovery.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "eventually.h"

namespace parlanto_audio {
namespace {

using testing::eventually;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A capture as the recovery sees it, scripted: whether its stream failed,
// how many attempts fail before one opens, and how long it has been idle.
struct Script {
  std::atomic<bool> failed{false};
  std::atomic<int> failing_opens{0};
  std::atomic<double> idle{0};
  std::atomic<int> drops{0};
  std::atomic<int> no_data{0};
  std::mutex mutex;
  std::vector<Clock::time_point> attempts;

  Recovery::Hooks hooks() {
    return {[this] { return failed.load(); }, [this] { ++drops; },
            [this] {
              {
                std::lock_guard lock(mutex);
                attempts.push_back(Clock::now());
              }
              if (failing_opens.fetch_sub(1) > 0) return false;
              failed = false;
              return true;
            },
            [this] { return idle.load(); }, [this] { ++no_data; }, {}};
  }
  std::size_t attempt_count() {
    std::lock_guard lock(mutex);
    return attempts.size();
  }
};

TEST(Recovery, AFailedStreamIsDroppedOnceAndOpenedEveryIntervalUntilOneRuns) {
  Script script;
  Recovery recovery;
  ASSERT_TRUE(recovery.start(script.hooks()));
  script.failing_opens = 3;
  script.failed = true;
  recovery.waker()();
  ASSERT_TRUE(eventually([&] { return script.attempt_count() == 4; }));
  ASSERT_TRUE(eventually([&] { return !script.failed.load(); }));
  std::this_thread::sleep_for(3 * kWatchInterval);
  recovery.stop();
  EXPECT_EQ(script.drops, 1);
  EXPECT_EQ(script.attempt_count(), 4u);
  for (std::size_t i = 1; i < script.attempts.size(); ++i) {
    EXPECT_GE(script.attempts[i] - script.attempts[i - 1], kReopenInterval - 1ms) << i;
  }
}

TEST(Recovery, SilenceIsReportedOncePerSilenceAndStopEndsTheAttempts) {
  Script script;
  Recovery recovery;
  ASSERT_TRUE(recovery.start(script.hooks()));
  script.idle = 2500;
  ASSERT_TRUE(eventually([&] { return script.no_data.load() == 1; }));
  std::this_thread::sleep_for(3 * kWatchInterval);
  EXPECT_EQ(script.no_data, 1);
  script.idle = 10;  // audio came again
  std::this_thread::sleep_for(2 * kWatchInterval);
  script.idle = 2100;
  ASSERT_TRUE(eventually([&] { return script.no_data.load() == 2; }));

  script.failing_opens = 1000;
  script.failed = true;
  recovery.waker()();
  ASSERT_TRUE(eventually([&] { return script.attempt_count() >= 2; }));
  recovery.stop();
  const std::size_t attempts = script.attempt_count();
  std::this_thread::sleep_for(2 * kReopenInterval);
  EXPECT_EQ(script.attempt_count(), attempts);
  recovery.waker()();  // a waker outliving the thread does nothing
}

}  // namespace
}  // namespace parlanto_audio
