#include "turn/turn_detector.h"

#include <algorithm>

#include "turn/level_turn_detector.h"
#include "turn/voice_turn_detector.h"

namespace parlanto_audio {

const char* turn_end_name(TurnEnd reason) {
  switch (reason) {
    case TurnEnd::kSilence:
      return "silence";
    case TurnEnd::kMaxTurn:
      return "max-turn";
    case TurnEnd::kStopped:
      return "stopped";
    case TurnEnd::kInterrupted:
      return "interrupted";
  }
  return "silence";
}

std::uint64_t ms_to_frames(std::uint32_t ms, std::uint32_t sample_rate) {
  return static_cast<std::uint64_t>(sample_rate) * ms / 1000;
}

std::unique_ptr<TurnDetector> make_turn_detector(const TurnOptions& options,
                                                 std::uint32_t sample_rate,
                                                 std::uint16_t channels) {
  sample_rate = std::max<std::uint32_t>(sample_rate, 1);
  channels = std::max<std::uint16_t>(channels, 1);
  if (options.detector == TurnOptions::Detector::kLevel) {
    return std::make_unique<LevelTurnDetector>(options, sample_rate, channels);
  }
  return std::make_unique<VoiceTurnDetector>(options, sample_rate, channels);
}

TurnTracker::TurnTracker(std::uint64_t min_silence_frames, std::uint64_t max_turn_frames)
    : min_silence_(min_silence_frames), max_turn_(max_turn_frames) {}

void TurnTracker::voice(std::uint64_t from, std::uint64_t to, TurnEvents& out) {
  if (!in_turn_) {
    in_turn_ = true;
    start_ = std::max(from, last_end_);
    TurnEvent started;
    started.kind = TurnEvent::Kind::kStarted;
    started.frame = start_;
    started.start_frame = start_;
    out.on_turn_event(started);
  }
  last_voice_end_ = std::max(last_voice_end_, to);
}

void TurnTracker::advance(std::uint64_t now, TurnEvents& out) {
  if (!in_turn_) return;
  if (now >= last_voice_end_ && now - last_voice_end_ >= min_silence_) {
    end(last_voice_end_ + min_silence_, TurnEnd::kSilence, out);
  } else if (max_turn_ != 0 && now >= start_ && now - start_ >= max_turn_) {
    end(now, TurnEnd::kMaxTurn, out);
  }
}

void TurnTracker::finish(std::uint64_t now, TurnEnd reason, TurnEvents& out) {
  if (in_turn_) end(now, reason, out);
}

void TurnTracker::end(std::uint64_t frame, TurnEnd reason, TurnEvents& out) {
  TurnEvent ended;
  ended.kind = TurnEvent::Kind::kEnded;
  ended.frame = frame;
  ended.start_frame = start_;
  // A hangover may reach past the frame where the turn was cut.
  ended.end_frame = std::min(last_voice_end_, frame);
  ended.reason = reason;
  in_turn_ = false;
  last_end_ = frame;
  last_voice_end_ = 0;
  out.on_turn_event(ended);
}

}  // namespace parlanto_audio
