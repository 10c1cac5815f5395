// Queries of the X server's windows: the shareable content (client windows, front to back) and
// the window-list service. Expected failures are values, never exceptions.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include <xcb/xcb.h>

#include "capture/capture.hpp"
#include "capture/x11/connection.hpp"

namespace darvo::capture::x11 {

using ContentResult = std::variant<ShareableContent, CaptureError>;

// The client windows of the connection's screen, front to back: for each child of the root, the
// window carrying WM_STATE (the child itself or the client under a window manager's frame), or the
// child itself when none carries it. Fails with kCaptureSetupCode when the server lacks Composite
// and with kConnectionFailedCode when the connection is broken.
ContentResult queryShareableContent(const DisplayConnection& display, bool excludingDesktopWindows,
                                    bool onScreenWindowsOnly);

// The window list's questions over a connection it owns. They wait for the server's answers:
// one thread at a time, never the main thread.
class WindowQueries {
 public:
  explicit WindowQueries(DisplayConnection display);

  [[nodiscard]] const DisplayConnection& display() const { return display_; }
  // Bounds in root coordinates (without client-side shadow margins), the owner's pid (X-Resource,
  // else _NET_WM_PID) and whether the window is viewable; nothing when the window no longer exists
  // or the connection is broken.
  std::optional<WindowListEntry> windowInfo(uint32_t windowID);
  // Every window below the root, level by level; nothing when the connection is broken.
  std::optional<std::vector<uint32_t>> allWindowNumbers();

 private:
  DisplayConnection display_;
  xcb_atom_t netWmPid_ = XCB_ATOM_NONE;
  xcb_atom_t gtkFrameExtents_ = XCB_ATOM_NONE;
};

}  // namespace darvo::capture::x11
