// An outline panel that lives on a thread of its own: the main thread only notes what the panel
// should look like, so a display server that stops answering never holds the main thread.
#pragma once

#include <memory>

#include "recording/outline_panel.hpp"

namespace darvo::recording {

class ThreadedOutlinePanel final : public OutlinePanel {
 public:
  // Opens the panel with `open` on the new thread, at `panelFrame`. Throws std::system_error when
  // no thread can be started.
  ThreadedOutlinePanel(const capture::Rect& panelFrame, OutlinePanelFactory open);
  // Lets the panel go (its window goes with its connection); never waits for a thread that the
  // display server holds.
  ~ThreadedOutlinePanel() override;
  ThreadedOutlinePanel(const ThreadedOutlinePanel&) = delete;
  ThreadedOutlinePanel& operator=(const ThreadedOutlinePanel&) = delete;

  // Main thread. Calls made while the panel's thread is busy are merged: the newest frame, then
  // one raise, are what it does next.
  void setFrame(const capture::Rect& panelFrame) override;
  void orderFrontRegardless() override;
  void close() override;

 private:
  struct Shared;
  static void run(const std::shared_ptr<Shared>& shared, const OutlinePanelFactory& open);
  static void work(Shared& shared, const OutlinePanelFactory& open);

  std::shared_ptr<Shared> shared_;
};

}  // namespace darvo::recording
