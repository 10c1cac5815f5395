// The outline panel on X11: an override-redirect window shaped to the red band.
#pragma once

#include <cstdint>
#include <memory>

#include <xcb/xcb.h>

#include "capture/capture.hpp"
#include "capture/x11/xcb_handles.hpp"
#include "recording/outline_panel.hpp"

namespace darvo::app {

// An override-redirect window (never managed, so never focused or decorated) whose bounding
// shape is the band and whose input shape is empty, so every click reaches the window below.
// It talks over a connection of its own so that it never waits behind capture traffic.
// One thread at a time; open() waits for the server's answers, the other calls send their
// requests and flush without waiting for replies.
class X11OutlinePanel final : public recording::OutlinePanel {
 public:
  // A hidden panel at `panelFrame` on `displayName` ($DISPLAY when null). Nothing when the server
  // cannot be reached or cannot shape input (Shape 1.1): an unshaped window would hide the
  // recorded window and swallow its clicks.
  static std::unique_ptr<X11OutlinePanel> open(const capture::Rect& panelFrame,
                                               const char* displayName = nullptr);

  X11OutlinePanel(const X11OutlinePanel&) = delete;
  X11OutlinePanel& operator=(const X11OutlinePanel&) = delete;
  ~X11OutlinePanel() override = default;

  void setFrame(const capture::Rect& panelFrame) override;
  void orderFrontRegardless() override;
  void close() override;

  [[nodiscard]] xcb_window_t window() const { return window_; }

 private:
  // The frame in X's integer ranges.
  struct Geometry {
    int16_t x = 0;
    int16_t y = 0;
    uint16_t width = 1;
    uint16_t height = 1;
    bool operator==(const Geometry&) const = default;
  };
  static Geometry toGeometry(const capture::Rect& frame);

  X11OutlinePanel(capture::x11::XcbConnection connection, xcb_window_t window, Geometry geometry);
  void applyBoundingShape();
  void send();

  // Owns the window as well: the server destroys a client's windows when it disconnects.
  capture::x11::XcbConnection connection_;
  xcb_window_t window_;
  Geometry geometry_;
  bool mapped_ = false;
  bool closed_ = false;
};

// Makes an X11OutlinePanel on $DISPLAY, on a thread of its own (ThreadedOutlinePanel). When none
// can be made the panel does nothing: the outline is a courtesy to the user, and the recording
// must not fail for want of it.
recording::OutlinePanelFactory makeX11OutlinePanelFactory();

}  // namespace darvo::app
