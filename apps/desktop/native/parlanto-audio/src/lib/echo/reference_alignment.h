#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct SpeexResamplerState_;

namespace parlanto_audio {

// Interleaved float samples from one rate to another, channel count kept.
// Owned and used by one thread at a time; process() never allocates.
class Resampler {
 public:
  Resampler(std::uint32_t from_rate, std::uint32_t to_rate, std::uint16_t channels);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  bool valid() const { return state_ != nullptr || from_rate_ == to_rate_; }
  // Converts all of `in` and appends the result to out[0, out.size()); returns
  // how many samples were written. `out` must hold max_output(in.size()).
  std::size_t process(std::span<const float> in, std::span<float> out);
  std::size_t max_output(std::size_t input_samples) const;

 private:
  SpeexResamplerState_* state_ = nullptr;
  std::uint32_t from_rate_;
  std::uint32_t to_rate_;
  std::uint16_t channels_;
};

// The echo reference, carried from the reference stream's audio thread to the
// microphone's and kept in step with it.
//
// Threads. One producer: the feed of the running reference stream, on that
// stream's audio thread (a new feed is made for each stream, and a stream's
// drop ends its callbacks before the next one is built, so two feeds never
// push at once). One consumer: the echo-cancelling stage, on the microphone's
// audio thread. They share a single-producer single-consumer ring of mono
// samples at the engine's rate and three atomics; neither ever waits for the
// other. mark_lost() may come from any thread.
//
// Alignment. The consumer takes one 10 ms frame per 10 ms of microphone audio
// and the producer writes as the reference device delivers; the fill between
// them is the delay this alignment adds. It starts at kPrimeFrames frames and
// the read position then moves with the microphone's clock: a late buffer
// costs frames of silent reference, never a change of the delay the engine
// has locked on to (a move costs the engine seconds to converge again). The
// fill moves only when it must: when runs of short frames keep coming (the
// reference arrives in larger bursts than the fill covers) it starts again
// one frame deeper, up to kMaxPrimeFrames; after a long run (a slower
// reference clock, or a stall) it starts again at the primed fill; when it
// exceeds kMaxFillFrames (a faster reference clock) it jumps back to the
// primed fill. The rest of the delay (the acoustic path, the devices' own
// buffers) is the engine's to estimate.
//
// Loss. Nothing new from the reference for kLostAfterFrames frames of
// microphone audio, or mark_lost(), makes the reference lost: the stage
// passes the microphone through and reports kLost once; once a feed delivers
// again (a primed fill), kResumed follows and cancellation goes on.
class ReferenceAlignment : public std::enable_shared_from_this<ReferenceAlignment> {
 public:
  static constexpr std::uint32_t kFrameMs = 10;
  static constexpr std::uint32_t kPrimeFrames = 3;
  static constexpr std::uint32_t kMaxPrimeFrames = 10;
  static constexpr std::uint32_t kMaxFillFrames = 20;
  static constexpr std::uint32_t kEpisodesToDeepen = 3;      // runs of short frames ...
  static constexpr std::uint32_t kEpisodeWindowFrames = 50;  // ... this close together
  static constexpr std::uint32_t kLongEpisodeFrames = 5;
  static constexpr std::uint32_t kLostAfterFrames = 50;
  static constexpr std::uint32_t kRingFrames = 100;

  enum class Event : std::uint8_t { kNone, kLost, kResumed };

  // Held through std::shared_ptr only: each feed keeps it alive.
  explicit ReferenceAlignment(std::uint32_t engine_rate);

  std::uint32_t engine_rate() const { return engine_rate_; }
  std::size_t frame_samples() const { return frame_; }
  // The buffering the alignment starts with, for the engine's delay hint.
  static constexpr std::uint32_t primed_delay_ms() { return kPrimeFrames * kFrameMs; }

  // The producer side for one reference stream of this rate and channel count.
  // Made on the thread that builds the stream; pushed to on its audio thread.
  class Feed {
   public:
    Feed(std::shared_ptr<ReferenceAlignment> alignment, std::uint32_t rate, std::uint16_t channels);
    bool valid() const { return resampler_.valid(); }
    // One buffer of the reference stream, channels interleaved. Never blocks,
    // never allocates.
    void push(std::span<const float> samples);
    void push(std::span<const std::int16_t> samples);

   private:
    void push_mono(std::size_t frames);

    const std::shared_ptr<ReferenceAlignment> alignment_;
    const std::uint16_t channels_;
    Resampler resampler_;
    std::vector<float> mono_;       // one block at the reference's rate
    std::vector<float> resampled_;  // the same block at the engine's rate
  };
  std::unique_ptr<Feed> feed(std::uint32_t rate, std::uint16_t channels);

  // The reference stream failed; any thread.
  void mark_lost();

  // Consumer: fills `frame` (frame_samples() long) with the reference for the
  // next 10 ms of microphone audio. Returns whether there is a reference to
  // cancel against (false: pass the microphone through) and what changed.
  struct Pull {
    bool active = false;
    Event event = Event::kNone;
  };
  Pull pull(std::span<float> frame);

  // For tests and diagnostics: frames zero-filled and fill corrections so far.
  std::uint64_t short_frames() const { return short_frames_.load(std::memory_order_relaxed); }
  std::uint64_t realignments() const { return realignments_.load(std::memory_order_relaxed); }

 private:
  enum class State : std::uint8_t { kWaiting, kActive, kLost };

  void write(std::span<const float> mono);

  const std::uint32_t engine_rate_;
  const std::size_t frame_;
  std::vector<float> ring_;
  // Positions count samples since the start; the ring index is position % size.
  std::atomic<std::int64_t> write_pos_{0};  // written by the producer only
  std::atomic<std::int64_t> read_pos_{0};   // written by the consumer only
  std::atomic<bool> lost_{false};           // set by mark_lost, cleared by a new feed
  std::atomic<std::int64_t> feed_start_{0};  // the write position when the last feed was made

  // The consumer's own state.
  State state_ = State::kWaiting;
  std::int64_t prime_frames_ = kPrimeFrames;
  std::int64_t last_write_ = 0;
  std::uint32_t idle_frames_ = 0;
  std::uint32_t episode_frames_ = 0;  // short frames in a row
  std::uint32_t recent_episodes_ = 0;
  std::uint32_t frames_since_episode_ = 0;
  std::atomic<std::uint64_t> short_frames_{0};
  std::atomic<std::uint64_t> realignments_{0};
};

}  // namespace parlanto_audio
