// The one recorder of the process: records one window into numbered segment files, pauses while
// the system stops the capture (the window left the screen), goes on in a new segment when the
// window is back, and ends with one summary line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "capture/capture.hpp"
#include "protocol/json.hpp"
#include "recording/outline_panel.hpp"
#include "recording/periodic_timer.hpp"

namespace darvo::recording {

inline constexpr int64_t kSizeLimitBytes = int64_t{1} << 28;  // 256 MiB over all segments

// What the recorder needs from the process; tests replace each of them.
struct RecorderPorts {
  std::function<void(const protocol::JsonObject&)> emit;
  // Ends the process with the status. Never returns in the helper; a test's version throws.
  std::function<void(int status)> exit;
  std::function<std::chrono::system_clock::time_point()> now;
  OutlinePanelFactory makeOutline;
  // The health check's period; tests lengthen it and tick by hand.
  std::chrono::steady_clock::duration healthPeriod = std::chrono::milliseconds(500);
  // How long the health check waits for each answer of the window list; an answer that has not
  // come by then is no news.
  std::chrono::steady_clock::duration windowQueryTimeout = std::chrono::milliseconds(400);
  // How long the summary waits for segment files still being written; past it the recording
  // ends as failed.
  std::chrono::steady_clock::duration segmentFinishTimeout = std::chrono::seconds(10);
  // The test hook: seconds after which one system stop is simulated (a non-finite value never).
  std::optional<double> simulatedStopAt;
};

// Main thread only, but for the capture service's reports, which arrive through small forwarding
// objects that hold the recorder weakly and post to the main queue.
class WindowRecorder : public std::enable_shared_from_this<WindowRecorder> {
 public:
  WindowRecorder(capture::Window window, std::optional<double> duration, bool showOutline,
                 asio::io_context& mainQueue, capture::CaptureService& captureService,
                 RecorderPorts ports);

  // Opens segment 0; ends with the capture service's error when its capture could not start.
  asio::awaitable<std::optional<capture::CaptureError>> start(std::string path);
  // The parent's stop: the summary follows once every segment file is finished.
  void stop();
  // One health tick (the timer calls it every healthPeriod): readiness and duration at once, then
  // once the window list has answered (or not, in time): outline, on-screen reports, closed or
  // reused window, size limit, the test hook, automatic resume.
  void checkHealth();
  // An unexpected exception on the main queue: the recording ends as failed, with its summary.
  void endWithInternalError();

 private:
  enum class Phase {
    starting,   // segment 0 is being opened
    recording,  // a segment's capture runs
    paused,     // the system stopped the capture; the window is awaited
    resuming,   // the next segment is being opened
    stopping,   // the summary is on its way; nothing new starts
  };
  enum class Outcome { stopped, durationReached, failed };
  class StreamEvents;
  class SegmentEvents;

  [[nodiscard]] double elapsed() const;
  [[nodiscard]] bool isPaused() const;
  // Final sizes of the closed segment files plus the current size of those still being written.
  [[nodiscard]] int64_t recordedBytes() const;

  asio::awaitable<std::optional<capture::CaptureError>> beginSegment();
  void pause();
  // The part of the health check that asks the window list.
  asio::awaitable<void> windowCheckTask();
  asio::awaitable<void> resumeTask();
  asio::awaitable<void> stopTask();
  asio::awaitable<void> simulatedStopTask();
  void endAsFailed(const std::string& detail);
  // Counts the output's final size and stops waiting for it; finishes if that was the last wait.
  void closeOutput(uint64_t generation);
  // Writes the summary once every segment file is finished or has failed, or once
  // segmentFinishTimeout has passed (then as failed).
  void finishWhenWritten();
  [[noreturn]] void finish();
  [[noreturn]] void endWithError(const std::string& code);
  void maybeReady();
  void updateOutline(const capture::Rect& windowFrame);
  // Starts a task on the main queue; an exception escaping it ends the recording as failed.
  void spawn(asio::awaitable<void> task);

  // The capture service's reports, on the main queue.
  void frameDidArrive();
  void streamDidStop(const capture::CaptureError& error);
  void segmentDidStart(double startedAtMs);
  void segmentDidFinish(uint64_t generation);
  void segmentDidFail(uint64_t generation);

  asio::io_context& mainQueue_;
  capture::CaptureService& captureService_;
  const RecorderPorts ports_;
  const std::chrono::system_clock::time_point startWall_;
  capture::Window window_;
  const std::optional<double> duration_;
  const bool showOutline_;

  Phase phase_ = Phase::starting;
  Outcome outcome_ = Outcome::stopped;
  std::string stopDetail_;
  bool onscreen_ = true;
  bool hasFrame_ = false;
  bool segmentStarted_ = false;
  bool ready_ = false;
  bool simulatedStopDone_ = false;
  bool windowCheckRunning_ = false;  // a tick's window questions are still out

  std::string basePath_;
  int64_t segment_ = 0;
  std::string segmentPath_;
  std::shared_ptr<capture::Stream> stream_;
  std::shared_ptr<capture::RecordingOutput> recording_;
  // The generation of `recording_`; reports of older outputs are of segments already replaced.
  uint64_t recordingGeneration_ = 0;
  // The outputs whose capture started and that have not yet reported their end, by generation;
  // kept alive until then, also once a later segment replaced them.
  std::map<uint64_t, std::shared_ptr<capture::RecordingOutput>> unwrittenOutputs_;
  int64_t completedBytes_ = 0;

  std::unique_ptr<PeriodicTimer> health_;
  std::unique_ptr<OutlinePanel> outline_;
  // Set once the summary waits for unwrittenOutputs_ to empty.
  std::optional<asio::steady_timer> finishDeadline_;
};

}  // namespace darvo::recording
