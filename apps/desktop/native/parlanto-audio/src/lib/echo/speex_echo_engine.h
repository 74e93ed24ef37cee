#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "echo/echo_delay_estimator.h"
#include "echo/echo_engine.h"
#include "echo/residual_echo_gate.h"

struct SpeexEchoState_;
struct SpeexPreprocessState_;

namespace parlanto_audio {

// The stage's engine on speexdsp: its adaptive filter (speex_echo_*), its
// preprocessor's suppression of the echo the filter leaves, and a
// ResidualEchoGate for the reverberation past the filter's end, which the
// preprocessor underestimates. The filter spans a fixed kFilterMs of delays;
// an EchoDelayEstimator places that span by delaying the reference, so that
// it begins kLeadMs before the direct path. The microphone itself is delayed
// by kMaxAheadMs (the engine's latency), so that a reference that reaches the
// stage up to that much after the microphone heard it is still cancelled.
// One canceller and one preprocessor per microphone channel: the residual
// estimate the preprocessor reads covers one channel only.
class SpeexEchoEngine final : public EchoEngine {
 public:
  static constexpr std::uint32_t kFilterMs = 250;
  static constexpr std::uint32_t kLeadMs = 40;
  static constexpr std::uint32_t kMaxDelayMs = 500;
  static constexpr std::uint32_t kMaxAheadMs = 60;
  // While the direct path lies this far into the span, the span stays where it is.
  static constexpr std::uint32_t kMinLeadMs = 5;
  static constexpr std::uint32_t kMaxLeadMs = 100;
  // Residual echo suppression, dB: while the far end talks alone, and while
  // the near end talks too.
  static constexpr int kEchoSuppressDb = -40;
  static constexpr int kEchoSuppressActiveDb = -15;

  static EchoEngineMade create(const EchoEngineConfig& config);
  ~SpeexEchoEngine() override;

  void process(const float* mic, const float* reference, float* out) override;
  void restart() override;

  // The echo delay at which the filter's span begins: 0 until the estimate
  // moves it.
  std::int32_t filter_start_ms() const {
    return static_cast<std::int32_t>(delay_ / (rate_ / 1000)) -
           static_cast<std::int32_t>(kMaxAheadMs);
  }

 private:
  struct Channel {
    SpeexEchoState_* echo = nullptr;
    SpeexPreprocessState_* preprocess = nullptr;
    ResidualEchoGate gate;
  };

  SpeexEchoEngine(std::uint32_t rate, std::uint16_t channels);
  void follow_delay();

  const std::uint32_t rate_;
  const std::uint16_t channels_;
  const std::size_t frame_;  // samples per channel in 10 ms
  std::vector<Channel> cancellers_;
  EchoDelayEstimator estimator_;
  std::vector<float> delay_line_;      // ring of the reference
  std::vector<float> mic_delay_line_;  // ring of the microphone's frames, interleaved
  std::size_t written_ = 0;            // samples (per channel) written to each
  std::size_t delay_ = 0;              // the reference's, in samples
  std::vector<float> mic_;             // the microphone's frame kMaxAheadMs ago
  std::vector<float> mono_;            // the microphone's channels averaged, for the estimator
  std::vector<std::int16_t> reference_pcm_;
  std::vector<std::int16_t> mic_pcm_;
  std::vector<std::int16_t> out_pcm_;
  std::vector<std::int16_t> cancelled_pcm_;  // one channel, by the filter alone
  std::vector<float> suppressed_;            // the same, by the preprocessor and the gate
};

}  // namespace parlanto_audio
