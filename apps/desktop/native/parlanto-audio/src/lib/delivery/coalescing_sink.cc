#include "delivery/coalescing_sink.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "base/napi_helpers.h"

namespace parlanto_audio {

namespace {

constexpr char kResourceName[] = "parlanto_audio.capture";

using Samples = std::vector<std::int16_t>;

void free_samples(napi_env, void*, void* hint) { delete static_cast<Samples*>(hint); }

napi_value number(napi_env env, double value) {
  napi_value result = nullptr;
  napi_create_double(env, value, &result);
  return result;
}

napi_value text(napi_env env, const char* value) {
  napi_value result = nullptr;
  napi_create_string_utf8(env, value, NAPI_AUTO_LENGTH, &result);
  return result;
}

napi_value text(napi_env env, const std::string& value) {
  napi_value result = nullptr;
  napi_create_string_utf8(env, value.data(), value.size(), &result);
  return result;
}

// { type: 'reopened', deviceId, deviceSampleRate, deviceChannels,
// echoReferenceId } or { type: 'reference', echoReferenceId }.
napi_value reopened_value(napi_env env, const CoalescingSink::Reopened& what) {
  napi_value object = nullptr;
  napi_create_object(env, &object);
  napi_set_named_property(env, object, "type",
                          text(env, what.reference_only ? "reference" : "reopened"));
  if (!what.reference_only) {
    napi_set_named_property(env, object, "deviceId", text(env, what.device_id));
    napi_set_named_property(env, object, "deviceSampleRate", number(env, what.device_rate));
    napi_set_named_property(env, object, "deviceChannels", number(env, what.device_channels));
  }
  napi_set_named_property(env, object, "echoReferenceId", text(env, what.reference_id));
  return object;
}

}  // namespace

napi_value turn_event_value(napi_env env, const TurnEvent& event) {
  napi_value object = nullptr;
  napi_create_object(env, &object);
  const bool ended = event.kind == TurnEvent::Kind::kEnded;
  napi_set_named_property(env, object, "type",
                          text(env, ended ? "speech-ended" : "speech-started"));
  napi_set_named_property(env, object, "frame", number(env, static_cast<double>(event.frame)));
  if (ended) {
    napi_set_named_property(env, object, "startFrame",
                            number(env, static_cast<double>(event.start_frame)));
    napi_set_named_property(env, object, "endFrame",
                            number(env, static_cast<double>(event.end_frame)));
    napi_set_named_property(env, object, "reason", text(env, turn_end_name(event.reason)));
  }
  return object;
}

// What the audio thread and the JavaScript thread share. Held by the handle
// and by the thread-safe function's context, so it outlives the handle until
// the function is finalized.
struct CoalescingSink::Shared {
  std::shared_mutex life;  // writer: the finalization notice
  bool aborted = false;    // guarded by life
  napi_threadsafe_function raw = nullptr;
  napi_ref on_closed = nullptr;  // JavaScript thread only

  mutable std::mutex mutex;  // guards everything below
  Samples pending;
  std::uint64_t first_frame = 0;  // frame index of pending's first frame
  std::uint64_t dropped = 0;
  std::uint16_t channels = 1;
  std::uint32_t sample_rate = 48000;
  std::uint64_t bound_frames = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t min_frames = 1;
  double anchor_ms = std::numeric_limits<double>::quiet_NaN();  // of delivered frame 0
  std::uint64_t stream_base = 0;  // the delivered frame of the current stream's frame 0
  bool stream_begun = false;
  std::vector<TurnEvent> turns;
  std::vector<std::string> errors;
  // Fixed room, so the audio thread never allocates for them; a delivery
  // rarely carries more than two.
  std::array<EchoEvent, 8> echo_events{};
  std::size_t echo_count = 0;
  std::vector<Reopened> reopened;
  bool silent = false;          // no audio was reported, and none has come since
  bool audio_resumed = false;   // ... until now
  bool call_queued = false;
  std::function<void()> on_fault;  // set before any stream; read without the mutex
  std::atomic<std::int64_t> last_append_ns{-1};  // steady clock; read without the mutex

  // Drops the oldest pending frames beyond `keep`. Under mutex.
  void drop_beyond(std::uint64_t keep) {
    const std::uint64_t frames = pending.size() / channels;
    if (frames <= keep) return;
    const std::uint64_t excess = frames - keep;
    pending.erase(pending.begin(),
                  pending.begin() + static_cast<std::ptrdiff_t>(excess * channels));
    first_frame += excess;
    dropped += excess;
  }
};

namespace {

// An array of `make(item)` for each of `items`, or undefined when there are none.
template <typename Items, typename Make>
napi_value array_of(napi_env env, const Items& items, std::size_t count, Make make) {
  napi_value array = nullptr;
  if (count == 0) {
    napi_get_undefined(env, &array);
    return array;
  }
  napi_create_array_with_length(env, count, &array);
  for (std::size_t i = 0; i < count; ++i) {
    napi_set_element(env, array, static_cast<std::uint32_t>(i), make(items[i]));
  }
  return array;
}

}  // namespace

struct CoalescingSink::Access {
  // Everything pending at one moment: what one call carries.
  struct Delivery {
    std::unique_ptr<Samples> samples = std::make_unique<Samples>();
    std::uint64_t frame = 0;
    double time = 0;
    std::uint64_t dropped = 0;
    std::vector<TurnEvent> turns;
    std::vector<std::string> errors;
    std::array<EchoEvent, 8> echo{};
    std::size_t echo_count = 0;
    std::vector<Reopened> reopened;
    bool audio_resumed = false;
  };

  static Delivery take(Shared& shared) {
    Delivery taken;
    std::lock_guard lock(shared.mutex);
    shared.drop_beyond(shared.bound_frames);
    shared.call_queued = false;
    taken.frame = shared.first_frame;
    taken.time = shared.anchor_ms + static_cast<double>(taken.frame) * 1000.0 /
                                        static_cast<double>(shared.sample_rate);
    taken.samples->swap(shared.pending);
    shared.first_frame += taken.samples->size() / shared.channels;
    taken.dropped = shared.dropped;
    taken.turns.swap(shared.turns);
    taken.errors.swap(shared.errors);
    taken.echo = shared.echo_events;
    taken.echo_count = std::exchange(shared.echo_count, 0);
    taken.reopened.swap(shared.reopened);
    taken.audio_resumed = std::exchange(shared.audio_resumed, false);
    return taken;
  }

  // The samples as a Buffer over their own memory where the engine allows
  // it, else a copy; undefined when there are none.
  static napi_value chunk_value(napi_env env, std::unique_ptr<Samples>& samples) {
    napi_value chunk = nullptr;
    napi_get_undefined(env, &chunk);
    if (samples->empty()) return chunk;
    const std::size_t bytes = samples->size() * sizeof(std::int16_t);
    const napi_status status = napi_create_external_buffer(env, bytes, samples->data(),
                                                           free_samples, samples.get(), &chunk);
    if (status == napi_ok) {
      samples.release();  // the Buffer's finalizer frees it
    } else if (status == napi_no_external_buffers_allowed) {
      napi_create_buffer_copy(env, bytes, samples->data(), nullptr, &chunk);
    }
    return chunk;
  }

  // One delivery: everything pending at this moment.
  static void invoke(napi_env env, napi_value function, void* context, void*) {
    if (env == nullptr || function == nullptr) return;
    Delivery taken = take(**static_cast<std::shared_ptr<Shared>*>(context));
    napi_value undefined = nullptr;
    napi_get_undefined(env, &undefined);
    napi_value resumed = undefined;
    if (taken.audio_resumed) napi_get_boolean(env, true, &resumed);
    napi_value args[9] = {
        chunk_value(env, taken.samples),
        number(env, static_cast<double>(taken.frame)),
        number(env, std::isnan(taken.time) ? 0.0 : taken.time),
        number(env, static_cast<double>(taken.dropped)),
        array_of(env, taken.turns, taken.turns.size(),
                 [&](const TurnEvent& event) { return turn_event_value(env, event); }),
        array_of(env, taken.errors, taken.errors.size(),
                 [&](const std::string& error) { return text(env, error); }),
        array_of(env, taken.echo, taken.echo_count,
                 [&](EchoEvent event) {
                   return text(env, event == EchoEvent::kLost      ? "lost"
                                    : event == EchoEvent::kResumed ? "resumed"
                                                                   : "failed");
                 }),
        array_of(env, taken.reopened, taken.reopened.size(),
                 [&](const Reopened& what) { return reopened_value(env, what); }),
        resumed};
    report_call_failure(env, napi_call_function(env, undefined, function, 9, args, nullptr), true);
  }

  // After the release once drained, or at environment teardown.
  static void finalize(napi_env env, void* data, void*) {
    std::unique_ptr<std::shared_ptr<Shared>> held(static_cast<std::shared_ptr<Shared>*>(data));
    Shared& shared = **held;
    {
      std::unique_lock lock(shared.life);
      shared.aborted = true;
    }
    if (shared.on_closed != nullptr) {
      napi_value function = nullptr;
      napi_value undefined = nullptr;
      napi_get_undefined(env, &undefined);
      // At teardown the engine refuses the call; there is nobody left to tell.
      if (napi_get_reference_value(env, shared.on_closed, &function) == napi_ok &&
          function != nullptr) {
        report_call_failure(env, napi_call_function(env, undefined, function, 0, nullptr, nullptr),
                            false);
      }
      napi_delete_reference(env, shared.on_closed);
      shared.on_closed = nullptr;
    }
  }
};

ModuleResult<std::shared_ptr<CoalescingSink>> CoalescingSink::create(napi_env env,
                                                                     napi_value on_delivery,
                                                                     napi_value on_closed) {
  auto shared = std::make_shared<Shared>();
  auto context = std::make_unique<std::shared_ptr<Shared>>(shared);
  // At most one call is ever queued; the handle's single release closes it.
  const napi_status status =
      create_threadsafe_function(env, on_delivery, kResourceName, context.get(), &Access::finalize,
                                 context.get(), &Access::invoke, &shared->raw);
  if (status != napi_ok) return unexpected(ModuleError{status, {}});
  context.release();  // the finalization notice frees it
  if (on_closed != nullptr) napi_create_reference(env, on_closed, 1, &shared->on_closed);
  return std::shared_ptr<CoalescingSink>(new CoalescingSink(std::move(shared)));
}

CoalescingSink::CoalescingSink(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

CoalescingSink::~CoalescingSink() {
  // What is held back below the least worth a call goes out with the release.
  bool needed = false;
  {
    std::lock_guard state(shared_->mutex);
    needed = !shared_->call_queued && !shared_->pending.empty();
    shared_->call_queued = shared_->call_queued || needed;
  }
  queue_call(needed);
  std::shared_lock lock(shared_->life);
  if (!shared_->aborted) napi_release_threadsafe_function(shared_->raw, napi_tsfn_release);
}

void CoalescingSink::configure(std::uint16_t channels, std::uint32_t sample_rate,
                               std::uint64_t bound_frames, std::uint64_t min_frames) {
  std::lock_guard lock(shared_->mutex);
  shared_->channels = channels == 0 ? 1 : channels;
  shared_->sample_rate = sample_rate == 0 ? 48000 : sample_rate;
  shared_->bound_frames = bound_frames == 0 ? 1 : bound_frames;
  shared_->min_frames = std::clamp<std::uint64_t>(min_frames, 1, shared_->bound_frames);
}

void CoalescingSink::append(std::span<const std::int16_t> samples, double anchor_ms) {
  bool needed = false;
  {
    std::lock_guard lock(shared_->mutex);
    Shared& s = *shared_;
    const std::size_t whole = samples.size() - samples.size() % s.channels;
    if (whole == 0) return;
    s.pending.insert(s.pending.end(), samples.begin(),
                     samples.begin() + static_cast<std::ptrdiff_t>(whole));
    s.anchor_ms = anchor_ms -
                  static_cast<double>(s.stream_base) * 1000.0 / static_cast<double>(s.sample_rate);
    // Trimmed in steps of a quarter of the bound, so a blocked JavaScript
    // thread costs one move of the kept frames per quarter, not per buffer.
    const std::uint64_t slack = s.bound_frames / 4;
    if (s.pending.size() / s.channels > s.bound_frames + slack) s.drop_beyond(s.bound_frames);
    if (s.silent) {
      s.silent = false;
      s.audio_resumed = true;
    }
    s.last_append_ns.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count(),
                           std::memory_order_relaxed);
    needed = !s.call_queued && s.pending.size() / s.channels >= s.min_frames;
    s.call_queued = s.call_queued || needed;
  }
  queue_call(needed);
}

void CoalescingSink::begin_stream(double anchor_ms) {
  std::lock_guard lock(shared_->mutex);
  Shared& s = *shared_;
  const std::uint64_t next = s.first_frame + s.pending.size() / s.channels;
  std::uint64_t lost = 0;
  // Audio still pending belongs to the stream before; a gap cannot sit inside
  // one delivery, so it is not marked then. In practice the failure's error
  // has taken the pending audio along before a stream is opened again.
  if (s.stream_begun && s.pending.empty() && !std::isnan(s.anchor_ms)) {
    const double expected_ms =
        s.anchor_ms + static_cast<double>(next) * 1000.0 / static_cast<double>(s.sample_rate);
    const double gap = (anchor_ms - expected_ms) * static_cast<double>(s.sample_rate) / 1000.0;
    if (gap > 0) lost = static_cast<std::uint64_t>(std::llround(gap));
  }
  s.stream_begun = true;
  s.stream_base = next + lost;
  s.first_frame = next + lost;
}

template <typename Change>
void CoalescingSink::queue_event(Change change) {
  bool needed = false;
  {
    std::lock_guard lock(shared_->mutex);
    change(*shared_);
    needed = !shared_->call_queued;
    shared_->call_queued = true;
  }
  queue_call(needed);
}

void CoalescingSink::turn_event(const TurnEvent& event) {
  queue_event([&](Shared& s) {
    TurnEvent placed = event;
    placed.frame += s.stream_base;
    placed.start_frame += s.stream_base;
    placed.end_frame += s.stream_base;
    s.turns.push_back(placed);
  });
}

void CoalescingSink::flush() {
  bool needed = false;
  {
    std::lock_guard lock(shared_->mutex);
    needed = !shared_->call_queued && !shared_->pending.empty();
    shared_->call_queued = shared_->call_queued || needed;
  }
  queue_call(needed);
}

void CoalescingSink::stream_error(std::string text) {
  queue_event([&](Shared& s) { s.errors.push_back(std::move(text)); });
  if (shared_->on_fault) shared_->on_fault();
}

void CoalescingSink::on_fault(std::function<void()> listener) {
  shared_->on_fault = std::move(listener);
}

void CoalescingSink::silence(std::string text) {
  queue_event([&](Shared& s) {
    s.errors.push_back(std::move(text));
    s.silent = true;
  });
}

void CoalescingSink::reopened(Reopened what) {
  queue_event([&](Shared& s) {
    if (!what.reference_only) s.silent = false;
    s.reopened.push_back(std::move(what));
  });
}

void CoalescingSink::echo_event(EchoEvent event) {
  queue_event([&](Shared& s) {
    // Full (a delivery long overdue): the latest event takes the last place,
    // so the state JavaScript ends up with is the current one.
    if (s.echo_count < s.echo_events.size()) ++s.echo_count;
    s.echo_events[s.echo_count - 1] = event;
  });
  if (event == EchoEvent::kFailed && shared_->on_fault) shared_->on_fault();
}

void CoalescingSink::queue_call(bool needed) {
  if (!needed) return;
  std::shared_lock lock(shared_->life);
  if (shared_->aborted) return;
  if (napi_call_threadsafe_function(shared_->raw, nullptr, napi_tsfn_nonblocking) != napi_ok) {
    std::lock_guard state(shared_->mutex);
    shared_->call_queued = false;
  }
}

void CoalescingSink::restart_idle() {
  shared_->last_append_ns.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count(),
                                std::memory_order_relaxed);
}

double CoalescingSink::idle_ms() const {
  const std::int64_t last = shared_->last_append_ns.load(std::memory_order_relaxed);
  if (last < 0) return -1;
  const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  return static_cast<double>(now - last) / 1e6;
}

CoalescingSink::Counters CoalescingSink::counters() const {
  std::lock_guard lock(shared_->mutex);
  return {shared_->pending.size() / shared_->channels, shared_->dropped};
}

}  // namespace parlanto_audio
