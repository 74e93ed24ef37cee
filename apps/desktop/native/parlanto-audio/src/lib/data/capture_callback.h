#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "host/audio_host.h"
#include "delivery/js_callback_sink.h"
#include "turn/speech_ended_gate.h"

namespace parlanto_audio {

// Float samples to 16-bit little-endian PCM: clamp to [-1, 1], scale by 32767,
// truncate toward zero; NaN becomes 0. One exact-size allocation.
PcmChunk pcm_f32_to_i16_le(std::span<const float> samples);
// 16-bit samples to their little-endian bytes. One exact-size allocation.
PcmChunk pcm_i16_le(std::span<const std::int16_t> samples);

// The state of one stream's data callback; owned by the stream (the backend
// holds it inside the std::function it was built with). Runs on the audio
// thread: checks the stop flag, counts the buffer, feeds the gate, converts,
// queues the chunk.
struct CaptureCallback {
  std::shared_ptr<std::atomic<bool>> stopped;
  std::shared_ptr<JsCallbackSink> chunk_sink;
  std::shared_ptr<SpeechEndedGate> gate;  // null without a speech-ended callback
  // Non-empty buffers seen, read by the capture's no-data watchdog; may be null.
  std::shared_ptr<std::atomic<std::uint64_t>> buffers = {};

  void operator()(std::span<const float> samples) const;         // F32 streams
  void operator()(std::span<const std::int16_t> samples) const;  // I16 streams
};

// The error callback of every stream: one line on standard error,
// "[parlanto_audio] stream error: " and the error's text.
void report_stream_error(const HostError& error);

}  // namespace parlanto_audio
