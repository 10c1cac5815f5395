// The one recorder of the process: all recording state, its start, segments, pause and resume,
// stop and finish, and the capture service's callbacks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include "app/json.hpp"
#include "capture/capture.hpp"
#include "supervision/health_timer.hpp"
#include "supervision/outline_panel.hpp"

namespace darvo::recorder {

// What the recorder needs from the process; tests replace each of them.
struct RecorderPorts {
  std::function<void(const app::JsonObject&)> emit;
  // Ends the process with the status. Never returns in the helper; a test's version throws.
  std::function<void(int status)> exit;
  std::function<std::chrono::system_clock::time_point()> now;
  // Starts reading standard input; `requestStop` is posted to the main queue for every chunk that
  // asks for a stop and at end of input.
  std::function<void(std::function<void()> requestStop)> startInputReader;
  supervision::OutlinePanelFactory makeOutline;
  // The health check's period; tests lengthen it and tick by hand.
  std::chrono::steady_clock::duration healthPeriod = std::chrono::milliseconds(500);
  // How long the summary waits for segment files still being written; past it the recording
  // ends as failed.
  std::chrono::steady_clock::duration segmentFinishTimeout = std::chrono::seconds(10);
  // The value of an environment variable, if set.
  std::function<std::optional<std::string>(const char* name)> environment;
};

// Every field and method is main-thread only, except the capture callbacks, which only capture
// values and post to the main queue.
class WindowRecorder : public capture::StreamOutput,
                       public capture::StreamDelegate,
                       public std::enable_shared_from_this<WindowRecorder> {
 public:
  WindowRecorder(capture::Window window, std::optional<double> duration, bool showOutline,
                 asio::io_context& mainQueue, capture::CaptureService& captureService,
                 RecorderPorts ports);

  std::shared_ptr<capture::Stream> stream;
  std::shared_ptr<capture::RecordingOutput> recording;
  bool stopping = false;
  bool durationReached = false;
  bool failed = false;
  std::string stopDetail;
  bool onscreen = true;
  bool hasFrame = false;
  bool recordingStarted = false;
  bool ready = false;
  bool paused = false;
  bool resuming = false;
  int64_t segment = 0;
  std::string segmentPath;
  std::string basePath;
  const std::chrono::system_clock::time_point startWall;
  // Final sizes of the segment files that have been finished or have failed.
  int64_t completedBytes = 0;
  bool simulatedStopDone = false;
  std::unique_ptr<supervision::HealthTimer> health;
  std::vector<std::unique_ptr<asio::signal_set>> signals;
  capture::Window window;
  const std::optional<double> duration;
  const bool showOutline;
  std::unique_ptr<supervision::OutlinePanel> outline;

  [[nodiscard]] double elapsed() const;
  // The bytes of every segment file: final sizes of the closed ones, the current size of those
  // still being written.
  [[nodiscard]] int64_t recordedBytes() const;

  // Both end with the capture service's error when capture could not start.
  asio::awaitable<std::optional<capture::CaptureError>> start(std::string path);
  asio::awaitable<std::optional<capture::CaptureError>> beginSegment();
  void pause();
  void resume();
  void stop();
  // Writes the summary and ends the process once every segment file opened has been finished
  // or has failed, or once segmentFinishTimeout has passed (then as failed).
  void finishWhenWritten();
  [[noreturn]] void finish();
  // An unexpected exception on the main queue: the recording ends as failed, with its summary.
  void endWithInternalError();
  void maybeReady();
  void updateOutline(const capture::Rect& windowFrame);

  void emit(const app::JsonObject& object) const;
  [[noreturn]] void fail(const std::string& code) const;

  // The stream's samples, on the main queue.
  void streamDidOutputSample(const capture::SampleBuffer& sample,
                             capture::StreamOutputType type) override;
  // Any thread.
  void streamDidStop(const capture::CaptureError& error) override;

  // Reactions to the recording output of segment `generation`, on the main queue.
  void segmentDidStart(double startedAtMs);
  void segmentDidFinish(uint64_t generation);
  void segmentDidFail(uint64_t generation);
  // Milliseconds since the epoch on the wall clock; any thread.
  [[nodiscard]] double wallClockMilliseconds() const;

  // The test hook's stand-in for a system stop: stops the current stream, errors ignored.
  void startSimulatedStopTask();

  capture::CaptureService& captureService() { return captureService_; }
  asio::io_context& mainQueue() { return mainQueue_; }

 private:
  void installControlInputs();
  void installSignal(int signalNumber);
  void watchSignal(asio::signal_set& signalSet);
  asio::awaitable<void> resumeTask();
  asio::awaitable<void> stopTask();
  asio::awaitable<void> simulatedStopTask();
  // Counts the output's final size and stops waiting for it; finishes if that was the last wait.
  void closeOutput(uint64_t generation);
  // Starts a task on the main queue; an exception escaping it ends the recording as failed.
  void spawn(asio::awaitable<void> task);

  asio::io_context& mainQueue_;
  capture::CaptureService& captureService_;
  RecorderPorts ports_;
  // The recording output generation stored in `recording`; older outputs' ends are stale.
  uint64_t recordingGeneration_ = 0;
  // The recording outputs whose capture started and that have not yet reported their end, by
  // generation; they are kept alive until then, also once a later segment replaced them.
  std::map<uint64_t, std::shared_ptr<capture::RecordingOutput>> unwrittenOutputs_;
  // Set once the summary waits for unwrittenOutputs_ to empty.
  std::optional<asio::steady_timer> finishDeadline_;
};

}  // namespace darvo::recorder
