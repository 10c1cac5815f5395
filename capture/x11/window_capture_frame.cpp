// Taking one frame: the window's visible pixels out of its ancestor's pixmap, the cursor drawn in,
// handed to the sink.
#include <xcb/damage.h>

#include "capture/x11/window_capture.hpp"

namespace darvo::capture::x11 {

namespace {

// How long reads may fail while the window stays viewable before the capture gives up. A resize,
// remap or reparenting costs a few failed reads until its events arrive; longer, the video would
// only freeze. Two seconds are some 30 attempts at 15 frames a second, and a frozen stretch of
// two repeats of the last picture in the file.
constexpr auto kUnreadableLimit = std::chrono::seconds(2);

}  // namespace

void WindowCapture::captureFrame(Clock::time_point now) {
  lastFrameAt_ = now;
  // Asked before any pixel is read; a refusal is counted as a drop by the sink, and the change
  // stays pending for the next interval.
  if (!outputs_.hasRoom()) {
    return;
  }
  xcb_connection_t* connection = connection_.get();
  std::optional<xcb_xfixes_fetch_region_cookie_t> changesCookie;
  if (!damageArmed_) {
    // Changes after this request raise a new notify, so none is lost between read and re-arm.
    // Those before it are collected for the encoder.
    const xcb_xfixes_region_t parts = outputs_.sink ? damagedRegion_.get().id : XCB_NONE;
    xcb_damage_subtract(connection, damage_.get().id, XCB_NONE, parts);
    if (parts != XCB_NONE) {
      changesCookie = xcb_xfixes_fetch_region(connection, parts);
    }
    damageArmed_ = true;
  }
  if (!outputs_.sink) {
    // No read follows to order the re-arm before later changes: wait until the server has
    // done it (a flush is not enough, other clients' requests may still come first).
    takeReply(xcb_get_input_focus_reply, connection, xcb_get_input_focus(connection));
    dirty_ = false;
    outputs_.deliverSample();
    return;
  }
  // A new source may differ anywhere from the last image.
  const bool relocated = sourceStale_;
  if (sourceStale_) {
    locateSource();
  }
  // Sent before the image so that the three round trips overlap.
  xcb_query_pointer_cookie_t pointerCookie{};
  xcb_xfixes_get_cursor_image_cookie_t cursorCookie{};
  if (configuration_.showsCursor) {
    pointerCookie = xcb_query_pointer(connection, window_);
    cursorCookie = xcb_xfixes_get_cursor_image(connection);
  }
  const auto capturedAt = Clock::now();
  const auto pixels =
      sourceStale_ ? std::nullopt
                   : reader_->read(pixmap_.get().id, layout_.x + visible_.left,
                                   layout_.y + visible_.top, visible_.width, visible_.height);
  changedAreas_.clear();
  if (changesCookie) {
    takeChangedAreas(*changesCookie);
  }
  const ChannelMasks masks = reader_->masks();
  const MutableImage image{pixels ? pixels->data : nullptr,
                           visible_.width,
                           visible_.height,
                           pixels ? pixels->stride : 0,
                           masks.red,
                           masks.green,
                           masks.blue};
  std::optional<ImageArea> cursorArea;
  if (configuration_.showsCursor) {
    cursorArea = drawPointer(image, pointerCookie, cursorCookie);  // takes the replies anyway
  }
  if (!pixels) {
    // Unmapped (its UnmapNotify is on the way), or the pixmap no longer fits the window: locate
    // it again and retry after the interval.
    sourceStale_ = true;
    changesUnknown_ = true;  // the changes just collected never reach the sink
    noteFailedRead(capturedAt);
    return;
  }
  failingSince_.reset();
  dirty_ = false;
  // The cursor is drawn in by us, not reported by Damage: where it was and where it is changed.
  for (const auto& area : {lastCursorArea_, cursorArea}) {
    if (area) {
      changedAreas_.push_back(*area);
    }
  }
  lastCursorArea_ = cursorArea;
  const bool changesKnown = !relocated && !changesUnknown_;
  changesUnknown_ = false;
  PixelImage submitted{image.data, image.width, image.height, image.stride,
                       masks.red,  masks.green, masks.blue,   std::nullopt};
  if (changesKnown) {
    const auto previous = reader_->previousRead();
    submitted.changedAreas = previous
                                 ? changedBlocks_.find(submitted, previous->data, changedAreas_)
                                 : std::span<const ImageArea>(changedAreas_);
  }
  outputs_.submit(submitted, capturedAt);
  outputs_.deliverSample();
}

std::optional<ImageArea> WindowCapture::drawPointer(
    const MutableImage& image, xcb_query_pointer_cookie_t pointerCookie,
    xcb_xfixes_get_cursor_image_cookie_t cursorCookie) {
  xcb_connection_t* connection = connection_.get();
  const auto pointer = takeReply(xcb_query_pointer_reply, connection, pointerCookie);
  const auto cursor = takeReply(xcb_xfixes_get_cursor_image_reply, connection, cursorCookie);
  if (!pointer || !cursor) {
    return std::nullopt;
  }
  // Relative to the visible part, which starts inside the window's invisible margins.
  const int x = pointer->win_x - visible_.left;
  const int y = pointer->win_y - visible_.top;
  pointerInside_ =
      pointer->same_screen != 0 && x >= 0 && y >= 0 && x < image.width && y < image.height;
  if (!pointerInside_ || image.data == nullptr) {
    return std::nullopt;
  }
  // The cursor's position is the hot spot's, in root coordinates; the picture's origin in root
  // coordinates comes from the pointer query taken at the same moment.
  const int originX = pointer->root_x - x;
  const int originY = pointer->root_y - y;
  const CursorPicture picture{xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), cursor->width,
                              cursor->height, cursor->x - cursor->xhot - originX,
                              cursor->y - cursor->yhot - originY};
  drawCursor(image, picture);
  return ImageArea{picture.left, picture.top, picture.width, picture.height};
}

void WindowCapture::takeChangedAreas(xcb_xfixes_fetch_region_cookie_t cookie) {
  const auto region = takeReply(xcb_xfixes_fetch_region_reply, connection_.get(), cookie);
  if (!region) {
    changesUnknown_ = true;
    return;
  }
  const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(region.get());
  const int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
  for (int i = 0; i < count; ++i) {
    // In the window's coordinates; the image starts at its visible part.
    changedAreas_.push_back({rectangles[i].x - visible_.left, rectangles[i].y - visible_.top,
                             rectangles[i].width, rectangles[i].height});
  }
}

void WindowCapture::noteFailedRead(Clock::time_point now) {
  if (!failingSince_) {
    failingSince_ = now;
    return;
  }
  if (now - *failingSince_ < kUnreadableLimit) {
    return;
  }
  xcb_connection_t* connection = connection_.get();
  const auto attributes = takeReply(xcb_get_window_attributes_reply, connection,
                                    xcb_get_window_attributes(connection, window_));
  // Not viewable, or gone: its unmap or destroy is on the way, and decides instead.
  unreadable_ = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

}  // namespace darvo::capture::x11
