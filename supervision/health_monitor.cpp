#include "supervision/health_monitor.hpp"

#include <algorithm>
#include <cmath>

#include "recorder/window_recorder.hpp"

namespace darvo::supervision {
namespace {

void endWithFailure(recorder::WindowRecorder& recorder, const char* detail) {
  recorder.stopDetail = detail;
  recorder.failed = true;
  recorder.stop();
}

}  // namespace

void checkHealth(recorder::WindowRecorder& recorder, std::optional<double> testStopAt) {
  recorder.maybeReady();

  if (recorder.duration && recorder.elapsed() >= *recorder.duration) {
    recorder.durationReached = true;
    recorder.stop();
    return;
  }

  auto& windowList = recorder.captureService().windowList();
  const auto entry = windowList.windowInfo(recorder.window.windowID);
  if (entry && entry->bounds) recorder.updateOutline(*entry->bounds);
  std::optional<int64_t> owner;
  if (entry) owner = entry->ownerPID;
  const bool isOnscreen = entry && entry->isOnscreen;

  if (isOnscreen != recorder.onscreen) {
    recorder.onscreen = isOnscreen;
    recorder.emit(
        {{"event", isOnscreen ? "onscreen" : "offscreen"}, {"atSeconds", recorder.elapsed()}});
  }

  if (owner) {
    const auto& application = recorder.window.owningApplication;
    const int64_t expected = application ? int64_t{application->processID} : -1;
    if (*owner != expected) {
      endWithFailure(recorder, kWindowReusedDetail);
      return;
    }
  } else {
    const auto numbers = windowList.allWindowNumbers();
    if (!numbers ||
        std::find(numbers->begin(), numbers->end(), recorder.window.windowID) == numbers->end()) {
      endWithFailure(recorder, "window_closed");
      return;
    }
  }

  if (recorder.recordedBytes() >= kSizeLimitBytes) {
    endWithFailure(recorder, "size_limit");
    return;
  }

  // A non-finite time never fires: -inf would otherwise be reached at once.
  if (testStopAt && std::isfinite(*testStopAt) && !recorder.simulatedStopDone && !recorder.paused &&
      recorder.ready && recorder.elapsed() >= *testStopAt) {
    recorder.simulatedStopDone = true;
    recorder.pause();
    recorder.startSimulatedStopTask();
  }

  if (recorder.paused && isOnscreen && !recorder.resuming) recorder.resume();
}

}  // namespace darvo::supervision
