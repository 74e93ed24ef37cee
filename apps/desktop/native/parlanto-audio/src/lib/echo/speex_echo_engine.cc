#include "echo/speex_echo_engine.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>

namespace parlanto_audio {

namespace {

std::int16_t to_pcm(float v) {
  return static_cast<std::int16_t>(std::lrint(std::clamp(v, -1.0f, 1.0f) * 32767.0f));
}

}  // namespace

EchoEngineMade make_speex_echo_engine(const EchoEngineConfig& config) {
  return SpeexEchoEngine::create(config);
}

EchoEngineMade SpeexEchoEngine::create(const EchoEngineConfig& config) {
  if (config.channels == 0 || config.rate % 100 != 0) {
    return unexpected(std::string("echo cancellation: the engine does not run at ") +
                      std::to_string(config.rate) + " Hz");
  }
  std::unique_ptr<SpeexEchoEngine> engine(new SpeexEchoEngine(config.rate, config.channels));
  const auto frame = static_cast<int>(engine->frame_);
  const auto taps = static_cast<int>(config.rate / 1000 * kFilterMs);
  auto rate = static_cast<spx_int32_t>(config.rate);
  for (Channel& channel : engine->cancellers_) {
    channel.echo = speex_echo_state_init_mc(frame, taps, 1, 1);
    channel.preprocess = speex_preprocess_state_init(frame, static_cast<int>(config.rate));
    if (channel.echo == nullptr || channel.preprocess == nullptr) {
      return unexpected(std::string("echo cancellation: the engine could not be made"));
    }
    speex_echo_ctl(channel.echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    // The residual echo suppression is part of the preprocessor's denoiser: it
    // runs, and without noiseSuppression it leaves the noise as it is (0 dB).
    spx_int32_t on = 1;
    spx_int32_t noise_db = config.noise_suppression ? -15 : 0;
    spx_int32_t agc = config.gain_control ? 1 : 0;
    spx_int32_t echo_db = kEchoSuppressDb;
    spx_int32_t active_db = kEchoSuppressActiveDb;
    speex_preprocess_ctl(channel.preprocess, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(channel.preprocess, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &noise_db);
    speex_preprocess_ctl(channel.preprocess, SPEEX_PREPROCESS_SET_AGC, &agc);
    speex_preprocess_ctl(channel.preprocess, SPEEX_PREPROCESS_SET_ECHO_STATE, channel.echo);
    speex_preprocess_ctl(channel.preprocess, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS, &echo_db);
    speex_preprocess_ctl(channel.preprocess, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS_ACTIVE, &active_db);
  }
  return std::unique_ptr<EchoEngine>(std::move(engine));
}

SpeexEchoEngine::SpeexEchoEngine(std::uint32_t rate, std::uint16_t channels)
    : rate_(rate),
      channels_(channels),
      frame_(rate / 100),
      cancellers_(channels, Channel{nullptr, nullptr, ResidualEchoGate(rate)}),
      estimator_(rate, kMaxAheadMs, kMaxDelayMs),
      delay_line_(std::size_t{rate} * (kMaxDelayMs + kMaxAheadMs) / 1000 + frame_, 0.0f),
      mic_delay_line_((std::size_t{rate} * kMaxAheadMs / 1000 + frame_) * channels, 0.0f),
      delay_(std::size_t{rate} * kMaxAheadMs / 1000),
      mic_(frame_ * channels),
      mono_(frame_),
      reference_pcm_(frame_),
      mic_pcm_(frame_),
      out_pcm_(frame_),
      cancelled_pcm_(frame_),
      suppressed_(frame_) {}

SpeexEchoEngine::~SpeexEchoEngine() {
  for (Channel& channel : cancellers_) {
    if (channel.preprocess != nullptr) speex_preprocess_state_destroy(channel.preprocess);
    if (channel.echo != nullptr) speex_echo_state_destroy(channel.echo);
  }
}

void SpeexEchoEngine::restart() {
  for (Channel& channel : cancellers_) {
    speex_echo_state_reset(channel.echo);
    channel.gate.reset();
  }
  estimator_.reset();
  std::fill(delay_line_.begin(), delay_line_.end(), 0.0f);
  std::fill(mic_delay_line_.begin(), mic_delay_line_.end(), 0.0f);
  delay_ = std::size_t{rate_} * kMaxAheadMs / 1000;
}

// Moves the filter's span when the direct path has left the part of it that
// leaves room for the tail. A move voids what the filter has learnt.
void SpeexEchoEngine::follow_delay() {
  const std::optional<std::int32_t> estimate = estimator_.delay_ms();
  if (!estimate) return;
  const auto per_ms = static_cast<std::ptrdiff_t>(rate_ / 1000);
  // Where the direct path falls in the span, both signals' delays counted.
  const std::ptrdiff_t direct = (*estimate + static_cast<std::ptrdiff_t>(kMaxAheadMs)) * per_ms;
  const auto delay = static_cast<std::ptrdiff_t>(delay_);
  if (direct >= delay + static_cast<std::ptrdiff_t>(kMinLeadMs) * per_ms &&
      direct <= delay + static_cast<std::ptrdiff_t>(kMaxLeadMs) * per_ms) {
    return;
  }
  delay_ = static_cast<std::size_t>(
      std::max<std::ptrdiff_t>(0, direct - static_cast<std::ptrdiff_t>(kLeadMs) * per_ms));
  for (Channel& channel : cancellers_) {
    speex_echo_state_reset(channel.echo);
    channel.gate.reset();
  }
}

void SpeexEchoEngine::process(const float* mic, const float* reference, float* out) {
  for (std::size_t f = 0; f < frame_; ++f) {
    float sum = 0.0f;
    for (std::size_t c = 0; c < channels_; ++c) sum += mic[f * channels_ + c];
    mono_[f] = sum / static_cast<float>(channels_);
  }
  estimator_.observe(reference, mono_.data(), frame_);
  follow_delay();

  const std::size_t size = delay_line_.size();
  for (std::size_t f = 0; f < frame_; ++f) delay_line_[(written_ + f) % size] = reference[f];
  const std::size_t from = written_ + size - delay_;
  for (std::size_t f = 0; f < frame_; ++f) {
    reference_pcm_[f] = to_pcm(delay_line_[(from + f) % size]);
  }
  const std::size_t mic_size = mic_delay_line_.size();
  const std::size_t samples = frame_ * channels_;
  const std::size_t mic_at = written_ * channels_;
  for (std::size_t i = 0; i < samples; ++i) mic_delay_line_[(mic_at + i) % mic_size] = mic[i];
  const std::size_t mic_from =
      mic_at + mic_size - std::size_t{rate_} * kMaxAheadMs / 1000 * channels_;
  for (std::size_t i = 0; i < samples; ++i) mic_[i] = mic_delay_line_[(mic_from + i) % mic_size];
  written_ += frame_;

  constexpr float kScale = 1.0f / 32767.0f;
  for (std::size_t c = 0; c < channels_; ++c) {
    Channel& channel = cancellers_[c];
    for (std::size_t f = 0; f < frame_; ++f) mic_pcm_[f] = to_pcm(mic_[f * channels_ + c]);
    speex_echo_cancellation(channel.echo, mic_pcm_.data(), reference_pcm_.data(), out_pcm_.data());
    std::copy(out_pcm_.begin(), out_pcm_.end(), cancelled_pcm_.begin());
    speex_preprocess_run(channel.preprocess, out_pcm_.data());
    for (std::size_t f = 0; f < frame_; ++f)
      suppressed_[f] = static_cast<float>(out_pcm_[f]) * kScale;
    channel.gate.process(mic_pcm_.data(), cancelled_pcm_.data(), suppressed_.data(), frame_);
    for (std::size_t f = 0; f < frame_; ++f) out[f * channels_ + c] = suppressed_[f];
  }
}

}  // namespace parlanto_audio
