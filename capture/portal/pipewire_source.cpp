#include "capture/portal/pipewire_source.hpp"

#include <linux/dma-buf.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string_view>
#include <utility>

#include <pipewire/pipewire.h>

#include "capture/portal/frame_intake.hpp"
#include "capture/portal/pipewire_params.hpp"
#include "capture/stream_samples.hpp"

namespace darvo::capture::portal {
namespace {

constexpr auto kFrameInterval = std::chrono::microseconds(1'000'000 / 15);
// The desktop closes the screen cast a little after the compositor's stream stops, or its node
// goes, for a window that closed (some 80 ms on Mutter): until this has passed, a stop may still
// be the window's end, which the window list reports, and not a pause or the end of the cast.
constexpr auto kEndGracePeriod = std::chrono::milliseconds(500);
// How long a stream may stream without a picture before the compositor is asked again: at the
// start, and after the compositor changed the format (a window's new size).
constexpr auto kFirstPictureWait = std::chrono::milliseconds(1000);
constexpr auto kNewFormatPictureWait = std::chrono::milliseconds(100);
// The most pictures a second the compositor is asked for: the recording's rate, which Mutter
// keeps to by sending later. KWin 5.27 drops a picture that comes sooner than that after the one
// before, so that a window drawn 30 times a second came 10 to 12 times: its streams are asked for
// twice the rate, and the intake keeps the newest picture of each interval.
constexpr int kMostPicturesASecond = 15;
constexpr int kMostPicturesASecondFromKWin = 2 * kMostPicturesASecond;
constexpr std::string_view kKWinNodeName = "kwin_wayland";

timespec after(CaptureClock::duration wait) {
  const auto nanoseconds =
      std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count());
  return {static_cast<time_t>(nanoseconds / 1'000'000'000),
          static_cast<long>(nanoseconds % 1'000'000'000)};
}

// A DMA-BUF's pixels, mapped for as long as the stream has the buffer.
struct DmaBufMapping {
  void* address = MAP_FAILED;
  std::size_t length = 0;
  int fd = -1;
};

// Brackets a read of a DMA-BUF, as the kernel asks of CPU access.
void syncDmaBuf(int fd, uint64_t flags) {
  dma_buf_sync sync{flags};
  while (ioctl(fd, DMA_BUF_IOCTL_SYNC, &sync) == -1 && errno == EINTR) {
  }
}

}  // namespace

struct PipeWireSource::Loop {
  PipeWireSource* source = nullptr;
  Ready ready;
  pw_thread_loop* thread = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  pw_registry* registry = nullptr;
  uint32_t node = 0;
  int fastest = kMostPicturesASecond;  // what the stream asks for once connected
  int registrySync = -1;  // the core's answer to this says the registry has told all it knows
  spa_hook coreListener{};
  spa_hook streamListener{};
  spa_hook registryListener{};
  spa_source* pacing = nullptr;    // the kept picture is due
  spa_source* grace = nullptr;     // a stop's grace period is over
  spa_source* attached = nullptr;  // a segment was attached
  spa_source* nudge = nullptr;     // streaming, and still no picture
  FrameIntake intake{kFrameInterval};
  StreamPixelOrder order = StreamPixelOrder::bgrx;
  int width = 0;  // of the negotiated format
  int height = 0;
  bool graceArmed = false;
  bool pictured = false;        // a usable picture has come
  bool awaitingPicture = true;  // none since the stream began or its format changed
  bool failed = false;          // the connection or the stream failed, not merely paused
  bool nodeRemoved = false;     // the compositor's stream is gone for good

  void announceReady(std::optional<std::pair<int, int>> size) {
    if (ready) std::exchange(ready, nullptr)(size);
  }
  void armTimer(spa_source* timer, CaptureClock::duration wait) const {
    timespec value = after(wait);
    timespec never{};
    pw_loop_update_timer(pw_thread_loop_get_loop(thread), timer, &value, &never, false);
  }

  void onProcess();
  // Keeps the picture of one buffer in the intake; whether it had one.
  bool take(const pw_buffer& queued);
  void deliver();
  void connect();
  void onStateChanged(pw_stream_state old, pw_stream_state state);
  void onNoPicture();
  void onNodeRemoved();
  void armGrace();
  void onGraceOver();
  void onFormat(const spa_pod* format);
};

namespace {

PipeWireSource::Loop& loopOf(void* data) {
  return *static_cast<PipeWireSource::Loop*>(data);
}

void onProcess(void* data) {
  loopOf(data).onProcess();
}

void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* /*error*/) {
  loopOf(data).onStateChanged(old, state);
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  if (id == SPA_PARAM_Format && param != nullptr) loopOf(data).onFormat(param);
}

void onAddBuffer(void* /*data*/, pw_buffer* buffer) {
  spa_data& plane = buffer->buffer->datas[0];
  if (plane.type != SPA_DATA_DmaBuf) return;  // the stream maps the others
  auto* mapping = new DmaBufMapping;
  mapping->length = plane.mapoffset + plane.maxsize;
  mapping->fd = static_cast<int>(plane.fd);
  mapping->address = mmap(nullptr, mapping->length, PROT_READ, MAP_SHARED, mapping->fd, 0);
  buffer->user_data = mapping;
}

void onRemoveBuffer(void* /*data*/, pw_buffer* buffer) {
  auto* mapping = static_cast<DmaBufMapping*>(buffer->user_data);
  if (mapping == nullptr) return;
  if (mapping->address != MAP_FAILED) munmap(mapping->address, mapping->length);
  delete mapping;
  buffer->user_data = nullptr;
}

void onCoreError(void* data, uint32_t id, int /*seq*/, int /*result*/, const char* /*message*/) {
  if (id != PW_ID_CORE) return;
  auto& loop = loopOf(data);
  loop.failed = true;
  loop.onStateChanged(PW_STREAM_STATE_STREAMING, PW_STREAM_STATE_ERROR);
}

void onCoreDone(void* data, uint32_t id, int seq) {
  auto& loop = loopOf(data);
  if (id == PW_ID_CORE && seq == loop.registrySync) loop.connect();
}

void onGlobal(void* data, uint32_t id, uint32_t /*permissions*/, const char* /*type*/,
              uint32_t /*version*/, const spa_dict* properties) {
  auto& loop = loopOf(data);
  if (id != loop.node || properties == nullptr) return;
  const char* name = spa_dict_lookup(properties, PW_KEY_NODE_NAME);
  if (name != nullptr && name == kKWinNodeName) loop.fastest = kMostPicturesASecondFromKWin;
}

void onGlobalRemoved(void* data, uint32_t id) {
  auto& loop = loopOf(data);
  if (id == loop.node) loop.onNodeRemoved();
}

void onTimer(void* data, uint64_t /*expirations*/) {
  loopOf(data).deliver();
}

void onGraceTimer(void* data, uint64_t /*expirations*/) {
  loopOf(data).onGraceOver();
}

void onNudgeTimer(void* data, uint64_t /*expirations*/) {
  loopOf(data).onNoPicture();
}

void onAttached(void* data, uint64_t /*count*/) {
  auto& loop = loopOf(data);
  loop.intake.repeatLatest(CaptureClock::now());
  loop.deliver();
}

const pw_stream_events kStreamEvents = [] {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = onStateChanged;
  events.param_changed = onParamChanged;
  events.add_buffer = onAddBuffer;
  events.remove_buffer = onRemoveBuffer;
  events.process = onProcess;
  return events;
}();

const pw_core_events kCoreEvents = [] {
  pw_core_events events{};
  events.version = PW_VERSION_CORE_EVENTS;
  events.error = onCoreError;
  events.done = onCoreDone;
  return events;
}();

const pw_registry_events kRegistryEvents = [] {
  pw_registry_events events{};
  events.version = PW_VERSION_REGISTRY_EVENTS;
  events.global = onGlobal;
  events.global_remove = onGlobalRemoved;
  return events;
}();

}  // namespace

// Once the registry has said who sends the node (or that it does not say).
void PipeWireSource::Loop::connect() {
  FormatParams formats(fastest);
  if (pw_stream_connect(
          stream, PW_DIRECTION_INPUT, node,
          // Never linked to another node once this one is gone: that would be another source.
          static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                       PW_STREAM_FLAG_DONT_RECONNECT),
          formats.pods().data(), formats.pods().size()) < 0) {
    failed = true;
    announceReady(std::nullopt);
    armGrace();
  }
}

void PipeWireSource::Loop::onFormat(const spa_pod* format) {
  const auto parsed = parseVideoFormat(format);
  if (!parsed) {
    pw_stream_set_error(stream, -EINVAL, "a format this stream cannot read");
    return;
  }
  order = parsed->order;
  width = parsed->width;
  height = parsed->height;
  BufferParams params;
  pw_stream_update_params(stream, params.pods().data(), params.pods().size());
  if (pictured) {
    // A new size mid-stream (a resized window): KWin 5.27 sends nothing more until the stream
    // starts again.
    awaitingPicture = true;
    armTimer(nudge, kNewFormatPictureWait);
  }
}

// Every queued buffer goes through the intake, oldest first: the newest may be an empty one sent
// right after the picture, and a window that then stays still sends no other.
void PipeWireSource::Loop::onProcess() {
  bool accepted = false;
  while (pw_buffer* queued = pw_stream_dequeue_buffer(stream)) {
    accepted = take(*queued) || accepted;
    pw_stream_queue_buffer(stream, queued);
  }
  if (!accepted) return;
  pictured = true;
  awaitingPicture = false;
  {
    const std::lock_guard lock(source->mutex_);
    source->state_.width = intake.width();
    source->state_.height = intake.height();
  }
  announceReady(std::pair(intake.width(), intake.height()));
  deliver();
}

bool PipeWireSource::Loop::take(const pw_buffer& queued) {
  const spa_buffer& buffer = *queued.buffer;
  const spa_data& plane = buffer.datas[0];
  const auto* mapping = static_cast<const DmaBufMapping*>(queued.user_data);
  const auto* base = static_cast<const uint8_t*>(plane.data);
  if (mapping != nullptr) {
    base = mapping->address == MAP_FAILED
               ? nullptr
               : static_cast<const uint8_t*>(mapping->address) + plane.mapoffset;
  }
  const StreamBuffer view = describeBuffer(buffer, base, width, height, order);
  const bool syncs = mapping != nullptr && view.data != nullptr;
  if (syncs) syncDmaBuf(mapping->fd, DMA_BUF_SYNC_START | DMA_BUF_SYNC_READ);
  const bool accepted = intake.accept(view, CaptureClock::now());
  if (syncs) syncDmaBuf(mapping->fd, DMA_BUF_SYNC_END | DMA_BUF_SYNC_READ);
  return accepted;
}

void PipeWireSource::Loop::deliver() {
  std::shared_ptr<SegmentTarget> target;
  {
    const std::lock_guard lock(source->mutex_);
    target = source->target_;
  }
  if (!target) return;  // kept for the next segment
  if (!target->prepared) {
    target->sink->prepare(target->width, target->height);
    target->prepared = true;
  }
  const auto now = CaptureClock::now();
  intake.handOn(
      now, [&] { return target->sink->hasRoom(); },
      [&](const PixelImage& image, CaptureClock::time_point arrivedAt) {
        target->sink->submit(image, arrivedAt);
        postCompleteSample(target->screen, target->screenExecutor);
      });
  if (const auto due = intake.dueAt(); due && *due > now) armTimer(pacing, *due - now);
}

void PipeWireSource::Loop::onStateChanged(pw_stream_state old, pw_stream_state state) {
  const bool streaming = state == PW_STREAM_STATE_STREAMING;
  {
    const std::lock_guard lock(source->mutex_);
    source->state_.streaming = streaming;
  }
  if (streaming && awaitingPicture) {
    armTimer(nudge, pictured ? kNewFormatPictureWait : kFirstPictureWait);
  }
  if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
    failed = true;
    announceReady(std::nullopt);
  }
  if (failed || (state == PW_STREAM_STATE_PAUSED && old == PW_STREAM_STATE_STREAMING)) armGrace();
}

// Mutter sometimes tries the first picture before the stream's buffers are there, and then waits
// for the window to change: an idle one never does. KWin 5.27 sends nothing after a new format
// until the stream starts again. Pausing and resuming the stream makes either send a picture.
void PipeWireSource::Loop::onNoPicture() {
  if (!awaitingPicture || pw_stream_get_state(stream, nullptr) != PW_STREAM_STATE_STREAMING) {
    return;
  }
  pw_stream_set_active(stream, false);
  pw_stream_set_active(stream, true);
}

// The compositor's stream went away: the window closed (the desktop's Closed is on its way), or
// the cast ended without a word (GNOME 43's portal backend crashed, and Mutter ended its casts).
void PipeWireSource::Loop::onNodeRemoved() {
  nodeRemoved = true;
  announceReady(std::nullopt);
  armGrace();
}

void PipeWireSource::Loop::armGrace() {
  if (graceArmed) return;
  graceArmed = true;
  armTimer(grace, kEndGracePeriod);
}

void PipeWireSource::Loop::onGraceOver() {
  graceArmed = false;
  std::shared_ptr<SegmentTarget> target;
  {
    const std::lock_guard lock(source->mutex_);
    if (source->state_.closed) return;  // the window closed: the window list tells
    if (!nodeRemoved && !failed && source->state_.streaming) return;  // back already
    source->state_.ended = nodeRemoved || failed;
    target = std::exchange(source->target_, nullptr);
    // Gone for good while no segment records: the window list tells that it will not be back.
    if (nodeRemoved && !target) source->state_.closed = true;
  }
  if (!target) return;
  if (nodeRemoved) {
    // Not a failure of the stream, nor a pause: the segment ends, and so does the recording.
    target->sink->endOfStream(CaptureClock::now());
    return;
  }
  if (target->delegate) {
    target->delegate->streamDidStop(
        portalError(failed ? kConnectionLostCode : kSystemStoppedStreamCode));
  }
  target->sink->endOfStream(CaptureClock::now());
}

PipeWireSource::PipeWireSource() = default;

std::shared_ptr<PipeWireSource> PipeWireSource::start(int pipewire, uint32_t node, Ready ready) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
  std::shared_ptr<PipeWireSource> source(new PipeWireSource());
  source->loop_ = std::make_unique<Loop>();
  Loop& loop = *source->loop_;
  loop.source = source.get();
  loop.ready = std::move(ready);
  loop.thread = pw_thread_loop_new("darvo-pipewire", nullptr);
  if (loop.thread == nullptr) {
    close(pipewire);
    return nullptr;
  }
  pw_loop* events = pw_thread_loop_get_loop(loop.thread);
  loop.context = pw_context_new(events, nullptr, 0);
  loop.core =
      loop.context != nullptr ? pw_context_connect_fd(loop.context, pipewire, nullptr, 0) : nullptr;
  if (loop.core == nullptr) {
    if (loop.context == nullptr) close(pipewire);  // connect_fd takes it over, even failing
    return nullptr;
  }
  pw_core_add_listener(loop.core, &loop.coreListener, &kCoreEvents, &loop);
  // The node's removal from the registry is the one sign that a cast ended without a word; its
  // announcement says which compositor sends it.
  loop.node = node;
  loop.registry = pw_core_get_registry(loop.core, PW_VERSION_REGISTRY, 0);
  if (loop.registry == nullptr) return nullptr;
  pw_registry_add_listener(loop.registry, &loop.registryListener, &kRegistryEvents, &loop);
  loop.stream = pw_stream_new(loop.core, "darvo-helper",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (loop.stream == nullptr) return nullptr;
  pw_stream_add_listener(loop.stream, &loop.streamListener, &kStreamEvents, &loop);
  loop.pacing = pw_loop_add_timer(events, onTimer, &loop);
  loop.grace = pw_loop_add_timer(events, onGraceTimer, &loop);
  loop.attached = pw_loop_add_event(events, onAttached, &loop);
  loop.nudge = pw_loop_add_timer(events, onNudgeTimer, &loop);
  // The stream connects once the registry has said who sends the node (Loop::connect).
  loop.registrySync = pw_core_sync(loop.core, PW_ID_CORE, 0);
  if (loop.pacing == nullptr || loop.grace == nullptr || loop.attached == nullptr ||
      loop.nudge == nullptr || loop.registrySync < 0 || pw_thread_loop_start(loop.thread) < 0) {
    return nullptr;
  }
  return source;
}

PipeWireSource::~PipeWireSource() {
  if (!loop_ || loop_->thread == nullptr) return;
  pw_thread_loop_stop(loop_->thread);
  if (loop_->stream != nullptr) pw_stream_destroy(loop_->stream);
  if (loop_->registry != nullptr) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(loop_->registry));
  if (loop_->core != nullptr) pw_core_disconnect(loop_->core);
  if (loop_->context != nullptr) pw_context_destroy(loop_->context);
  pw_thread_loop_destroy(loop_->thread);
}

SourceState PipeWireSource::state() const {
  const std::lock_guard lock(mutex_);
  return state_;
}

void PipeWireSource::markClosed() {
  const std::lock_guard lock(mutex_);
  state_.closed = true;
}

bool PipeWireSource::attach(std::shared_ptr<SegmentTarget> target) {
  {
    const std::lock_guard lock(mutex_);
    if (state_.ended || state_.closed) return false;
    target_ = std::move(target);
  }
  pw_loop_signal_event(pw_thread_loop_get_loop(loop_->thread), loop_->attached);
  return true;
}

bool PipeWireSource::detach(const SegmentTarget& target) {
  const std::lock_guard lock(mutex_);
  if (target_.get() != &target) return false;
  target_.reset();
  return true;
}

}  // namespace darvo::capture::portal
