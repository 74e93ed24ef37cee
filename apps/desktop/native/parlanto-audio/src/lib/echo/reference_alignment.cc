#include "echo/reference_alignment.h"

#include <speex/speex_resampler.h>

#include <algorithm>

namespace parlanto_audio {

namespace {

// Speech-band quality at a cost the audio thread can carry.
constexpr int kResamplerQuality = SPEEX_RESAMPLER_QUALITY_VOIP;

// The feed converts in blocks of this many reference frames; a longer buffer
// is taken in several blocks, so pushing never allocates.
constexpr std::size_t kFeedBlockFrames = 2048;

}  // namespace

Resampler::Resampler(std::uint32_t from_rate, std::uint32_t to_rate, std::uint16_t channels)
    : from_rate_(from_rate), to_rate_(to_rate), channels_(channels) {
  if (from_rate == to_rate || from_rate == 0 || to_rate == 0 || channels == 0) return;
  int error = 0;
  state_ = speex_resampler_init(channels, from_rate, to_rate, kResamplerQuality, &error);
  if (state_ != nullptr) speex_resampler_skip_zeros(state_);
}

Resampler::~Resampler() {
  if (state_ != nullptr) speex_resampler_destroy(state_);
}

std::size_t Resampler::max_output(std::size_t input_samples) const {
  if (from_rate_ == to_rate_) return input_samples;
  const std::size_t frames = input_samples / channels_;
  return (frames * to_rate_ / from_rate_ + 2) * channels_;
}

std::size_t Resampler::process(std::span<const float> in, std::span<float> out) {
  if (state_ == nullptr) {
    const std::size_t n = std::min(in.size(), out.size());
    std::copy_n(in.begin(), n, out.begin());
    return n;
  }
  auto in_frames = static_cast<spx_uint32_t>(in.size() / channels_);
  auto out_frames = static_cast<spx_uint32_t>(out.size() / channels_);
  speex_resampler_process_interleaved_float(state_, in.data(), &in_frames, out.data(), &out_frames);
  return std::size_t{out_frames} * channels_;
}

ReferenceAlignment::ReferenceAlignment(std::uint32_t engine_rate)
    : engine_rate_(engine_rate),
      frame_(engine_rate * kFrameMs / 1000),
      ring_(frame_ * kRingFrames) {}

std::unique_ptr<ReferenceAlignment::Feed> ReferenceAlignment::feed(std::uint32_t rate,
                                                                   std::uint16_t channels) {
  // A feed is made before its stream runs: the loss of the previous stream
  // ends here, and the consumer resumes once this one has delivered. What the
  // previous stream left unread is not this one's delivery.
  feed_start_.store(write_pos_.load(std::memory_order_acquire), std::memory_order_relaxed);
  lost_.store(false, std::memory_order_release);
  return std::make_unique<Feed>(shared_from_this(), rate, channels);
}

void ReferenceAlignment::mark_lost() { lost_.store(true); }

// Producer. A write that would overrun unread samples keeps what fits: the
// consumer has stalled, and it realigns when it comes back.
void ReferenceAlignment::write(std::span<const float> mono) {
  const auto size = static_cast<std::int64_t>(ring_.size());
  std::int64_t write = write_pos_.load(std::memory_order_relaxed);
  const std::int64_t read = read_pos_.load(std::memory_order_acquire);
  const std::int64_t room = std::min(size, size - (write - read));
  auto count = std::min(static_cast<std::int64_t>(mono.size()), room);
  for (std::int64_t i = 0; i < count; ++i) {
    ring_[static_cast<std::size_t>((write + i) % size)] = mono[static_cast<std::size_t>(i)];
  }
  write_pos_.store(write + count, std::memory_order_release);
}

ReferenceAlignment::Pull ReferenceAlignment::pull(std::span<float> frame) {
  const auto size = static_cast<std::int64_t>(ring_.size());
  const auto samples = static_cast<std::int64_t>(frame_);
  Pull result;

  const std::int64_t write = write_pos_.load(std::memory_order_acquire);
  std::int64_t read = read_pos_.load(std::memory_order_relaxed);
  const bool lost = lost_.load(std::memory_order_acquire);
  // The reference is gone when its stream says so, or when nothing new has
  // come for kLostAfterFrames frames.
  if (write != last_write_) {
    last_write_ = write;
    idle_frames_ = 0;
  } else if (idle_frames_ < kLostAfterFrames) {
    ++idle_frames_;
  }
  if (state_ != State::kLost && (lost || idle_frames_ >= kLostAfterFrames)) {
    state_ = State::kLost;
    result.event = Event::kLost;
  }

  const std::int64_t prime = samples * prime_frames_;
  if (state_ != State::kActive) {
    const std::int64_t fresh = write - std::max(read, feed_start_.load(std::memory_order_relaxed));
    if (lost || idle_frames_ >= kLostAfterFrames || fresh < prime) {
      // Keep no more than a primed fill while waiting, so the ring never
      // fills up under a stream that delivers while it is lost.
      read_pos_.store(std::max(read, write - prime), std::memory_order_release);
      std::fill(frame.begin(), frame.end(), 0.0f);
      return result;
    }
    // Start, or start again, at the primed fill, dropping anything older.
    read = write - prime;
    if (state_ == State::kLost) result.event = Event::kResumed;
    state_ = State::kActive;
  } else if (write - read > samples * kMaxFillFrames) {
    // The reference runs ahead (its clock is faster, or this thread stalled):
    // back to the primed fill.
    read = write - prime;
    realignments_.fetch_add(1, std::memory_order_relaxed);
  }

  // A shortfall keeps the read position moving with the microphone: the
  // missing part is silence and the late samples are skipped when they come,
  // so one late buffer does not move the delay the engine has locked on to.
  const std::int64_t have = std::clamp<std::int64_t>(write - read, 0, samples);
  for (std::int64_t i = 0; i < have; ++i) {
    frame[static_cast<std::size_t>(i)] = ring_[static_cast<std::size_t>((read + i) % size)];
  }
  std::fill(frame.begin() + have, frame.end(), 0.0f);
  read += samples;
  ++frames_since_episode_;
  if (have == samples) {
    episode_frames_ = 0;
  } else {
    short_frames_.fetch_add(1, std::memory_order_relaxed);
    if (episode_frames_++ == 0) {
      recent_episodes_ = frames_since_episode_ <= kEpisodeWindowFrames ? recent_episodes_ + 1 : 1;
      frames_since_episode_ = 0;
    }
    // Every move costs the engine seconds of convergence, so the fill moves
    // only when it must: shortfalls that keep coming mean the reference
    // arrives in larger bursts than the fill covers (start one frame deeper);
    // a long one means its clock is slower, or it stalled for good (start
    // again at the primed fill from what it has now).
    const bool bursty = recent_episodes_ >= kEpisodesToDeepen;
    if (bursty || episode_frames_ >= kLongEpisodeFrames) {
      if (bursty) prime_frames_ = std::min<std::int64_t>(prime_frames_ + 1, kMaxPrimeFrames);
      read = write - samples * prime_frames_;
      episode_frames_ = 0;
      recent_episodes_ = 0;
      realignments_.fetch_add(1, std::memory_order_relaxed);
    }
  }
  read_pos_.store(read, std::memory_order_release);
  result.active = true;
  return result;
}

ReferenceAlignment::Feed::Feed(std::shared_ptr<ReferenceAlignment> alignment, std::uint32_t rate,
                               std::uint16_t channels)
    : alignment_(std::move(alignment)),
      channels_(channels == 0 ? 1 : channels),
      resampler_(rate, alignment_->engine_rate(), 1),
      mono_(kFeedBlockFrames),
      resampled_(resampler_.max_output(kFeedBlockFrames)) {}

void ReferenceAlignment::Feed::push_mono(std::size_t frames) {
  const std::size_t n =
      resampler_.process(std::span<const float>(mono_.data(), frames), resampled_);
  alignment_->write(std::span<const float>(resampled_.data(), n));
}

// The engine takes a mono reference: the channels are averaged.
void ReferenceAlignment::Feed::push(std::span<const float> samples) {
  const std::size_t frames = samples.size() / channels_;
  const float scale = 1.0f / static_cast<float>(channels_);
  for (std::size_t start = 0; start < frames; start += kFeedBlockFrames) {
    const std::size_t block = std::min(kFeedBlockFrames, frames - start);
    for (std::size_t f = 0; f < block; ++f) {
      float sum = 0.0f;
      for (std::size_t c = 0; c < channels_; ++c) sum += samples[(start + f) * channels_ + c];
      mono_[f] = sum * scale;
    }
    push_mono(block);
  }
}

void ReferenceAlignment::Feed::push(std::span<const std::int16_t> samples) {
  const std::size_t frames = samples.size() / channels_;
  const float scale = 1.0f / (32768.0f * static_cast<float>(channels_));
  for (std::size_t start = 0; start < frames; start += kFeedBlockFrames) {
    const std::size_t block = std::min(kFeedBlockFrames, frames - start);
    for (std::size_t f = 0; f < block; ++f) {
      float sum = 0.0f;
      for (std::size_t c = 0; c < channels_; ++c) {
        sum += static_cast<float>(samples[(start + f) * channels_ + c]);
      }
      mono_[f] = sum * scale;
    }
    push_mono(block);
  }
}

}  // namespace parlanto_audio
