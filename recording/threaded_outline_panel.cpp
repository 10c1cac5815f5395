#include "recording/threaded_outline_panel.hpp"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace darvo::recording {

struct ThreadedOutlinePanel::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  // Guarded by mutex: what the panel should do next.
  capture::Rect openingFrame;
  std::optional<capture::Rect> frame;
  bool raise = false;
  bool closed = false;
  bool quit = false;  // the panel object is gone: end without another request
  bool busy = false;  // the thread is at work, not waiting for the next change
  std::thread thread;
};

ThreadedOutlinePanel::ThreadedOutlinePanel(const capture::Rect& panelFrame,
                                           OutlinePanelFactory open)
    : shared_(std::make_shared<Shared>()) {
  shared_->openingFrame = panelFrame;
  shared_->busy = true;
  shared_->thread = std::thread(&ThreadedOutlinePanel::run, shared_, std::move(open));
}

ThreadedOutlinePanel::~ThreadedOutlinePanel() {
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
    thread.detach();  // it holds what it uses, and ends once the server lets it
  } else {
    thread.join();
  }
}

void ThreadedOutlinePanel::setFrame(const capture::Rect& panelFrame) {
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->frame = panelFrame;
  }
  shared_->changed.notify_one();
}

void ThreadedOutlinePanel::orderFrontRegardless() {
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->raise = true;
  }
  shared_->changed.notify_one();
}

void ThreadedOutlinePanel::close() {
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->closed = true;
  }
  shared_->changed.notify_one();
}

void ThreadedOutlinePanel::run(const std::shared_ptr<Shared>& shared,
                               const OutlinePanelFactory& open) {
  try {
    work(*shared, open);
  } catch (...) {  // NOLINT(bugprone-empty-catch): the outline is a courtesy; the recording goes on
  }
  const std::lock_guard lock(shared->mutex);
  shared->busy = false;
}

void ThreadedOutlinePanel::work(Shared& shared, const OutlinePanelFactory& open) {
  std::unique_lock lock(shared.mutex);
  const capture::Rect openingFrame = shared.openingFrame;
  lock.unlock();
  const std::unique_ptr<OutlinePanel> panel = open(openingFrame);
  lock.lock();
  for (;;) {
    if (shared.quit) return;  // the panel goes without another request
    const bool closed = shared.closed;
    const auto frame = std::exchange(shared.frame, std::nullopt);
    const bool raise = std::exchange(shared.raise, false);
    if (!closed && !frame && !raise) {
      shared.busy = false;
      shared.changed.wait(lock);
      shared.busy = true;
      continue;
    }
    lock.unlock();
    if (closed) {
      if (panel) panel->close();
      return;
    }
    if (panel && frame) panel->setFrame(*frame);
    if (panel && raise) panel->orderFrontRegardless();
    lock.lock();
  }
}

}  // namespace darvo::recording
