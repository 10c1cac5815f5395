// Ending a recording: the orderly stop and the final summary.
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
  if (paused) finish();
  if (!stream) finish();
  spawn(stopTask());
}

asio::awaitable<void> WindowRecorder::stopTask() {
  const auto current = stream;
  if (!current) co_return;
  const auto error = co_await stopCaptureOf(current);
  // On success the recording output's finish report ends the recording.
  if (error) finish();
}

asio::awaitable<void> WindowRecorder::simulatedStopTask() {
  const auto current = stream;
  if (!current) co_return;
  co_await stopCaptureOf(current);
}

void WindowRecorder::startSimulatedStopTask() {
  spawn(simulatedStopTask());
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
