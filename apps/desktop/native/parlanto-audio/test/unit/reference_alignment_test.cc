#include "echo/reference_alignment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace parlanto_audio {
namespace {

using Event = ReferenceAlignment::Event;

// The reference is a ramp (sample value = its position + 1), so every pulled
// sample says which reference sample it was; 0 is the silence of a shortfall.
class Ramp {
 public:
  explicit Ramp(ReferenceAlignment::Feed& feed) : feed_(feed) {}
  void push(std::size_t frames) {
    std::vector<float> block(frames);
    for (float& v : block) v = static_cast<float>(++next_);
    feed_.push(block);
  }

 private:
  ReferenceAlignment::Feed& feed_;
  std::int64_t next_ = 0;
};

constexpr std::uint32_t kRate = 16000;
constexpr std::size_t kFrame = 160;

struct Pulled {
  std::vector<float> samples = std::vector<float>(kFrame);
  ReferenceAlignment::Pull pull;
};

Pulled pull(ReferenceAlignment& alignment) {
  Pulled out;
  out.pull = alignment.pull(out.samples);
  return out;
}

TEST(ReferenceAlignment, BurstyDeliveryKeepsTheDelayItPrimedWith) {
  auto alignment = std::make_shared<ReferenceAlignment>(kRate);
  auto feed = alignment->feed(kRate, 1);
  Ramp ramp(*feed);
  // The reference comes in 35 ms bursts, the microphone asks every 10 ms.
  std::size_t pushed = 0;
  float last = 0.0f;
  int active_frames = 0;
  for (int tick = 0; tick < 2000; ++tick) {
    while (pushed < static_cast<std::size_t>(tick + 1) * kFrame) {
      ramp.push(560);
      pushed += 560;
    }
    const Pulled got = pull(*alignment);
    EXPECT_NE(got.pull.event, Event::kLost);
    if (!got.pull.active) continue;
    ++active_frames;
    for (const float v : got.samples) {
      if (v == 0.0f || tick < 100) {  // the fill deepens over the first bursts
        last = v;
        continue;
      }
      if (last != 0.0f) {
        ASSERT_EQ(v, last + 1.0f) << "tick " << tick;  // nothing skipped or repeated
      }
      last = v;
    }
  }
  EXPECT_GT(active_frames, 1990);
  // The fill deepens to cover a burst within the first bursts, then holds.
  EXPECT_LE(alignment->short_frames(), 10u);
  EXPECT_LE(alignment->realignments(), 3u);
}

TEST(ReferenceAlignment, ClockDriftIsAbsorbedWithinTheFillBounds) {
  for (const double ratio : {1.01, 0.99}) {
    auto alignment = std::make_shared<ReferenceAlignment>(kRate);
    auto feed = alignment->feed(kRate, 1);
    Ramp ramp(*feed);
    double owed = 0.0;
    for (int tick = 0; tick < 6000; ++tick) {  // one minute
      owed += ratio * kFrame;
      const auto frames = static_cast<std::size_t>(owed);
      owed -= static_cast<double>(frames);
      ramp.push(frames);
      const Pulled got = pull(*alignment);
      ASSERT_NE(got.pull.event, Event::kLost) << ratio;
      if (!got.pull.active) continue;
      // The reference handed out never lags the newest by more than the bound.
      const float newest =
          static_cast<float>(tick + 1) * static_cast<float>(kFrame) * static_cast<float>(ratio);
      for (const float v : got.samples) {
        if (v == 0.0f) continue;
        ASSERT_LE(newest - v,
                  static_cast<float>((ReferenceAlignment::kMaxFillFrames + 2) * kFrame));
      }
    }
    // 60 frames of drift over a minute: a few corrections, not one per frame.
    EXPECT_LE(alignment->realignments(), 62u) << ratio;
    EXPECT_LE(alignment->short_frames(), 3 * 62u) << ratio;
  }
}

TEST(ReferenceAlignment, LossIsReportedOnceAndTheReferenceResumes) {
  auto alignment = std::make_shared<ReferenceAlignment>(kRate);
  auto feed = alignment->feed(kRate, 2);
  std::vector<float> stereo(2 * kFrame, 0.25f);
  auto events = [&](int ticks, bool deliver, int* active = nullptr) {
    std::vector<Event> seen;
    for (int i = 0; i < ticks; ++i) {
      if (deliver) feed->push(stereo);
      const Pulled got = pull(*alignment);
      if (got.pull.event != Event::kNone) seen.push_back(got.pull.event);
      if (active != nullptr && got.pull.active) ++*active;
    }
    return seen;
  };
  int active = 0;
  EXPECT_TRUE(events(100, true, &active).empty());
  EXPECT_GT(active, 95);

  // The reference stops delivering: after the grace, one loss.
  EXPECT_EQ(events(200, false), std::vector<Event>{Event::kLost});
  // It is back: one resumption, and the frames carry it again.
  active = 0;
  EXPECT_EQ(events(100, true, &active), std::vector<Event>{Event::kResumed});
  EXPECT_GT(active, 95);

  // The stream reports an error: lost at once, even while samples still come.
  alignment->mark_lost();
  EXPECT_EQ(events(100, true), std::vector<Event>{Event::kLost});
  // A new stream's feed ends the loss.
  feed = alignment->feed(kRate, 2);
  EXPECT_EQ(events(100, true), std::vector<Event>{Event::kResumed});

  // A stream that fails with samples still unread: what it left behind is
  // not the new stream's audio, so nothing resumes until that one delivers.
  for (int i = 0; i < 10; ++i) feed->push(stereo);
  alignment->mark_lost();
  EXPECT_EQ(events(1, false), std::vector<Event>{Event::kLost});
  feed = alignment->feed(kRate, 2);
  active = 0;
  EXPECT_TRUE(events(20, false, &active).empty());
  EXPECT_EQ(active, 0);
  EXPECT_EQ(events(10, true), std::vector<Event>{Event::kResumed});
}

TEST(ReferenceAlignment, AReferenceThatNeverStartsIsReportedOnce) {
  auto alignment = std::make_shared<ReferenceAlignment>(kRate);
  auto feed = alignment->feed(kRate, 1);
  std::vector<Event> seen;
  for (int i = 0; i < 300; ++i) {
    const Pulled got = pull(*alignment);
    EXPECT_FALSE(got.pull.active);
    if (got.pull.event != Event::kNone) seen.push_back(got.pull.event);
  }
  EXPECT_EQ(seen, std::vector<Event>{Event::kLost});
}

TEST(ReferenceAlignment, ResamplesAndDownmixesToTheEngineRate) {
  auto alignment = std::make_shared<ReferenceAlignment>(kRate);
  auto feed = alignment->feed(48000, 2);
  ASSERT_TRUE(feed->valid());
  // A 1 kHz tone at 48 kHz, in phase on both channels, arrives at 16 kHz with
  // its level.
  std::size_t n = 0;
  double sum = 0.0;
  std::size_t counted = 0;
  for (int tick = 0; tick < 100; ++tick) {
    std::vector<float> stereo(2 * 480);
    for (std::size_t f = 0; f < 480; ++f, ++n) {
      const float v = 0.5f * static_cast<float>(std::sin(2.0 * 3.14159265358979 * 1000.0 *
                                                         static_cast<double>(n) / 48000.0));
      stereo[2 * f] = v;
      stereo[2 * f + 1] = v;
    }
    feed->push(stereo);
    const Pulled got = pull(*alignment);
    if (!got.pull.active || tick < 20) continue;
    for (const float v : got.samples) sum += double{v} * v;
    counted += got.samples.size();
  }
  ASSERT_GT(counted, 0u);
  EXPECT_NEAR(std::sqrt(sum / static_cast<double>(counted)), 0.5 / std::sqrt(2.0), 0.02);
}

// Real threads for the thread sanitizer: within a frame the consumer reads
// the producer's samples whole and in order. Neither thread gets more than
// 40 frames ahead of the other: past the ring's 100 frames an overrun drops
// samples by design, and the gap it leaves would read as a tear.
TEST(ReferenceAlignment, ProducerAndConsumerThreadsNeverSeeTornOrReorderedSamples) {
  auto alignment = std::make_shared<ReferenceAlignment>(kRate);
  auto feed = alignment->feed(kRate, 1);
  constexpr std::size_t kLead = 40 * kFrame;
  std::atomic<bool> done{false};
  std::atomic<std::size_t> pushed{0};
  std::atomic<std::size_t> pulled{0};
  std::thread producer([&] {
    Ramp ramp(*feed);
    for (int i = 0; i < 4000; ++i) {
      while (pushed.load() > pulled.load() + kLead) std::this_thread::yield();
      const auto frames = static_cast<std::size_t>(37 + (i * 53) % 300);
      ramp.push(frames);
      pushed.fetch_add(frames);
      std::this_thread::yield();
    }
    done = true;
  });
  std::size_t seen = 0;
  std::size_t torn = 0;
  while (!done.load()) {
    while (pulled.load() > pushed.load() + kLead && !done.load()) std::this_thread::yield();
    const Pulled got = pull(*alignment);
    pulled.fetch_add(kFrame);
    for (std::size_t i = 0; i < got.samples.size(); ++i) {
      const float v = got.samples[i];
      if (v == 0.0f) continue;
      ++seen;
      if (i > 0 && got.samples[i - 1] != 0.0f && v != got.samples[i - 1] + 1.0f) ++torn;
    }
    std::this_thread::yield();
  }
  producer.join();
  EXPECT_GT(seen, 0u);
  EXPECT_EQ(torn, 0u);
}

}  // namespace
}  // namespace parlanto_audio
