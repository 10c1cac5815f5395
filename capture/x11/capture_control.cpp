#include "capture/x11/capture_control.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

namespace darvo::capture::x11 {

CaptureControl::CaptureControl() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wakeFd_ < 0) {
    throw std::system_error(errno, std::generic_category(), "eventfd");
  }
}

CaptureControl::~CaptureControl() {
  close(wakeFd_);
}

void CaptureControl::requestStop() {
  stop_.store(true);
  wake();
}

void CaptureControl::requestQuit() {
  quit_.store(true);
  wake();
}

void CaptureControl::wake() const {
  const uint64_t one = 1;
  // Cannot fail short of a counter overflow, and then the thread is awake anyway.
  [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
}

void CaptureControl::drainWakeups() const {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = read(wakeFd_, &count, sizeof count);
}

bool CaptureControl::claimStreamEnd() {
  const std::lock_guard lock(mutex_);
  return !std::exchange(streamEndClaimed_, true);
}

bool CaptureControl::addStopCompletion(Completion& completion) {
  const std::lock_guard lock(mutex_);
  if (ended_) {
    return false;
  }
  stopCompletions_.push_back(std::move(completion));
  return true;
}

std::vector<Completion> CaptureControl::markEnded() {
  std::vector<Completion> completions;
  {
    const std::lock_guard lock(mutex_);
    ended_ = true;
    completions = std::exchange(stopCompletions_, {});
  }
  endedChanged_.notify_all();
  return completions;
}

bool CaptureControl::waitUntilEnded(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return endedChanged_.wait_until(lock, deadline, [this] { return ended_; });
}

std::vector<Completion> CaptureControl::abandon() {
  const std::lock_guard lock(mutex_);
  if (ended_) {
    return {};
  }
  ended_ = true;
  abandoned_ = true;
  return std::exchange(stopCompletions_, {});
}

bool CaptureControl::abandoned() {
  const std::lock_guard lock(mutex_);
  return abandoned_;
}

}  // namespace darvo::capture::x11
