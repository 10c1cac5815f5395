// The work of one capture thread: its own X connection, the window's redirect and damage, and
// the loop that turns changes into frames. Everything here runs on the capture thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include "capture/capture.hpp"
#include "capture/video_sink.hpp"
#include "capture/x11/capture_control.hpp"
#include "capture/x11/capture_outputs.hpp"
#include "capture/changed_blocks.hpp"
#include "capture/x11/cursor_overlay.hpp"
#include "capture/x11/server_resource.hpp"
#include "capture/x11/window_image_reader.hpp"
#include "capture/x11/window_lookup.hpp"
#include "capture/x11/xcb_handles.hpp"

namespace darvo::capture::x11 {

class WindowCapture {
 public:
  WindowCapture(xcb_window_t window, const StreamConfiguration& configuration,
                CaptureOutputs& outputs, CaptureControl& control);

  // Connects, checks the extensions and the window, redirects its top-level ancestor and selects
  // its events. The error for startCapture's completion, if any.
  std::optional<CaptureError> setUp();

  // Takes frames until a stop, a quit, a system stop or a lost connection, and reports the end
  // to the outputs (nothing for a quit). Only after setUp() succeeded.
  void run();

 private:
  using Clock = CaptureClock;

  static void unredirect(xcb_connection_t* connection, uint32_t window);
  static void destroyDamage(xcb_connection_t* connection, uint32_t damage);
  static void destroyRegion(xcb_connection_t* connection, uint32_t region);
  static void freePixmap(xcb_connection_t* connection, uint32_t pixmap);

  std::optional<CaptureError> checkExtensions();
  std::optional<CaptureError> readWindow();
  std::optional<CaptureError> adoptAncestor();
  std::optional<CaptureError> readPixelFormat(xcb_window_t ancestor);
  std::optional<CaptureError> selectEvents();
  void locateSource();

  // Reports the end to the outputs, unless a stop's watchdog has done so already.
  void endStream(std::optional<int64_t> stopCode);
  void drainEvents();
  void handleEvent(const xcb_generic_event_t& event);
  void decideUnmap();
  void captureFrame(Clock::time_point now);
  void takeChangedAreas(xcb_xfixes_fetch_region_cookie_t cookie);
  void noteFailedRead(Clock::time_point now);
  // Draws the cursor into the image when the pointer is over it; the area drawn over, if any.
  std::optional<ImageArea> drawPointer(const MutableImage& image,
                                       xcb_query_pointer_cookie_t pointerCookie,
                                       xcb_xfixes_get_cursor_image_cookie_t cursorCookie);
  [[nodiscard]] bool frameDue(Clock::time_point now) const;
  [[nodiscard]] std::optional<Clock::time_point> nextDeadline() const;
  void waitForEvents(std::optional<Clock::time_point> deadline);

  // Configuration.
  const xcb_window_t window_;
  const StreamConfiguration configuration_;
  const Clock::duration interval_;
  CaptureOutputs& outputs_;
  CaptureControl& control_;

  // Owners, released in reverse order: the connection last.
  XcbConnection connection_;
  ServerResourceOwner<&WindowCapture::unredirect> redirect_;
  ServerResourceOwner<&WindowCapture::destroyDamage> damage_;
  ServerResourceOwner<&WindowCapture::destroyRegion> damagedRegion_;  // filled by each re-arm
  ServerResourceOwner<&WindowCapture::freePixmap> pixmap_;            // the ancestor's, named by us
  std::unique_ptr<WindowImageReader> reader_;

  // What the server told us at setup.
  xcb_window_t root_ = XCB_NONE;
  xcb_window_t ancestor_ = XCB_NONE;
  xcb_atom_t frameExtentsAtom_ = XCB_NONE;
  uint8_t damageEventBase_ = 0;
  uint8_t xfixesEventBase_ = 0;
  bool shmPresent_ = false;
  PixelFormat pixelFormat_;  // of the ancestor's pixmap

  // Where the pixels come from; asked again before the next read once stale.
  AncestorLayout layout_;
  VisibleArea visible_;
  bool sourceStale_ = true;

  // Loop state.
  bool dirty_ = true;  // the first frame is taken without waiting for damage
  bool damageArmed_ = true;
  bool pointerInside_ = false;
  bool reparented_ = false;
  bool destroyed_ = false;
  bool systemStopped_ = false;
  bool unreadable_ = false;
  // Where the image may differ from the last one delivered, in its coordinates.
  std::vector<ImageArea> changedAreas_;
  ChangedBlockFinder changedBlocks_;         // narrows changedAreas_ to what really changed
  bool changesUnknown_ = true;               // the first image has nothing to differ from
  std::optional<ImageArea> lastCursorArea_;  // where the cursor was drawn into the last image
  std::optional<Clock::time_point> lastFrameAt_;
  std::optional<Clock::time_point> unmapDecisionAt_;
  std::optional<Clock::time_point> failingSince_;  // the first of the reads failing since
};

}  // namespace darvo::capture::x11
