#include "capture/layer_session.h"

#include <utility>

#include "data/capture_callback.h"
#include "data/capture_tap.h"

namespace parlanto_audio {

namespace {

// Feeds the echo canceller's reference from its loopback stream. Owned by
// the stream; copies share one feed, and the backend calls one at a time.
struct ReferenceTap {
  std::shared_ptr<ReferenceAlignment::Feed> feed;

  void operator()(std::span<const float> samples) const { feed->push(samples); }
  void operator()(std::span<const std::int16_t> samples) const { feed->push(samples); }
};

std::string quoted_id(const std::string& text) {
  constexpr std::size_t kShown = 200;
  return text.size() <= kShown ? "'" + text + "'" : "'" + text.substr(0, kShown) + "...'";
}

// The output device the echo comes from: the one the id names, exactly (an
// id that names nothing, or an input device, is an error, never the
// default), else the default output device now.
ModuleResult<std::shared_ptr<Device>> reference_device(Host& host,
                                                       const EchoCancelRequest& request) {
  if (!request.reference_id) {
    HostResult<std::shared_ptr<Device>> found = host.default_output_device();
    if (!found) {
      return module_error("echo cancellation: the default output device could not be found",
                          std::move(found.error().text));
    }
    if (!*found) {
      return module_error(
          "echo cancellation: there is no default output device to take the echo's reference from");
    }
    return *found;
  }
  const std::string unknown = "echo cancellation: no output device has the id " +
                              quoted_id(*request.reference_id) +
                              " (listOutputDevices() gives the ids)";
  const std::optional<DeviceId> id = parse_device_id(host, request.reference_id);
  if (!id) return module_error(unknown);
  HostResult<std::shared_ptr<Device>> found = host.device_by_id(*id);
  if (!found) {
    return module_error("echo cancellation: the reference device could not be found",
                        std::move(found.error().text));
  }
  if (!*found || !(*found)->supports_output()) return module_error(unknown);
  return *found;
}

ModuleResult<ReferenceStream> open_reference_once(
    Device& device, const std::shared_ptr<ReferenceAlignment>& alignment,
    const std::shared_ptr<CoalescingSink>& sink, const std::string& app_name) {
  ModuleResult<StreamCandidates> candidates = stream_candidates(device);
  if (!candidates) return unexpected(std::move(candidates).error());
  const SampleFormat format = candidates->format;
  if (!is_stream_format(format)) {
    return module_error("echo cancellation: the reference device's sample format is " +
                        std::string(sample_format_name(format)));
  }

  ReferenceStream opened;
  const std::weak_ptr<ReferenceAlignment> weak_alignment = alignment;
  const std::weak_ptr<CoalescingSink> weak_sink = sink;
  const StreamErrorCallback on_error = [weak_alignment, weak_sink,
                                        failed = opened.failed](const HostError&) {
    failed->store(true);
    if (const auto held = weak_alignment.lock()) held->mark_lost();
    if (const auto held = weak_sink.lock()) held->echo_event(CoalescingSink::EchoEvent::kFailed);
  };
  Expected<BuiltStream, HostError> built = build_first_candidate(
      device, format, candidates->configs, StreamRole::kSystemAudio, app_name,
      [&](const StreamConfig& config) {
        // A feed is made before its stream runs (and only once the previous
        // stream of this alignment was dropped).
        ReferenceTap tap{alignment->feed(config.sample_rate, config.channels)};
        if (!tap.feed->valid()) {
          return Candidate<ReferenceTap>{
              std::nullopt, "cannot resample " + std::to_string(config.sample_rate) + " Hz"};
        }
        return Candidate<ReferenceTap>{std::move(tap)};
      },
      on_error);
  if (!built) {
    return module_error("echo cancellation: the reference stream could not be built: " +
                        built.error().text);
  }
  opened.stream = std::move(built->stream);
  if (HostResult<Ok> played = opened.stream->play(); !played) {
    return module_error("echo cancellation: the reference stream could not play: " +
                        played.error().text);
  }
  if (HostResult<DeviceId> id = device.id()) opened.device_id = id->to_string();
  return opened;
}

// `final` is set when another attempt cannot help (the echo engine cannot be
// made), whatever the error's text says.
ModuleResult<OpenedLayerStream> open_once(Device& device, const LayerRequest& request,
                                          const std::shared_ptr<CoalescingSink>& sink,
                                          const std::shared_ptr<std::atomic<bool>>& stopped,
                                          bool& final) {
  ModuleResult<StreamCandidates> candidates = stream_candidates(device);
  if (!candidates) return unexpected(std::move(candidates).error());
  const SampleFormat format = candidates->format;
  if (!is_stream_format(format)) {
    return module_error("Unsupported sample format: " + std::string(sample_format_name(format)));
  }

  OpenedLayerStream opened;
  // Stream errors reach the layer, which writes the standard-error line only
  // when the application does not listen for them.
  const std::weak_ptr<CoalescingSink> weak_sink = sink;
  const StreamErrorCallback on_error = [weak_sink, failed = opened.failed](const HostError& error) {
    failed->store(true);
    if (const auto held = weak_sink.lock()) held->stream_error("stream error: " + error.text);
  };

  // What the candidate that builds brings besides its tap.
  std::shared_ptr<ReferenceAlignment> alignment;
  EchoEngineKind echo_engine = EchoEngineKind::kWebRtc;
  PcmFormat delivered;
  std::optional<std::string> no_engine;  // the echo engine cannot be made: no candidate can help
  Expected<BuiltStream, HostError> built = build_first_candidate(
      device, format, candidates->configs,
      request.kind == CaptureKind::kSystemLoopback ? StreamRole::kSystemAudio
                                                   : StreamRole::kMicrophone,
      request.app_name,
      [&](const StreamConfig& config) -> Candidate<CaptureTap> {
        if (no_engine) return {std::nullopt, *no_engine};
        const PcmFormat from{config.sample_rate, config.channels};
        // With echo cancellation the tap converts what the canceller gives.
        std::unique_ptr<EchoCanceller> canceller;
        if (request.echo_cancel) {
          EchoCancelOptions options;
          options.noise_suppression = request.echo_cancel->noise_suppression;
          options.gain_control = request.echo_cancel->gain_control;
          options.engine = request.echo_cancel->engine;
          auto made = EchoCanceller::create(from.sample_rate, from.channels, options);
          if (!made) {
            no_engine = std::move(made).error();
            return {std::nullopt, *no_engine};
          }
          canceller = std::move(made).value();
        }
        const PcmFormat stage =
            canceller ? PcmFormat{canceller->rate(), canceller->channels()} : from;
        const PcmFormat to{
            request.format.sample_rate ? request.format.sample_rate : stage.sample_rate,
            request.format.channels ? request.format.channels : stage.channels};
        std::unique_ptr<FormatConverter> converter = FormatConverter::create(stage, to);
        if (!converter) {
          return {std::nullopt, "cannot convert " + std::to_string(stage.sample_rate) +
                                    " Hz to " + std::to_string(to.sample_rate) + " Hz"};
        }
        alignment = canceller ? canceller->reference() : nullptr;
        echo_engine = canceller ? canceller->engine() : EchoEngineKind::kWebRtc;
        delivered = to;
        auto state = std::make_shared<CaptureTapState>(sink, std::move(converter), from,
                                                       std::move(canceller), steady_now,
                                                       request.turn);
        state->stopped = stopped;
        return {CaptureTap{stopped, std::move(state)}};
      },
      on_error);
  if (no_engine) {
    final = true;
    return module_error(std::move(*no_engine));
  }
  if (!built) {
    return module_error("build_input_stream failed: " + built.error().text, {},
                        built.error().kind);
  }
  opened.stream = std::move(built->stream);
  opened.alignment = std::move(alignment);
  if (request.echo_cancel) opened.echo_engine = echo_engine;
  opened.device = PcmFormat{built->config.sample_rate, built->config.channels};
  opened.delivered = delivered;

  const std::uint64_t bound_frames =
      static_cast<std::uint64_t>(opened.delivered.sample_rate) * request.bound_ms / 1000;
  const std::uint64_t min_frames =
      static_cast<std::uint64_t>(opened.delivered.sample_rate) * request.chunk_ms / 1000;
  sink->configure(opened.delivered.channels, opened.delivered.sample_rate, bound_frames,
                  min_frames);
  if (request.echo_cancel) {
    ModuleResult<ReferenceStream> reference =
        open_reference_stream(*request.echo_cancel, opened.alignment, sink);
    if (reference) {
      opened.reference = std::move(reference).value();
    } else if (request.echo_cancel->reference_may_fail) {
      // The microphone runs uncancelled; the layer opens the reference again.
      opened.reference.failed->store(true);
      sink->echo_event(CoalescingSink::EchoEvent::kFailed);
    } else {
      return unexpected(std::move(reference).error());
    }
  }
  if (HostResult<Ok> played = opened.stream->play(); !played) {
    return module_error("play stream failed: " + played.error().text, {}, played.error().kind);
  }
  if (HostResult<DeviceId> id = device.id()) opened.device_id = id->to_string();
  return opened;
}

}  // namespace

ModuleResult<ReferenceStream> open_reference_stream(
    const EchoCancelRequest& request, const std::shared_ptr<ReferenceAlignment>& alignment,
    const std::shared_ptr<CoalescingSink>& sink) {
  ModuleResult<ReferenceStream> opened = module_error("echo cancellation: no audio system");
  if (std::shared_ptr<Host> host = default_host()) {
    ModuleResult<std::shared_ptr<Device>> device = reference_device(*host, request);
    opened = device ? open_reference_once(**device, alignment, sink, request.app_name)
                    : ModuleResult<ReferenceStream>(unexpected(std::move(device).error()));
  }
  // A new feed cleared the loss of the stream before; without a stream the
  // reference stays lost.
  if (!opened) alignment->mark_lost();
  return opened;
}

ModuleResult<OpenedLayerStream> open_layer_stream(const LayerRequest& request,
                                                  const std::shared_ptr<CoalescingSink>& sink,
                                                  const std::shared_ptr<std::atomic<bool>>& stopped,
                                                  RetryPause pause) {
  const bool is_output = request.kind == CaptureKind::kSystemLoopback;
  std::shared_ptr<Host> host = default_host();
  if (!host) {
    return module_error(is_output ? "No default output device (system audio)"
                                  : "No default input device found");
  }
  if (request.echo_cancel) {
    if (is_output) {
      return unexpected(ModuleError{
          napi_invalid_arg, "echo cancellation applies to a microphone capture, not a loopback"});
    }
    if (const auto engine = request.echo_cancel->engine; engine && !echo_engine_built(*engine)) {
      return unexpected(ModuleError{
          napi_invalid_arg, std::string("echo cancellation: this build of the module has no '") +
                                echo_engine_name(*engine) + "' engine; it has '" +
                                echo_engine_name(default_echo_engine()) + "'"});
    }
    // An unknown reference fails the first open before anything is built.
    if (!request.echo_cancel->reference_may_fail) {
      ModuleResult<std::shared_ptr<Device>> reference =
          reference_device(*host, *request.echo_cancel);
      if (!reference) return unexpected(std::move(reference).error());
    }
  }
  std::shared_ptr<Device> device;
  std::optional<std::string> found_by;
  if (request.exact_device && request.device_id) {
    std::optional<DeviceId> id = parse_device_id(*host, request.device_id);
    HostResult<std::shared_ptr<Device>> exact =
        id ? host->device_by_id(*id) : HostResult<std::shared_ptr<Device>>(nullptr);
    if (!exact) return module_error(std::move(exact.error().text));
    if (!*exact) return module_error("the device is not there");
    device = *exact;
    found_by = request.device_id;
  } else {
    ModuleResult<PickedDevice> picked = pick_device(*host, request.device_id, is_output);
    if (!picked) return unexpected(std::move(picked).error());
    device = picked->device;
    if (picked->id) found_by = picked->id->to_string();
  }

  bool final = false;
  ModuleResult<OpenedLayerStream> result =
      with_start_retries([&] { return open_once(*device, request, sink, stopped, final); }, pause,
                         [&] { return final || stopped->load(); });
  if (result) {
    result->again = request;
    result->again.device_id = found_by;
    result->again.exact_device = found_by.has_value();
    result->again.format = result->delivered;
    if (result->again.echo_cancel) result->again.echo_cancel->reference_may_fail = true;
  }
  return result;
}

LayerRequest LayerSession::again() const {
  std::lock_guard lock(mutex_);
  return again_;
}

bool LayerSession::begin_open() {
  std::lock_guard lock(mutex_);
  if (opening_) return false;
  opening_ = true;
  return true;
}

bool LayerSession::adopt(OpenedLayerStream opened, std::shared_ptr<CoalescingSink> sink) {
  Dropped before;
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    opening_ = false;
    // A stop came first: the streams and their callbacks go with `opened`.
    if (stopped_->load()) return false;
    before = take_streams();
    reference_ = std::move(opened.reference);
    stream_ = std::move(opened.stream);
    stream_failed_ = std::move(opened.failed);
    alignment_ = std::move(opened.alignment);
    again_ = std::move(opened.again);
    needs_open_ = false;
    first = !sink_;
    if (first) sink_ = std::move(sink);
  }
  sink_->restart_idle();
  if (first) {
    recovery_.start(Recovery::Hooks{
        [this] { return needs_open(); }, [this] { drop_failed(); }, [this] { return reopen(); },
        [this] { return sink_->idle_ms(); },
        [this] { sink_->silence("stream error: " + no_data_text()); },
        [this] { keep_reference(); }});
  }
  return true;
}

void LayerSession::open_failed() {
  {
    std::lock_guard lock(mutex_);
    opening_ = false;
    if (!stream_) needs_open_ = true;
  }
  recovery_.waker()();
}

LayerSession::Dropped LayerSession::take_streams() {
  Dropped dropped{std::move(stream_), std::move(reference_)};
  reference_ = ReferenceStream{};
  alignment_.reset();
  return dropped;
}

void LayerSession::drop_stream() {
  std::unique_lock lock(mutex_);
  Dropped dropped = take_streams();
  lock.unlock();
}

void LayerSession::stop() {
  stopped_->exchange(true);
  recovery_.stop();
  drop_stream();
  sink_.reset();
}

bool LayerSession::needs_open() const {
  std::lock_guard lock(mutex_);
  return !stopped_->load() && !opening_ &&
         (needs_open_ || (stream_ && stream_failed_->load()));
}

void LayerSession::drop_failed() {
  std::unique_lock lock(mutex_);
  if (opening_ || !stream_failed_->load()) return;
  needs_open_ = true;
  Dropped failed = take_streams();
  lock.unlock();
}

bool LayerSession::reopen() {
  LayerRequest request;
  {
    std::lock_guard lock(mutex_);
    if (stopped_->load() || !needs_open_) return true;  // stopped, or a move put a stream in place
    if (opening_) return false;                         // a move is opening: wait for it
    opening_ = true;
    request = again_;
  }
  ModuleResult<OpenedLayerStream> opened = open_layer_stream(request, sink_, stopped_);
  std::unique_lock lock(mutex_);
  opening_ = false;
  if (stopped_->load() || !opened) {
    const bool stopped = stopped_->load();
    lock.unlock();  // a stream opened after all goes here, outside the lock
    return stopped;
  }
  const CoalescingSink::Reopened landed{opened->device_id, opened->device.sample_rate,
                                        opened->device.channels, opened->reference.device_id};
  reference_ = std::move(opened->reference);
  stream_ = std::move(opened->stream);
  stream_failed_ = std::move(opened->failed);
  alignment_ = std::move(opened->alignment);
  needs_open_ = false;
  lock.unlock();
  sink_->restart_idle();
  sink_->reopened(landed);
  return true;
}

// A failed echo reference is opened again on its own, one attempt a look.
void LayerSession::keep_reference() {
  ReferenceReopen reopen = begin_reference_reopen();
  if (reopen.outcome != ReferenceReopen::kOpen) return;
  ModuleResult<ReferenceStream> opened =
      open_reference_stream(reopen.request, reopen.alignment, sink_);
  const std::string id = opened ? opened->device_id : std::string();
  std::optional<ReferenceStream> stream;
  if (opened) stream = std::move(opened).value();
  if (end_reference_reopen(reopen.alignment, std::move(stream))) {
    sink_->reopened({{}, 0, 0, id, true});
  }
}

LayerSession::ReferenceReopen LayerSession::begin_reference_reopen(bool running_too) {
  std::unique_lock lock(mutex_);
  if (stopped_->load()) return {ReferenceReopen::kStopped, nullptr, {}};
  // The microphone is being opened again, with a reference of its own.
  if (!stream_ || opening_) return {ReferenceReopen::kBusy, nullptr, {}};
  if (!alignment_ || !again_.echo_cancel || (!running_too && !reference_.failed->load())) {
    return {ReferenceReopen::kNothing, nullptr, {}};
  }
  if (reopening_for_ == alignment_) return {ReferenceReopen::kBusy, nullptr, {}};
  // Its callbacks end here, before the next feed is made.
  std::unique_ptr<Stream> dropped = std::move(reference_.stream);
  reopening_for_ = alignment_;
  ReferenceReopen reopen{ReferenceReopen::kOpen, alignment_, *again_.echo_cancel};
  lock.unlock();
  return reopen;
}

bool LayerSession::end_reference_reopen(const std::shared_ptr<ReferenceAlignment>& alignment,
                                        std::optional<ReferenceStream> opened) {
  std::unique_lock lock(mutex_);
  if (reopening_for_ == alignment) reopening_for_.reset();
  if (stopped_->load() || alignment != alignment_ || !opened) {
    lock.unlock();  // `opened` drops outside the lock
    return false;
  }
  reference_ = std::move(*opened);
  return true;
}

}  // namespace parlanto_audio
