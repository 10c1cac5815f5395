#include "recording/window_recorder.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <variant>

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>

#include "protocol/json_lines.hpp"
#include "recording/capture_awaitables.hpp"
#include "recording/outline_geometry.hpp"
#include "recording/segment_geometry.hpp"

namespace darvo::recording {
namespace {

// The window `windowID` among the windows on screen; nothing when it is not there or the list
// could not be had.
std::optional<capture::Window> onScreenWindow(
    const std::variant<capture::ShareableContent, capture::CaptureError>& content,
    uint32_t windowID) {
  const auto* listed = std::get_if<capture::ShareableContent>(&content);
  if (listed == nullptr) return std::nullopt;
  const auto found =
      std::find_if(listed->windows.begin(), listed->windows.end(),
                   [&](const capture::Window& window) { return window.windowID == windowID; });
  if (found == listed->windows.end()) return std::nullopt;
  return *found;
}

}  // namespace

// The stream's reports. Samples come on the main queue, the stop on any thread; both hop to the
// main queue so that the recorder is only ever touched there.
class WindowRecorder::StreamEvents final : public capture::StreamOutput,
                                           public capture::StreamDelegate {
 public:
  explicit StreamEvents(std::weak_ptr<WindowRecorder> recorder) : recorder_(std::move(recorder)) {}

  void streamDidOutputSample(const capture::SampleBuffer& sample) override {
    // Only complete frames count, and only as a readiness condition.
    if (!sample.valid || sample.attachments.empty()) return;
    const auto& status = sample.attachments.front().status;
    if (!status || *status != static_cast<int64_t>(capture::FrameStatus::complete)) return;
    if (auto recorder = recorder_.lock()) {
      asio::post(recorder->mainQueue_, [recorder] { recorder->frameDidArrive(); });
    }
  }

  void streamDidStop(const capture::CaptureError& error) override {
    if (auto recorder = recorder_.lock()) {
      asio::post(recorder->mainQueue_, [recorder, error] { recorder->streamDidStop(error); });
    }
  }

 private:
  std::weak_ptr<WindowRecorder> recorder_;
};

// One segment's recording-output reports, from the encoder thread.
class WindowRecorder::SegmentEvents final : public capture::RecordingOutputDelegate {
 public:
  SegmentEvents(std::weak_ptr<WindowRecorder> recorder, uint64_t generation)
      : recorder_(std::move(recorder)), generation_(generation) {}

  void recordingOutputDidStart() override {
    auto recorder = recorder_.lock();
    if (!recorder) return;
    // The start time is the moment the output reported it, not that of the hop.
    const double startedAtMs =
        std::chrono::duration<double, std::milli>(recorder->ports_.now().time_since_epoch())
            .count();
    asio::post(recorder->mainQueue_,
               [recorder, startedAtMs] { recorder->segmentDidStart(startedAtMs); });
  }

  void recordingOutputDidFinish() override {
    if (auto recorder = recorder_.lock()) {
      asio::post(recorder->mainQueue_,
                 [recorder, generation = generation_] { recorder->segmentDidFinish(generation); });
    }
  }

  void recordingOutputDidFail(const capture::CaptureError& /*error*/) override {
    if (auto recorder = recorder_.lock()) {
      asio::post(recorder->mainQueue_,
                 [recorder, generation = generation_] { recorder->segmentDidFail(generation); });
    }
  }

 private:
  std::weak_ptr<WindowRecorder> recorder_;
  uint64_t generation_;
};

WindowRecorder::WindowRecorder(capture::Window window, std::optional<double> duration,
                               bool showOutline, asio::io_context& mainQueue,
                               capture::CaptureService& captureService, RecorderPorts ports)
    : mainQueue_(mainQueue),
      captureService_(captureService),
      ports_(std::move(ports)),
      startWall_(ports_.now()),
      window_(std::move(window)),
      duration_(duration),
      showOutline_(showOutline) {}

double WindowRecorder::elapsed() const {
  return std::chrono::duration<double>(ports_.now() - startWall_).count();
}

bool WindowRecorder::isPaused() const {
  return phase_ == Phase::paused || phase_ == Phase::resuming;
}

int64_t WindowRecorder::recordedBytes() const {
  int64_t bytes = completedBytes_;
  for (const auto& [generation, output] : unwrittenOutputs_) bytes += output->recordedFileSize();
  return bytes;
}

// ---- Starting and opening segments

asio::awaitable<std::optional<capture::CaptureError>> WindowRecorder::start(std::string path) {
  basePath_ = std::move(path);
  health_ =
      std::make_unique<PeriodicTimer>(mainQueue_, ports_.healthPeriod, [this] { checkHealth(); });
  updateOutline(window_.frame);
  auto error = co_await beginSegment();
  if (!error && phase_ == Phase::starting) phase_ = Phase::recording;
  co_return error;
}

asio::awaitable<std::optional<capture::CaptureError>> WindowRecorder::beginSegment() {
  const capture::ContentFilter filter = captureService_.makeContentFilter(window_);
  const auto size = segmentPixelSize(filter.contentRect, filter.pointPixelScale);
  if (!size) endWithError("invalid_geometry");

  capture::StreamConfiguration configuration;
  configuration.width = size->width;
  configuration.height = size->height;
  configuration.minimumFrameInterval = {1, 15};
  configuration.showsCursor = true;

  auto events = std::make_shared<StreamEvents>(weak_from_this());
  auto newStream = captureService_.makeStream(filter, configuration, events);
  if (auto error = newStream->addStreamOutput(events, mainQueue_.get_executor())) co_return error;
  segmentPath_ = segmentFilePath(basePath_, segment_);
  const uint64_t generation = recordingGeneration_ + 1;
  auto output = captureService_.makeRecordingOutput(
      {segmentPath_}, std::make_shared<SegmentEvents>(weak_from_this(), generation));
  if (auto error = newStream->addRecordingOutput(output)) co_return error;

  stream_ = newStream;
  recording_ = output;
  recordingGeneration_ = generation;
  unwrittenOutputs_.emplace(generation, output);
  auto error = co_await startCaptureOf(newStream);
  // A capture that never started never ends the output's stream: nothing to wait for.
  if (error) closeOutput(generation);
  co_return error;
}

// ---- Pause and resume

void WindowRecorder::pause() {
  if (phase_ != Phase::starting && phase_ != Phase::recording) return;
  phase_ = Phase::paused;
  ports_.emit({{"event", "paused"}, {"atSeconds", elapsed()}, {"segment", segment_}});
}

asio::awaitable<void> WindowRecorder::resumeTask() {
  if (phase_ != Phase::resuming) co_return;  // a stop came first
  const auto content = co_await shareableContentOf(captureService_, false, true);
  const auto found = onScreenWindow(content, window_.windowID);
  if (!found) {
    if (phase_ == Phase::resuming) phase_ = Phase::paused;  // the next tick tries again
    co_return;
  }
  window_ = *found;
  segment_ += 1;
  segmentStarted_ = false;
  const auto error = co_await beginSegment();
  if (error) {
    segment_ -= 1;
    if (phase_ == Phase::resuming) phase_ = Phase::paused;
  } else if (phase_ == Phase::stopping) {
    // The stop found nothing to stop while the segment was opening: its file must still be
    // finished before the summary.
    spawn(stopTask());
  } else {
    phase_ = Phase::recording;
  }
}

// ---- Health

void WindowRecorder::checkHealth() {
  if (phase_ == Phase::stopping) return;
  maybeReady();

  if (duration_ && elapsed() >= *duration_) {
    if (outcome_ != Outcome::failed) outcome_ = Outcome::durationReached;
    stop();
    return;
  }
  // The last tick's questions are still out: this tick has no news.
  if (windowCheckRunning_) return;
  windowCheckRunning_ = true;
  spawn(windowCheckTask());
}

asio::awaitable<void> WindowRecorder::windowCheckTask() {
  const auto self = shared_from_this();
  auto& windowList = captureService_.windowList();
  const auto info = co_await windowInfoOf(windowList, window_.windowID, ports_.windowQueryTimeout);
  if (phase_ == Phase::stopping) co_return;
  // Unanswered, the window may be anywhere: the outline stays, nothing is reported or decided.
  const bool isOnscreen = info.answered ? info.entry && info.entry->isOnscreen : onscreen_;
  if (info.answered) {
    if (info.entry && info.entry->bounds) updateOutline(*info.entry->bounds);
    if (isOnscreen != onscreen_) {
      onscreen_ = isOnscreen;
      ports_.emit({{"event", isOnscreen ? "onscreen" : "offscreen"}, {"atSeconds", elapsed()}});
    }
    if (info.entry && info.entry->ownerPID) {
      const auto& application = window_.owningApplication;
      const int64_t expected = application ? int64_t{application->processID} : -1;
      if (*info.entry->ownerPID != expected) co_return endAsFailed("window_reused");
    } else {
      const auto listed = co_await allWindowNumbersOf(windowList, ports_.windowQueryTimeout);
      if (phase_ == Phase::stopping) co_return;
      const auto& numbers = listed.numbers;
      if (listed.answered && (!numbers || std::find(numbers->begin(), numbers->end(),
                                                    window_.windowID) == numbers->end()))
        co_return endAsFailed("window_closed");
    }
  }
  windowCheckRunning_ = false;

  if (recordedBytes() >= kSizeLimitBytes) co_return endAsFailed("size_limit");

  const auto& stopAt = ports_.simulatedStopAt;
  if (stopAt && std::isfinite(*stopAt) && !simulatedStopDone_ && !isPaused() && ready_ &&
      elapsed() >= *stopAt) {
    simulatedStopDone_ = true;
    pause();
    spawn(simulatedStopTask());
  }

  if (phase_ == Phase::paused && info.answered && isOnscreen) {
    phase_ = Phase::resuming;
    spawn(resumeTask());
  }
}

void WindowRecorder::maybeReady() {
  if (!hasFrame_ || !segmentStarted_ || !recording_) return;
  if (!(recording_->recordedDuration() > 0.0)) return;
  if (ready_ || phase_ == Phase::stopping) return;
  ready_ = true;
  ports_.emit({{"event", "ready"}});
}

void WindowRecorder::updateOutline(const capture::Rect& windowFrame) {
  if (!showOutline_) return;
  const capture::Rect panelFrame = outlinePanelFrame(windowFrame);
  if (!outline_) outline_ = ports_.makeOutline(panelFrame);
  outline_->setFrame(panelFrame);
  outline_->orderFrontRegardless();
}

// ---- The capture service's reports

void WindowRecorder::frameDidArrive() {
  hasFrame_ = true;
  maybeReady();
}

void WindowRecorder::streamDidStop(const capture::CaptureError& error) {
  if (capture::isSystemStop(error) && phase_ != Phase::stopping) {
    pause();
    return;
  }
  endAsFailed("stream_error " + error.domain + " " + std::to_string(error.code));
}

void WindowRecorder::segmentDidStart(double startedAtMs) {
  segmentStarted_ = true;
  ports_.emit({{"event", "segment"},
               {"index", segment_},
               {"file", segmentPath_},
               {"startedAtMs", startedAtMs}});
  maybeReady();
}

void WindowRecorder::segmentDidFinish(uint64_t generation) {
  closeOutput(generation);
  // An output replaced by a later segment ends on its own time; that is the normal end of a
  // paused segment, whenever it arrives.
  if (generation != recordingGeneration_) return;
  if (isPaused()) return;
  if (phase_ != Phase::stopping) {
    outcome_ = Outcome::failed;
    if (stopDetail_.empty()) stopDetail_ = "stream_ended";
  }
  finishWhenWritten();
}

void WindowRecorder::segmentDidFail(uint64_t generation) {
  // Decided before the output is closed: closing the last one awaited would write a summary.
  if (!isPaused()) endWithError("recording_failed");
  closeOutput(generation);
}

// ---- Stopping and the summary

void WindowRecorder::stop() {
  if (phase_ == Phase::stopping) return;
  // A paused recording has no capture to stop, but its last file may still be being written.
  const bool captureRuns = stream_ && !isPaused();
  phase_ = Phase::stopping;
  if (outline_) outline_->close();
  if (health_) health_->cancel();
  if (captureRuns) {
    spawn(stopTask());
  } else {
    finishWhenWritten();
  }
}

void WindowRecorder::endAsFailed(const std::string& detail) {
  stopDetail_ = detail;
  outcome_ = Outcome::failed;
  stop();
}

void WindowRecorder::endWithInternalError() {
  outcome_ = Outcome::failed;
  stopDetail_ = "internal_error";
  if (phase_ == Phase::stopping) {
    finishWhenWritten();
  } else {
    stop();
  }
}

asio::awaitable<void> WindowRecorder::stopTask() {
  const auto error = co_await stopCaptureOf(stream_);
  // On success the recording output's finish report ends the recording. A capture that could
  // not be stopped never ends its output's stream: only the earlier files are waited for.
  if (error) {
    closeOutput(recordingGeneration_);
    finishWhenWritten();
  }
}

asio::awaitable<void> WindowRecorder::simulatedStopTask() {
  co_await stopCaptureOf(stream_);
}

void WindowRecorder::closeOutput(uint64_t generation) {
  const auto found = unwrittenOutputs_.find(generation);
  if (found == unwrittenOutputs_.end()) return;
  completedBytes_ += found->second->recordedFileSize();
  unwrittenOutputs_.erase(found);
  if (finishDeadline_ && unwrittenOutputs_.empty()) finish();
}

void WindowRecorder::finishWhenWritten() {
  if (unwrittenOutputs_.empty()) finish();
  if (finishDeadline_) return;  // already waiting
  finishDeadline_.emplace(mainQueue_, ports_.segmentFinishTimeout);
  finishDeadline_->async_wait([this](const std::error_code& error) {
    if (error) return;
    outcome_ = Outcome::failed;
    if (stopDetail_.empty()) stopDetail_ = "segment_unfinished";
    finish();
  });
}

void WindowRecorder::finish() {
  const char* reason = outcome_ == Outcome::failed            ? "source_ended"
                       : outcome_ == Outcome::durationReached ? "duration"
                                                              : "stopped";
  ports_.emit({{"event", "finished"},
               {"reason", reason},
               {"detail", stopDetail_},
               {"segments", segment_ + 1}});
  ports_.exit(outcome_ == Outcome::failed ? 1 : 0);
  std::terminate();  // exit never returns
}

void WindowRecorder::endWithError(const std::string& code) {
  ports_.emit(protocol::errorLine(code));
  ports_.exit(1);
  std::terminate();  // exit never returns
}

void WindowRecorder::spawn(asio::awaitable<void> task) {
  asio::co_spawn(mainQueue_, std::move(task),
                 [weak = weak_from_this()](const std::exception_ptr& error) {
                   if (!error) return;
                   try {
                     std::rethrow_exception(error);
                   } catch (const protocol::ProcessEnded&) {
                     throw;
                   } catch (...) {
                     // Nothing escapes silently.
                     if (auto recorder = weak.lock()) recorder->endWithInternalError();
                   }
                 });
}

}  // namespace darvo::recording
