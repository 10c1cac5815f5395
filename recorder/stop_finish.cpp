// Ending a recording: the orderly stop, the wait for the segment files and the final summary.
#include <exception>

#include "recorder/main_queue.hpp"
#include "recorder/window_recorder.hpp"

namespace darvo::recorder {

void WindowRecorder::stop() {
  if (stopping) return;
  stopping = true;
  if (outline) outline->close();
  if (health) health->cancel();
  // Standard input needs no unhooking: its later stop requests find `stopping` set.
  // A paused recording has no capture to stop, but its last file may still be being written.
  if (paused || !stream) {
    finishWhenWritten();
    return;
  }
  spawn(stopTask());
}

asio::awaitable<void> WindowRecorder::stopTask() {
  const auto current = stream;
  if (!current) co_return;
  const auto error = co_await stopCaptureOf(current);
  // On success the recording output's finish report ends the recording. A capture that could
  // not be stopped never ends its output's stream: only the earlier files are waited for.
  if (error) {
    closeOutput(recordingGeneration_);
    finishWhenWritten();
  }
}

asio::awaitable<void> WindowRecorder::simulatedStopTask() {
  const auto current = stream;
  if (!current) co_return;
  co_await stopCaptureOf(current);
}

void WindowRecorder::startSimulatedStopTask() {
  spawn(simulatedStopTask());
}

int64_t WindowRecorder::recordedBytes() const {
  int64_t bytes = completedBytes;
  for (const auto& [generation, output] : unwrittenOutputs_) bytes += output->recordedFileSize();
  return bytes;
}

void WindowRecorder::closeOutput(uint64_t generation) {
  const auto found = unwrittenOutputs_.find(generation);
  if (found == unwrittenOutputs_.end()) return;
  completedBytes += found->second->recordedFileSize();
  unwrittenOutputs_.erase(found);
  if (finishDeadline_ && unwrittenOutputs_.empty()) finish();
}

void WindowRecorder::finishWhenWritten() {
  if (unwrittenOutputs_.empty()) finish();
  if (finishDeadline_) return;  // already waiting
  finishDeadline_.emplace(mainQueue_, ports_.segmentFinishTimeout);
  finishDeadline_->async_wait([self = shared_from_this()](const std::error_code& error) {
    if (error) return;
    self->failed = true;
    if (self->stopDetail.empty()) self->stopDetail = "segment_unfinished";
    self->finish();
  });
}

void WindowRecorder::endWithInternalError() {
  failed = true;
  stopDetail = "internal_error";
  if (stopping) {
    finishWhenWritten();
  } else {
    stop();
  }
}

void WindowRecorder::finish() {
  const char* reason = failed ? "source_ended" : durationReached ? "duration" : "stopped";
  emit({{"event", "finished"},
        {"reason", reason},
        {"detail", stopDetail},
        {"segments", segment + 1}});
  ports_.exit(failed ? 1 : 0);
  std::terminate();  // exit never returns
}

}  // namespace darvo::recorder
