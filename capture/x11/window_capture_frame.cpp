// Taking one frame: the window's pixels, the cursor drawn in, handed to the sink.
#include <xcb/damage.h>

#include "capture/x11/window_capture.hpp"

namespace darvo::capture::x11 {

void WindowCapture::captureFrame(Clock::time_point now) {
  lastFrameAt_ = now;
  // Asked before any pixel is read; a refusal is counted as a drop by the sink, and the change
  // stays pending for the next interval.
  if (!outputs_.hasRoom()) {
    return;
  }
  xcb_connection_t* connection = connection_.get();
  if (!damageArmed_) {
    // Changes after this request raise a new notify, so none is lost between read and re-arm.
    xcb_damage_subtract(connection, damage_.get().id, XCB_NONE, XCB_NONE);
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
  // Sent before the image so that the three round trips overlap.
  xcb_query_pointer_cookie_t pointerCookie{};
  xcb_xfixes_get_cursor_image_cookie_t cursorCookie{};
  if (configuration_.showsCursor) {
    pointerCookie = xcb_query_pointer(connection, window_);
    cursorCookie = xcb_xfixes_get_cursor_image(connection);
  }
  const auto capturedAt = Clock::now();
  const auto pixels = reader_->read(window_, width_, height_);
  const MutableImage image{pixels ? pixels->data : nullptr,
                           width_,
                           height_,
                           pixels ? pixels->stride : 0,
                           redMask_,
                           greenMask_,
                           blueMask_};
  if (configuration_.showsCursor) {
    drawPointer(image, pointerCookie, cursorCookie);  // also takes the replies when unread
  }
  if (!pixels) {
    // Unmapped (its UnmapNotify is on the way) or resized under us: read the size again and
    // retry after the interval.
    const auto geometry =
        takeReply(xcb_get_geometry_reply, connection, xcb_get_geometry(connection, window_));
    if (geometry) {
      width_ = geometry->width;
      height_ = geometry->height;
    }
    return;
  }
  dirty_ = false;
  outputs_.submit(PixelImage{image.data, image.width, image.height, image.stride, redMask_,
                             greenMask_, blueMask_},
                  capturedAt);
  outputs_.deliverSample();
}

void WindowCapture::drawPointer(const MutableImage& image, xcb_query_pointer_cookie_t pointerCookie,
                                xcb_xfixes_get_cursor_image_cookie_t cursorCookie) {
  xcb_connection_t* connection = connection_.get();
  const auto pointer = takeReply(xcb_query_pointer_reply, connection, pointerCookie);
  const auto cursor = takeReply(xcb_xfixes_get_cursor_image_reply, connection, cursorCookie);
  if (!pointer || !cursor) {
    return;
  }
  pointerInside_ = pointer->same_screen != 0 && pointer->win_x >= 0 && pointer->win_y >= 0 &&
                   pointer->win_x < image.width && pointer->win_y < image.height;
  if (!pointerInside_ || image.data == nullptr) {
    return;
  }
  // The cursor's position is the hot spot's, in root coordinates; the window's origin in root
  // coordinates comes from the pointer query taken at the same moment.
  const int originX = pointer->root_x - pointer->win_x;
  const int originY = pointer->root_y - pointer->win_y;
  drawCursor(image, CursorPicture{xcb_xfixes_get_cursor_image_cursor_image(cursor.get()),
                                  cursor->width, cursor->height, cursor->x - cursor->xhot - originX,
                                  cursor->y - cursor->yhot - originY});
}

}  // namespace darvo::capture::x11
