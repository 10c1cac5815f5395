// What the main thread and one capture thread share: the requests to stop, the eventfd that
// wakes the thread's poll() for them, who ends the stream, and the completions waiting for the
// thread to end.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "capture/capture.hpp"

namespace darvo::capture::x11 {

class CaptureControl {
 public:
  // Throws std::system_error when no eventfd can be had.
  CaptureControl();
  ~CaptureControl();
  CaptureControl(const CaptureControl&) = delete;
  CaptureControl& operator=(const CaptureControl&) = delete;

  // Main thread: end the capture and finish the recording.
  void requestStop();
  // Main thread (destructor of the stream): end the capture without reporting anything.
  void requestQuit();
  [[nodiscard]] bool stopRequested() const { return stop_.load(); }
  [[nodiscard]] bool quitRequested() const { return quit_.load(); }

  // Capture thread: the descriptor to poll, and emptying it after it woke the poll.
  [[nodiscard]] int wakeDescriptor() const { return wakeFd_; }
  void drainWakeups() const;

  // The capture thread, or a stop's watchdog when that thread is held by the X server: true for
  // the first caller only, who then reports the stream's end to its outputs.
  bool claimStreamEnd();

  // Main thread: queues `completion` for the end of the thread; false when the thread has
  // already ended, and then `completion` is left as it was.
  bool addStopCompletion(Completion& completion);
  // Capture thread, last step: marks the thread ended and hands back the queued completions.
  std::vector<Completion> markEnded();
  // A stop's watchdog: whether the thread ended before `deadline`.
  bool waitUntilEnded(std::chrono::steady_clock::time_point deadline);
  // A stop's watchdog, once the wait is over: the thread counts as ended from now on, and the
  // completions queued so far are handed back (none if it has ended meanwhile).
  std::vector<Completion> abandon();
  // Whether abandon() gave up on a thread that had not ended.
  [[nodiscard]] bool abandoned();

 private:
  void wake() const;

  int wakeFd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> quit_{false};
  std::mutex mutex_;
  std::condition_variable endedChanged_;
  // Guarded by mutex_.
  bool streamEndClaimed_ = false;
  bool ended_ = false;
  bool abandoned_ = false;
  std::vector<Completion> stopCompletions_;
};

}  // namespace darvo::capture::x11
