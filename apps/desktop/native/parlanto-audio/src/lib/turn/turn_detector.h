#pragma once

// Turn detection for the capture layer: where a speaker's turn starts and
// where it ends. One interface, two detectors behind it: the voice detector
// (the layer's default) and the level rule of the module's classes. The same
// objects run live, on a stream's audio thread, and offline over recorded PCM,
// so both see exactly the same decisions.
//
// Positions are frames of the detector's own input, counted from 0 at its
// first sample. A detector is fed by one thread at a time; it never
// allocates, locks or reads a clock while it observes.

#include <cstdint>
#include <memory>
#include <span>

namespace parlanto_audio {

enum class TurnEnd : std::uint8_t {
  kSilence,      // minimum silence after the last voiced audio
  kMaxTurn,      // the turn ran for the longest turn allowed
  kStopped,      // the capture was stopped during the turn
  kInterrupted,  // the stream failed during the turn
};

const char* turn_end_name(TurnEnd reason);

struct TurnEvent {
  enum class Kind : std::uint8_t { kStarted, kEnded };
  Kind kind = Kind::kStarted;
  // Started: the turn's first voiced frame. Ended: where the silence that ends
  // it completed (or where it was cut), which is when the end becomes known.
  std::uint64_t frame = 0;
  std::uint64_t start_frame = 0;  // the turn's first voiced frame
  std::uint64_t end_frame = 0;    // ended: the frame after its last voiced audio
  TurnEnd reason = TurnEnd::kSilence;
};

// Receives a detector's events, in order, on the thread that feeds it.
class TurnEvents {
 public:
  virtual void on_turn_event(const TurnEvent& event) = 0;

 protected:
  ~TurnEvents() = default;
};

struct TurnOptions {
  enum class Detector : std::uint8_t { kVoice, kLevel };
  Detector detector = Detector::kVoice;
  std::uint32_t min_silence_ms = 420;
  std::uint32_t max_turn_ms = 0;  // 0: turns may run on without limit
};

// The limits the capture layer's options are checked against.
inline constexpr std::uint32_t kMinSilenceMsLow = 100;
inline constexpr std::uint32_t kMinSilenceMsHigh = 10'000;
inline constexpr std::uint32_t kMaxTurnMsLow = 1'000;
inline constexpr std::uint32_t kMaxTurnMsHigh = 3'600'000;

class TurnDetector {
 public:
  virtual ~TurnDetector() = default;

  // One buffer of whole frames, channels interleaved (full scale 1.0, or
  // 32768 counts). Events that it completes go to `out` before it returns.
  virtual void observe(std::span<const float> samples, TurnEvents& out) = 0;
  virtual void observe(std::span<const std::int16_t> samples, TurnEvents& out) = 0;

  // An echo-cancelled capture tells, before each buffer, the least share of
  // a 10 ms frame's energy the canceller kept in it: a buffer that was
  // mostly the far end's echo is no one's voice, however it sounds.
  virtual void echo_kept(float) {}

  // Ends a turn in progress at the last frame observed (the capture stops, or
  // its stream is lost); nothing when no turn is open.
  virtual void finish(TurnEnd reason, TurnEvents& out) = 0;

  // Frames observed so far.
  virtual std::uint64_t frames() const = 0;
};

// `sample_rate` and `channels` are those of the samples the detector is fed.
std::unique_ptr<TurnDetector> make_turn_detector(const TurnOptions& options,
                                                 std::uint32_t sample_rate, std::uint16_t channels);

// What every detector shares: a turn starts at its first voiced frame and ends
// once `min_silence` frames have passed after its last voiced frame, or when
// it has lasted `max_turn` frames; one speech-started, then one speech-ended.
class TurnTracker {
 public:
  TurnTracker(std::uint64_t min_silence_frames, std::uint64_t max_turn_frames);

  // Voice from frame `from` up to `to` (which may lie ahead of the frames
  // judged so far: a hold after the voice).
  void voice(std::uint64_t from, std::uint64_t to, TurnEvents& out);
  // Everything before `now` has been judged: ends a turn whose silence or
  // length has run out. Called after every judgement.
  void advance(std::uint64_t now, TurnEvents& out);
  void finish(std::uint64_t now, TurnEnd reason, TurnEvents& out);

  bool in_turn() const { return in_turn_; }
  std::uint64_t min_silence_frames() const { return min_silence_; }

 private:
  void end(std::uint64_t frame, TurnEnd reason, TurnEvents& out);

  const std::uint64_t min_silence_;
  const std::uint64_t max_turn_;  // 0: none
  bool in_turn_ = false;
  std::uint64_t start_ = 0;
  std::uint64_t last_voice_end_ = 0;
  std::uint64_t last_end_ = 0;  // a turn never starts before the previous one ended
};

std::uint64_t ms_to_frames(std::uint32_t ms, std::uint32_t sample_rate);

}  // namespace parlanto_audio
