// Per-buffer cost of the audio thread's work (level measurement, conversion)
// against a plain copy of the same bytes. Run:
//   build/apps/desktop/native/parlanto-audio/test/parlanto_audio_conversion_bench
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "data/capture_callback.h"
#include "data/format_converter.h"
#include "turn/speech_ended_gate.h"

namespace {

using parlanto_audio::PcmChunk;
using parlanto_audio::SpeechEndedGate;

// Speech-like material: mostly within full scale, clipping now and then
// (every 64th sample), so the clamp's branches see what a microphone gives.
std::vector<float> float_buffer(std::size_t n) {
  std::vector<float> samples(n);
  for (std::size_t i = 0; i < n; ++i) {
    samples[i] = 0.7f * std::sin(static_cast<float>(i) * 0.01f) + (i % 64 == 0 ? 0.5f : 0.0f);
  }
  return samples;
}

std::vector<std::int16_t> int_buffer(std::size_t n) {
  std::vector<std::int16_t> samples(n);
  for (std::size_t i = 0; i < n; ++i) {
    samples[i] = static_cast<std::int16_t>(30000.0f * std::sin(static_cast<float>(i) * 0.01f));
  }
  return samples;
}

void set_counters(benchmark::State& state, std::size_t samples, std::size_t bytes_per_sample) {
  const auto per_iteration = static_cast<std::int64_t>(samples);
  state.SetItemsProcessed(state.iterations() * per_iteration);
  state.SetBytesProcessed(state.iterations() * per_iteration *
                          static_cast<std::int64_t>(bytes_per_sample));
}

// The baseline: allocate a chunk and copy the input bytes into it.
void BM_MemcpyF32(benchmark::State& state) {
  const auto samples = float_buffer(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    PcmChunk chunk(samples.size() * sizeof(float));
    std::memcpy(chunk.data(), samples.data(), chunk.size());
    benchmark::DoNotOptimize(chunk.data());
  }
  set_counters(state, samples.size(), sizeof(float));
}

void BM_MemcpyI16(benchmark::State& state) {
  const auto samples = int_buffer(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    PcmChunk chunk(samples.size() * sizeof(std::int16_t));
    std::memcpy(chunk.data(), samples.data(), chunk.size());
    benchmark::DoNotOptimize(chunk.data());
  }
  set_counters(state, samples.size(), sizeof(std::int16_t));
}

void BM_ConvertF32(benchmark::State& state) {
  const auto samples = float_buffer(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    PcmChunk chunk = parlanto_audio::pcm_f32_to_i16_le(samples);
    benchmark::DoNotOptimize(chunk.data());
  }
  set_counters(state, samples.size(), sizeof(float));
}

void BM_ConvertI16(benchmark::State& state) {
  const auto samples = int_buffer(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    PcmChunk chunk = parlanto_audio::pcm_i16_le(samples);
    benchmark::DoNotOptimize(chunk.data());
  }
  set_counters(state, samples.size(), sizeof(std::int16_t));
}

// Measurement alone: no sink to notify.
void BM_LevelF32(benchmark::State& state) {
  const auto samples = float_buffer(static_cast<std::size_t>(state.range(0)));
  SpeechEndedGate gate(nullptr, 48000, 2);
  for (auto _ : state) gate.observe_f32(samples);
  set_counters(state, samples.size(), sizeof(float));
}

void BM_LevelI16(benchmark::State& state) {
  const auto samples = int_buffer(static_cast<std::size_t>(state.range(0)));
  SpeechEndedGate gate(nullptr, 48000, 2);
  for (auto _ : state) gate.observe_i16(samples);
  set_counters(state, samples.size(), sizeof(std::int16_t));
}

// The capture layer's conversion of one buffer of 48 kHz stereo to 16 kHz mono.
void BM_Convert48kStereoTo16kMono(benchmark::State& state) {
  const auto samples = float_buffer(static_cast<std::size_t>(state.range(0)));
  auto converter = parlanto_audio::FormatConverter::create({48000, 2}, {16000, 1});
  for (auto _ : state) benchmark::DoNotOptimize(converter->convert(samples).data());
  set_counters(state, samples.size(), sizeof(float));
}

constexpr int kStereo10ms = 960;
BENCHMARK(BM_MemcpyF32)->Arg(kStereo10ms)->Arg(8192);
BENCHMARK(BM_Convert48kStereoTo16kMono)->Arg(kStereo10ms);
BENCHMARK(BM_ConvertF32)->Arg(kStereo10ms)->Arg(8192);
BENCHMARK(BM_LevelF32)->Arg(kStereo10ms)->Arg(8192);
BENCHMARK(BM_MemcpyI16)->Arg(kStereo10ms)->Arg(8192);
BENCHMARK(BM_ConvertI16)->Arg(kStereo10ms)->Arg(8192);
BENCHMARK(BM_LevelI16)->Arg(kStereo10ms)->Arg(8192);

}  // namespace

BENCHMARK_MAIN();
