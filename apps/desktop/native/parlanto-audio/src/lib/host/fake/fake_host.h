#pragma once

// The fake audio host that the test addon links instead of a platform
// backend. Process-wide: every JavaScript environment (main thread, workers)
// sees the same scripted devices, and default_host() hands out one shared
// FakeHost while any holder keeps it. Tests script it with reset_fake_host(),
// feed buffers to the streams it built, and read what happened.
//
// Streams deliver from their own thread, one per stream, started by play().
// Dropping a stream stops and joins that thread, then destroys both callbacks
// before the destructor returns.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host/audio_host.h"

namespace parlanto_audio::testing {

// The text form of a fake device's id is this prefix and the device's key;
// the parser accepts exactly such texts with a non-empty key.
inline constexpr std::string_view kFakeIdPrefix = "fake:";

// A failure of one call, or success (nullopt).
using FakeOutcome = std::optional<std::string>;

struct FakeDefaultRead {
  std::optional<SupportedStreamConfig> config;  // absent: the read fails with `error`
  std::string error;
};

struct FakeSideScript {
  // Successive reads of the default configuration return these in turn; the
  // last one repeats. None at all: every read fails.
  std::vector<FakeDefaultRead> defaults;
  std::vector<SupportedStreamConfigRange> ranges;
  FakeOutcome ranges_error;
};

struct FakeRejectedConfig {
  std::optional<std::uint16_t> channels;  // absent: any
  std::optional<std::uint32_t> sample_rate;
  std::string error;
};

struct FakeDeviceScript {
  std::string key;
  std::string name;
  std::optional<FakeSideScript> input;   // present: the device records
  std::optional<FakeSideScript> output;  // present: the device plays
  FakeOutcome id_error;
  FakeOutcome description_error;
  // Consumed one per build (then per play); once used up, builds succeed
  // unless a rejected configuration matches.
  std::deque<FakeOutcome> build_outcomes;
  std::vector<FakeRejectedConfig> rejected_configs;
  std::deque<FakeOutcome> play_outcomes;
};

struct FakeHostScript {
  std::vector<FakeDeviceScript> devices;
  FakeOutcome devices_error;
  FakeOutcome lookup_error;  // device_by_id and the defaults fail with it (no server)
  std::optional<std::string> default_input;  // device keys
  std::optional<std::string> default_output;
};

// Replaces the script and clears the build log. Streams already built keep
// running on their old devices.
void reset_fake_host(FakeHostScript script);

struct FakeBuildRecord {
  std::string device;
  SampleFormat format = SampleFormat::F32;
  StreamConfig config;
  FakeOutcome error;
  std::chrono::steady_clock::time_point at;
};
std::vector<FakeBuildRecord> fake_builds();

struct FakeStreamInfo {
  std::uint64_t serial = 0;
  std::string device;
  SampleFormat format = SampleFormat::F32;
  StreamConfig config;
  bool playing = false;
  std::uint64_t delivered = 0;  // buffers handed to the data callback
  std::size_t pending = 0;      // buffers and errors not yet handed on
};
// The streams alive now, oldest first.
std::vector<FakeStreamInfo> fake_streams();

struct FakeCounters {
  std::int64_t hosts_alive = 0;
  std::int64_t streams_alive = 0;
  std::uint64_t streams_built = 0;
  std::uint64_t streams_dropped = 0;
  std::uint64_t builds_attempted = 0;
  std::uint64_t plays = 0;
  std::int64_t watches_alive = 0;
};
FakeCounters fake_counters();

// Which streams a feed reaches: one by serial, those of one device, or all.
struct FakeStreamSelector {
  std::optional<std::uint64_t> serial;
  std::optional<std::string> device;
};

using FakeBuffer = std::variant<std::vector<float>, std::vector<std::int16_t>>;

struct FakeFeedOptions {
  // Each buffer is cut into pieces of this many frames (the stream's channel
  // count per frame) before delivery; 0 delivers the buffers as given.
  std::size_t frames_per_buffer = 0;
  // 1 delivers at real pace (each buffer when its duration has passed), 2
  // twice as fast, and so on; 0 as fast as the thread can.
  double speed = 0;
};

// Queues the buffers, converted to each stream's sample format, on every
// selected stream; returns how many streams were fed.
std::size_t feed_fake_streams(const FakeStreamSelector& selector,
                              const std::vector<FakeBuffer>& buffers,
                              const FakeFeedOptions& options);

// Makes `key` the default device of a kind and tells every running device
// watch, on the calling thread, as an audio system announces a new default.
void set_fake_default(bool output, const std::string& key);

// Adds a device (replacing one with the same key) and tells every running
// device watch, on the calling thread, that it was added: once for each side
// it has, input first.
void plug_fake_device(FakeDeviceScript device);
// Removes the device with this key and tells the watches, once for each side,
// with its name; false when there is none. The defaults are left as they are
// (a default that names no device is none), and the device's streams keep
// running until they are failed or dropped.
bool unplug_fake_device(const std::string& key);

// Makes every selected stream's thread call its error callback once with
// this text, after the buffers queued before it; returns how many.
std::size_t fail_fake_streams(const FakeStreamSelector& selector, const std::string& text);

}  // namespace parlanto_audio::testing
