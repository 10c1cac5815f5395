// The capture thread's loop: events in, frames out, and how the capture ends.
#include <poll.h>

#include <algorithm>
#include <ctime>

#include <xcb/damage.h>

#include "capture/x11/window_capture.hpp"

namespace darvo::capture::x11 {

namespace {

// How long an unmapped window may take to be destroyed before the unmap counts as a system stop.
constexpr auto kDestroyGracePeriod = std::chrono::milliseconds(100);

}  // namespace

void WindowCapture::run() {
  outputs_.prepare(configuration_.width, configuration_.height);
  for (;;) {
    drainEvents();
    if (control_.quitRequested()) {
      return;
    }
    if (xcb_connection_has_error(connection_.get()) != 0) {
      endStream(kConnectionLostCode);
      return;
    }
    if (control_.stopRequested()) {
      endStream(std::nullopt);
      return;
    }
    const auto now = Clock::now();
    if (unmapDecisionAt_ && now >= *unmapDecisionAt_) {
      decideUnmap();
      if (systemStopped_) {
        endStream(kSystemStoppedStreamCode);
        return;
      }
      continue;
    }
    if (frameDue(now)) {
      captureFrame(now);
      if (unreadable_) {
        endStream(kImageReadCode);
        return;
      }
      continue;  // replies may have queued events that the descriptor will not signal
    }
    waitForEvents(nextDeadline());
  }
}

void WindowCapture::endStream(std::optional<int64_t> stopCode) {
  if (control_.claimStreamEnd()) {
    outputs_.end(stopCode);
  }  // else a stop's watchdog ended it while this thread waited for the server
}

void WindowCapture::drainEvents() {
  while (const XcbEvent event{xcb_poll_for_event(connection_.get())}) {
    handleEvent(*event);
  }
}

void WindowCapture::handleEvent(const xcb_generic_event_t& event) {
  const uint8_t type = event.response_type & 0x7f;  // without the "sent by a client" bit
  if (type == 0) {
    return;  // an error from a request on a window that has gone meanwhile
  }
  if (type == damageEventBase_ + XCB_DAMAGE_NOTIFY) {
    dirty_ = true;
    damageArmed_ = false;  // re-armed by DamageSubtract right before the next read
    return;
  }
  if (type == xfixesEventBase_ + XCB_XFIXES_CURSOR_NOTIFY) {
    dirty_ = dirty_ || pointerInside_;  // a new cursor shape over the window
    return;
  }
  switch (type) {
    case XCB_MOTION_NOTIFY:  // selected only when the cursor is drawn in
    case XCB_ENTER_NOTIFY:
      pointerInside_ = true;
      dirty_ = true;
      break;
    case XCB_LEAVE_NOTIFY:
      // Into a child window is still inside.
      if (reinterpret_cast<const xcb_leave_notify_event_t&>(event).detail !=
          XCB_NOTIFY_DETAIL_INFERIOR) {
        pointerInside_ = false;
        dirty_ = true;
      }
      break;
    case XCB_CONFIGURE_NOTIFY: {
      if ((event.response_type & 0x80) != 0) {
        break;  // a window manager's copy in root coordinates; the server's own comes as well
      }
      const auto& configure = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
      if (configure.window == window_) {
        dirty_ = dirty_ || configure.width != layout_.width || configure.height != layout_.height;
        // Inside a frame it may have moved within the ancestor's pixmap.
        sourceStale_ = sourceStale_ || window_ != ancestor_;
      }
      if (configure.window == ancestor_ &&
          (configure.width + 2 * configure.border_width != layout_.pixmapWidth ||
           configure.height + 2 * configure.border_width != layout_.pixmapHeight)) {
        sourceStale_ = true;  // resized: the server allocated a new pixmap
      }
      break;
    }
    case XCB_MAP_NOTIFY:
      if (reinterpret_cast<const xcb_map_notify_event_t&>(event).window == ancestor_) {
        sourceStale_ = true;  // mapped again: a new pixmap
      }
      break;
    case XCB_PROPERTY_NOTIFY: {
      const auto& property = reinterpret_cast<const xcb_property_notify_event_t&>(event);
      if (property.window == window_ && property.atom == frameExtentsAtom_) {
        sourceStale_ = true;  // new frame extents: maximising, for one, drops the margins
        dirty_ = true;
      }
      break;
    }
    case XCB_UNMAP_NOTIFY: {
      const auto unmapped = reinterpret_cast<const xcb_unmap_notify_event_t&>(event).window;
      if ((unmapped == window_ || unmapped == ancestor_) && !unmapDecisionAt_ && !destroyed_) {
        // A destroyed window is unmapped first: wait a little for its DestroyNotify.
        unmapDecisionAt_ = Clock::now() + kDestroyGracePeriod;
      }
      break;
    }
    case XCB_DESTROY_NOTIFY: {
      const auto destroyed = reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window;
      if (destroyed == window_) {
        destroyed_ = true;
        unmapDecisionAt_.reset();
      } else if (destroyed == ancestor_ && unmapDecisionAt_) {
        // A frame destroyed after its client's own events: the window manager let go of a
        // window that still exists (withdrawn, hidden); decide now.
        unmapDecisionAt_ = Clock::now();
      }
      break;
    }
    case XCB_REPARENT_NOTIFY:
      if (reinterpret_cast<const xcb_reparent_notify_event_t&>(event).window == window_) {
        reparented_ = true;  // a window manager came or went: a new top-level ancestor
      }
      break;
    default:
      break;
  }
}

// After an unmap of the window or its ancestor: destroyed, mapped again (a reparenting window
// manager does that) or hidden by the system.
void WindowCapture::decideUnmap() {
  unmapDecisionAt_.reset();
  if (destroyed_) {
    return;
  }
  xcb_connection_t* connection = connection_.get();
  const auto attributes = takeReply(xcb_get_window_attributes_reply, connection,
                                    xcb_get_window_attributes(connection, window_));
  if (!attributes) {
    destroyed_ = xcb_connection_has_error(connection) == 0;
    return;
  }
  if (attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
    systemStopped_ = true;
    return;
  }
  if (reparented_) {
    reparented_ = false;
    adoptAncestor();  // on failure the old redirect stays; the frames show what they can
  }
  sourceStale_ = true;  // mapped again: a new pixmap
  failingSince_.reset();
  dirty_ = true;
}

bool WindowCapture::frameDue(Clock::time_point now) const {
  return dirty_ && !destroyed_ && !unmapDecisionAt_ &&
         (!lastFrameAt_ || now >= *lastFrameAt_ + interval_);
}

std::optional<WindowCapture::Clock::time_point> WindowCapture::nextDeadline() const {
  if (unmapDecisionAt_) {
    return unmapDecisionAt_;
  }
  if (dirty_ && !destroyed_ && lastFrameAt_) {
    return *lastFrameAt_ + interval_;  // the last change is taken once the interval has passed
  }
  return std::nullopt;
}

void WindowCapture::waitForEvents(std::optional<Clock::time_point> deadline) {
  xcb_flush(connection_.get());
  pollfd descriptors[2] = {{xcb_get_file_descriptor(connection_.get()), POLLIN, 0},
                           {control_.wakeDescriptor(), POLLIN, 0}};
  timespec timeout{};
  if (deadline) {
    const auto remaining = std::max(Clock::duration::zero(), *deadline - Clock::now());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(remaining);
    timeout.tv_sec = static_cast<time_t>(seconds.count());
    timeout.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(remaining - seconds).count());
  }
  // EINTR and timeouts both just go round the loop again.
  ppoll(descriptors, 2, deadline ? &timeout : nullptr, nullptr);
  if ((descriptors[1].revents & POLLIN) != 0) {
    control_.drainWakeups();
  }
}

}  // namespace darvo::capture::x11
