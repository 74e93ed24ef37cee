// The echo-cancelling stage on real speech in a simulated room: one voice is
// the far end (what the speakers play, the reference), another the near end
// (the user); the microphone hears the near end plus the far end after the
// room. Speech comes from espeak-ng, the room from sox (delay, attenuation,
// reverberation).

#include "echo/echo_canceller.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "fake_engine_test.h"
#include "turn/speech_ended_gate.h"

namespace parlanto_audio {
namespace {

namespace fs = std::filesystem;
constexpr std::uint32_t kRate = 48000;
constexpr std::size_t kMs = kRate / 1000;
const char* const kRaw = "-t raw -e floating-point -b 32 -r 48000 -c 1";

std::vector<float> read_f32(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

void write_f32(const fs::path& file, const std::vector<float>& samples) {
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * sizeof(float)));
}

void run(const std::string& command) {
  ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
}

class Studio {
 public:
  Studio() : dir_(fs::temp_directory_path() / ("parlanto-echo-" + std::to_string(getpid()))) {
    fs::create_directories(dir_);
  }
  ~Studio() { fs::remove_all(dir_); }

  std::vector<float> speak(const std::string& voice, const std::string& text) {
    const fs::path wav = dir_ / "speech.wav";
    const fs::path raw = dir_ / "speech.raw";
    run("espeak-ng -v " + voice + " -w " + wav.string() + " '" + text + "'");
    run("sox " + wav.string() + " " + kRaw + " " + raw.string());
    return read_f32(raw);
  }

  // The far end as the microphone hears it, as long as the input.
  std::vector<float> room(const std::vector<float>& far, int delay_ms, double gain_db,
                          int reverberance) {
    const fs::path in = dir_ / "far.raw";
    const fs::path out = dir_ / "echo.raw";
    write_f32(in, far);
    run(std::string("sox ") + kRaw + " " + in.string() + " " + kRaw + " " + out.string() +
        " gain " + std::to_string(gain_db) + " reverb " + std::to_string(reverberance) +
        " 50 30 delay " + std::to_string(delay_ms / 1000.0) + " channels 1");
    std::vector<float> echo = read_f32(out);
    echo.resize(far.size(), 0.0f);
    return echo;
  }

 private:
  fs::path dir_;
};

struct Span {
  std::size_t first = 0;
  std::size_t end = 0;
};

// The conversation: far end alone, near end alone, then both at once.
struct Conversation {
  std::vector<float> far;   // the reference
  std::vector<float> near;  // the user, as the microphone hears them
  Span far_only;            // far-end speech, nobody else
  Span near_only;           // the near phrase, alone
  Span double_talk;         // the same near phrase over far-end speech
};

void place(std::vector<float>& track, std::size_t at, const std::vector<float>& clip,
           float gain = 1.0f) {
  if (track.size() < at + clip.size()) track.resize(at + clip.size(), 0.0f);
  for (std::size_t i = 0; i < clip.size(); ++i) track[at + i] += gain * clip[i];
}

const Conversation& conversation(Studio& studio) {
  static const Conversation made = [&] {
    Conversation c;
    const char* const far_voice = "en-us+m3";
    const char* const near_voice = "en-gb+f4";
    std::size_t t = 300 * kMs;
    c.far_only.first = t;
    for (const char* line : {"tell me about a time you disagreed with your manager",
                             "what did you do when the deadline slipped",
                             "and how did the rest of the team take the decision"}) {
      const auto clip = studio.speak(far_voice, line);
      place(c.far, t, clip);
      t += clip.size() + 250 * kMs;
    }
    c.far_only.end = t;
    t += 1000 * kMs;
    const auto answer = studio.speak(near_voice, "I rebuilt the billing service in six weeks");
    const auto question = studio.speak(far_voice, "could you walk me through the design");
    c.near_only = {t, t + answer.size()};
    place(c.near, t, answer, 0.7f);
    t += answer.size() + 1000 * kMs;
    c.double_talk = {t, t + answer.size()};
    place(c.near, t, answer, 0.7f);
    place(c.far, t + 200 * kMs, question);
    t += std::max(answer.size(), question.size() + 200 * kMs) + 1000 * kMs;
    c.far.resize(t, 0.0f);
    c.near.resize(t, 0.0f);
    return c;
  }();
  return made;
}

double energy(const std::vector<float>& x, std::size_t first, std::size_t end) {
  double sum = 0.0;
  for (std::size_t i = first; i < end && i < x.size(); ++i) sum += double{x[i]} * x[i];
  return sum;
}
double db(double ratio) { return 10.0 * std::log10(ratio); }

struct Outcome {
  std::vector<float> mic;
  std::vector<float> out;
  double seconds_in_stage = 0.0;
};

// Runs the microphone through the stage as a capture would: the reference
// arrives in 20 ms stereo buffers, 30 to 50 ms before the microphone has the
// sound they make (what a sink's playback latency gives at least: its monitor
// has the samples before the speaker plays them), the microphone in
// 512-frame buffers. An engine that runs slower than the microphone has its
// output brought back to the microphone's rate for comparison.
Outcome cancel(const Conversation& c, const std::vector<float>& echo, EchoCancelOptions options) {
  Outcome o;
  o.mic = c.near;
  for (std::size_t i = 0; i < echo.size(); ++i) o.mic[i] += echo[i];
  auto stage = EchoCanceller::create(kRate, 1, options);
  EXPECT_TRUE(stage.has_value());
  if (!stage) return o;
  Resampler back((*stage)->rate(), kRate, 1);
  std::vector<float> upsampled(back.max_output(kRate));
  auto feed = (*stage)->reference()->feed(kRate, 2);
  std::size_t fed = 0;
  std::vector<float> stereo(2 * 20 * kMs);
  o.out.reserve(o.mic.size());
  for (std::size_t at = 0; at + 512 <= o.mic.size(); at += 512) {
    while (fed < at + 512 + 50 * kMs && fed + 20 * kMs <= c.far.size()) {
      for (std::size_t f = 0; f < 20 * kMs; ++f) stereo[2 * f] = stereo[2 * f + 1] = c.far[fed + f];
      feed->push(stereo);
      fed += 20 * kMs;
    }
    const auto started = std::chrono::steady_clock::now();
    const auto result = (*stage)->process(std::span<const float>(o.mic.data() + at, 512));
    o.seconds_in_stage +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if ((*stage)->rate() == kRate) {
      o.out.insert(o.out.end(), result.samples.begin(), result.samples.end());
    } else {
      const std::size_t n = back.process(result.samples, upsampled);
      o.out.insert(o.out.end(), upsampled.begin(),
                   upsampled.begin() + static_cast<std::ptrdiff_t>(n));
    }
  }
  o.out.resize(o.mic.size(), 0.0f);
  return o;
}

// Echo return loss enhancement over far-end-only speech after two seconds.
double erle(const Conversation& c, const Outcome& o) {
  const std::size_t from = c.far_only.first + 2000 * kMs;
  return db(energy(o.mic, from, c.far_only.end) / energy(o.out, from, c.far_only.end));
}

// Where the speech-end detector fires on 10 ms buffers of `x`, in samples.
class GateRun : public FakeEngineTest {
 protected:
  std::vector<std::size_t> speech_ends(const std::vector<float>& x) {
    SpeechEndedGate gate(sink(JsCallbackSink::Converter::kSpeechEnded), kRate, 1);
    std::vector<std::size_t> ends;
    std::size_t seen = fake_napi::queued().size();
    for (std::size_t at = 0; at + 10 * kMs <= x.size(); at += 10 * kMs) {
      gate.observe_f32(std::span<const float>(x.data() + at, 10 * kMs));
      if (fake_napi::queued().size() != seen) {
        seen = fake_napi::queued().size();
        ends.push_back(at);
      }
    }
    return ends;
  }
  static std::size_t within(const std::vector<std::size_t>& ends, std::size_t first,
                            std::size_t end) {
    std::size_t n = 0;
    for (const std::size_t e : ends) n += e >= first && e < end ? 1 : 0;
    return n;
  }
};

struct RoomSetting {
  int delay_ms;
  double gain_db;
  int reverberance;
  EchoEngineKind engine = EchoEngineKind::kWebRtc;
};

EchoCancelOptions on(EchoEngineKind engine) {
  EchoCancelOptions options;
  options.engine = engine;
  return options;
}

// Every room, on every engine this build has.
std::vector<RoomSetting> rooms() {
  std::vector<RoomSetting> all;
  for (const EchoEngineKind engine : {EchoEngineKind::kWebRtc, EchoEngineKind::kSpeex}) {
    if (!echo_engine_built(engine)) continue;
    for (RoomSetting room :
         {RoomSetting{30, -6.0, 20}, RoomSetting{50, -9.0, 40}, RoomSetting{80, -12.0, 60}}) {
      room.engine = engine;
      all.push_back(room);
    }
  }
  return all;
}

class EchoCancellerInARoom : public GateRun, public ::testing::WithParamInterface<RoomSetting> {
 protected:
  static inline Studio* studio = nullptr;
  static void SetUpTestSuite() { studio = new Studio(); }
  static void TearDownTestSuite() {
    delete studio;
    studio = nullptr;
  }
};

TEST_P(EchoCancellerInARoom, RemovesTheFarEndAndKeepsTheNearEnd) {
  const RoomSetting room = GetParam();
  const Conversation& c = conversation(*studio);
  const auto echo = studio->room(c.far, room.delay_ms, room.gain_db, room.reverberance);
  const Outcome o = cancel(c, echo, on(room.engine));

  const double enhancement = erle(c, o);
  const double near_alone = energy(o.out, c.near_only.first, c.near_only.end);
  const double near_over_far = energy(o.out, c.double_talk.first, c.double_talk.end);
  const double double_talk_db = db(near_over_far / near_alone);
  const double audio_seconds = static_cast<double>(o.mic.size()) / kRate;
  std::printf(
      "[ %s, room %d ms, %.0f dB, reverb %d ] ERLE %.1f dB; double talk %+.1f dB; "
      "stage %.4f s of CPU per s of audio\n",
      echo_engine_name(room.engine), room.delay_ms, room.gain_db, room.reverberance, enhancement,
      double_talk_db, o.seconds_in_stage / audio_seconds);
  // WebRTC's engine reaches the 25 dB aimed at; speexdsp's the 20 dB asked for.
  EXPECT_GE(enhancement, room.engine == EchoEngineKind::kWebRtc ? 25.0 : 20.0);
  EXPECT_LE(std::abs(double_talk_db), 3.0);

  // The echo alone makes the detector fire on the raw microphone; after the
  // stage (and the same two seconds of convergence) it does not, and each
  // near-end phrase ends exactly once.
  const auto raw_ends = speech_ends(o.mic);
  const std::size_t converged = c.far_only.first + 2000 * kMs;
  ASSERT_GE(within(raw_ends, converged, c.far_only.end + 500 * kMs), 1u);
  const auto ends = speech_ends(o.out);
  EXPECT_EQ(within(ends, converged, c.near_only.first), 0u);
  EXPECT_EQ(within(ends, c.near_only.first, c.double_talk.first), 1u);
  EXPECT_EQ(within(ends, c.double_talk.first, o.out.size()), 1u);
}

// The engine finds its options by the address of a static in its header's
// templates; an addon that hid its copy would run without them, silently.
TEST_F(EchoCancellerInARoom, TheExtendedFilterReachesTheEngine) {
  if (!echo_engine_built(EchoEngineKind::kWebRtc)) GTEST_SKIP() << "built without WebRTC's engine";
  const Conversation& c = conversation(*studio);
  const auto echo = studio->room(c.far, 80, -12.0, 60);
  EchoCancelOptions plain = on(EchoEngineKind::kWebRtc);
  plain.extended_filter = false;
  EXPECT_GE(erle(c, cancel(c, echo, on(EchoEngineKind::kWebRtc))) - erle(c, cancel(c, echo, plain)),
            10.0);
}

// The figures behind the stage's defaults, for each mode of the engine; run
// with --gtest_also_run_disabled_tests.
TEST_P(EchoCancellerInARoom, DISABLED_SurveyOfEngineModes) {
  const RoomSetting room = GetParam();
  if (room.engine != EchoEngineKind::kWebRtc) GTEST_SKIP() << "modes of WebRTC's engine";
  const Conversation& c = conversation(*studio);
  const auto echo = studio->room(c.far, room.delay_ms, room.gain_db, room.reverberance);
  for (const bool delay_agnostic : {false, true}) {
    for (const bool extended_filter : {false, true}) {
      {
        EchoCancelOptions options = on(EchoEngineKind::kWebRtc);
        options.delay_agnostic = delay_agnostic;
        options.extended_filter = extended_filter;
        const Outcome o = cancel(c, echo, options);
        const double dt = db(energy(o.out, c.double_talk.first, c.double_talk.end) /
                             energy(o.out, c.near_only.first, c.near_only.end));
        std::printf(
            "[ room %d ms ] delay-agnostic %d extended %d: ERLE %.1f dB, "
            "double talk %+.1f dB, %.4f s CPU per s\n",
            room.delay_ms, delay_agnostic, extended_filter, erle(c, o), dt,
            o.seconds_in_stage * kRate / static_cast<double>(o.mic.size()));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rooms, EchoCancellerInARoom, ::testing::ValuesIn(rooms()),
                         [](const auto& room_info) {
                           return std::string(echo_engine_name(room_info.param.engine)) + "_" +
                                  std::to_string(room_info.param.delay_ms) + "ms";
                         });

class EchoCancellerOnEachEngine : public ::testing::TestWithParam<EchoEngineKind> {
 protected:
  void SetUp() override {
    if (!echo_engine_built(GetParam())) GTEST_SKIP() << "not in this build";
  }
};

TEST_P(EchoCancellerOnEachEngine, WithoutAReferenceTheMicrophonePassesThroughAndTheLossIsToldOnce) {
  auto stage = EchoCanceller::create(44100, 2, on(GetParam()));
  ASSERT_TRUE(stage.has_value());
  EchoCanceller& ec = **stage;
  EXPECT_EQ(ec.engine(), GetParam());
  // 44.1 kHz is not one of WebRTC's rates; speexdsp's engine runs at 16 kHz.
  const std::uint32_t rate = GetParam() == EchoEngineKind::kWebRtc ? 48000 : 16000;
  const std::size_t frame = rate / 100;
  EXPECT_EQ(ec.rate(), rate);
  EXPECT_EQ(ec.channels(), 2);
  // A 16-bit stereo microphone in 441-frame buffers, no reference at all.
  std::vector<std::int16_t> mic(2 * 441);
  for (std::size_t i = 0; i < mic.size(); ++i) mic[i] = static_cast<std::int16_t>((i % 97) * 100);
  std::vector<ReferenceAlignment::Event> events;
  std::size_t out = 0;
  for (int i = 0; i < 200; ++i) {  // two seconds
    const auto result = ec.process(std::span<const std::int16_t>(mic));
    if (result.event != ReferenceAlignment::Event::kNone) events.push_back(result.event);
    EXPECT_EQ(result.samples.size() % (2 * frame), 0u);
    out += result.samples.size();
  }
  EXPECT_EQ(events, std::vector<ReferenceAlignment::Event>{ReferenceAlignment::Event::kLost});
  EXPECT_EQ(ec.cancelled_frames(), 0u);
  // Two seconds in, two seconds out at the engine's rate, less the frame
  // still being gathered and the resampler's latency.
  EXPECT_NEAR(static_cast<double>(out), 4.0 * rate, 4.0 * static_cast<double>(frame));

  // The reference starts: cancellation resumes, told once.
  auto feed = ec.reference()->feed(48000, 2);
  std::vector<float> far(2 * 480, 0.1f);
  events.clear();
  for (int i = 0; i < 100; ++i) {
    feed->push(far);
    const auto result = ec.process(std::span<const std::int16_t>(mic));
    if (result.event != ReferenceAlignment::Event::kNone) events.push_back(result.event);
  }
  EXPECT_EQ(events, std::vector<ReferenceAlignment::Event>{ReferenceAlignment::Event::kResumed});
  EXPECT_GT(ec.cancelled_frames(), 90u);
}

TEST_P(EchoCancellerOnEachEngine, RefusesWhatTheEngineCannotRun) {
  EXPECT_FALSE(EchoCanceller::create(0, 1, on(GetParam())).has_value());
  EchoCancelOptions odd = on(GetParam());
  odd.engine_rate = 22050;
  const auto refused = EchoCanceller::create(48000, 1, odd);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().find("22050"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Engines, EchoCancellerOnEachEngine,
                         ::testing::Values(EchoEngineKind::kWebRtc, EchoEngineKind::kSpeex),
                         [](const auto& engine) { return echo_engine_name(engine.param); });

TEST(EchoCanceller, UsesWebRtcsEngineWhereBuiltAndSaysWhenItIsMissing) {
  auto made = EchoCanceller::create(48000, 1);
  ASSERT_TRUE(made.has_value());
  EXPECT_EQ((*made)->engine(), default_echo_engine());
  const auto webrtc = EchoCanceller::create(48000, 1, on(EchoEngineKind::kWebRtc));
  if (echo_engine_built(EchoEngineKind::kWebRtc)) {
    EXPECT_EQ(default_echo_engine(), EchoEngineKind::kWebRtc);
    EXPECT_TRUE(webrtc.has_value());
  } else {
    EXPECT_EQ(default_echo_engine(), EchoEngineKind::kSpeex);
    ASSERT_FALSE(webrtc.has_value());
    EXPECT_NE(webrtc.error().find("no WebRTC echo engine"), std::string::npos) << webrtc.error();
  }
  EXPECT_EQ(parse_echo_engine("speex"), EchoEngineKind::kSpeex);
  EXPECT_EQ(parse_echo_engine("webrtc"), EchoEngineKind::kWebRtc);
  EXPECT_EQ(parse_echo_engine("WebRTC"), std::nullopt);
}

}  // namespace
}  // namespace parlanto_audio
