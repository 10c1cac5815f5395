// Pausing on a system stop and continuing in the next segment.
#include <algorithm>

#include "recorder/main_queue.hpp"
#include "recorder/window_recorder.hpp"

namespace darvo::recorder {

void WindowRecorder::pause() {
  if (paused || stopping) return;
  paused = true;
  emit({{"event", "paused"}, {"atSeconds", elapsed()}, {"segment", segment}});
}

void WindowRecorder::resume() {
  resuming = true;
  spawn(resumeTask());
}

asio::awaitable<void> WindowRecorder::resumeTask() {
  if (stopping) {
    resuming = false;
    co_return;
  }
  const auto content = co_await shareableContentOf(captureService_, false, true);
  const auto* windows = std::get_if<capture::ShareableContent>(&content);
  if (windows == nullptr) {
    resuming = false;
    co_return;
  }
  const auto found = std::find_if(
      windows->windows.begin(), windows->windows.end(),
      [&](const capture::Window& candidate) { return candidate.windowID == window.windowID; });
  if (found == windows->windows.end()) {
    resuming = false;
    co_return;
  }
  window = *found;
  segment += 1;
  recordingStarted = false;
  const auto error = co_await beginSegment();
  if (!error) {
    paused = false;
    resuming = false;
    // A stop that came while the segment was opening found nothing to stop: its file must
    // still be finished before the summary.
    if (stopping) spawn(stopTask());
  } else {
    segment -= 1;
    resuming = false;
  }
}

}  // namespace darvo::recorder
