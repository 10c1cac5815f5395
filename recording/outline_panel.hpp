// The on-screen outline around the recorded window, as the recorder sees it.
#pragma once

#include <functional>
#include <memory>

#include "capture/capture.hpp"

namespace darvo::recording {

// A borderless, click-through, always-on-top panel. Main thread only.
class OutlinePanel {
 public:
  virtual ~OutlinePanel() = default;
  // Places the panel at `panelFrame` (root coordinates, already outset around the window) and
  // redraws the outline for that size.
  virtual void setFrame(const capture::Rect& panelFrame) = 0;
  // Shows the panel above every other window without taking focus.
  virtual void orderFrontRegardless() = 0;
  // Hides the panel for good; the object stays alive.
  virtual void close() = 0;
};

// A panel that draws nothing: where no outline can be drawn (no X server to draw it on, or a
// desktop that tells no one where windows are).
class InertOutlinePanel final : public OutlinePanel {
 public:
  void setFrame(const capture::Rect& /*panelFrame*/) override {}
  void orderFrontRegardless() override {}
  void close() override {}
};

// Makes the one panel on first need; the panel starts hidden at `panelFrame`.
using OutlinePanelFactory =
    std::function<std::unique_ptr<OutlinePanel>(const capture::Rect& panelFrame)>;

}  // namespace darvo::recording
