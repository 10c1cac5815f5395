#include "capture/query_thread.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace darvo::capture {

struct QueryThread::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  // Guarded by mutex.
  std::function<void()> job;
  bool busy = false;  // a job is waiting or running
  bool quit = false;
  std::thread thread;
};

QueryThread::QueryThread() : shared_(std::make_shared<Shared>()) {
  shared_->thread = std::thread(&QueryThread::run, shared_);
}

QueryThread::~QueryThread() {
  std::thread thread;
  bool busy = false;
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->quit = true;
    busy = shared_->busy;
    thread = std::move(shared_->thread);
  }
  shared_->changed.notify_one();
  if (busy) {
    thread.detach();
  } else {
    thread.join();
  }
}

bool QueryThread::tryRun(std::function<void()> job) {
  {
    const std::lock_guard lock(shared_->mutex);
    if (shared_->busy || shared_->quit) {
      return false;
    }
    shared_->busy = true;
    shared_->job = std::move(job);
  }
  shared_->changed.notify_one();
  return true;
}

void QueryThread::run(const std::shared_ptr<Shared>& shared) {
  std::unique_lock lock(shared->mutex);
  for (;;) {
    shared->changed.wait(lock, [&] { return shared->busy || shared->quit; });
    if (!shared->busy) {
      return;  // quit while idle
    }
    auto job = std::exchange(shared->job, nullptr);
    lock.unlock();
    try {
      job();
    } catch (...) {  // NOLINT(bugprone-empty-catch): a job reports its own failures
    }
    job = nullptr;  // what it holds is released before the next one is taken
    lock.lock();
    shared->busy = false;
    if (shared->quit) {
      return;
    }
  }
}

}  // namespace darvo::capture
