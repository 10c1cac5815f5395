// Reactions to the capture service's reports, all on the main queue.
#include <asio/post.hpp>

#include "recorder/window_recorder.hpp"

namespace darvo::recorder {

void WindowRecorder::segmentDidStart(double startedAtMs) {
  recordingStarted = true;
  emit({{"event", "segment"},
        {"index", segment},
        {"file", segmentPath},
        {"startedAtMs", startedAtMs}});
  maybeReady();
}

void WindowRecorder::segmentDidFinish(uint64_t generation) {
  closeOutput(generation);
  // An output replaced by a later segment ends on its own time; that is the normal end of a
  // paused segment, whenever it arrives.
  if (generation != recordingGeneration_) return;
  if (paused && !stopping) return;
  if (!stopping) {
    failed = true;
    if (stopDetail.empty()) stopDetail = "stream_ended";
  }
  finishWhenWritten();
}

void WindowRecorder::segmentDidFail(uint64_t generation) {
  // Decided before the output is closed: closing the last one awaited would write a summary.
  if (!paused || stopping) fail("recording_failed");
  closeOutput(generation);
}

void WindowRecorder::streamDidStop(const capture::CaptureError& error) {
  asio::post(mainQueue_, [self = shared_from_this(), error] {
    if (error.domain == capture::kStreamErrorDomain &&
        error.code == capture::kSystemStoppedStreamCode && !self->stopping) {
      self->pause();
      return;
    }
    self->stopDetail = "stream_error " + error.domain + " " + std::to_string(error.code);
    self->failed = true;
    self->stop();
  });
}

void WindowRecorder::maybeReady() {
  if (!hasFrame || !recordingStarted || !recording) return;
  if (!(recording->recordedDuration() > 0.0)) return;
  if (ready || stopping) return;
  ready = true;
  emit({{"event", "ready"}});
}

}  // namespace darvo::recorder
