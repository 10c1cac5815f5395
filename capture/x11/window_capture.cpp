#include "capture/x11/window_capture.hpp"

#include <array>
#include <bit>
#include <string_view>

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>

#include "capture/x11/connection.hpp"
#include "capture/x11/window_lookup.hpp"
#include "capture/x11/x11_server.hpp"

namespace darvo::capture::x11 {

namespace {

CaptureClock::duration toDuration(MediaTime time) {
  if (time.value <= 0 || time.timescale <= 0) {
    return CaptureClock::duration::zero();
  }
  const std::chrono::duration<double> seconds(static_cast<double>(time.value) /
                                              static_cast<double>(time.timescale));
  return std::chrono::duration_cast<CaptureClock::duration>(seconds);
}

// A window that vanished between our requests answers BadWindow; anything else is a refusal.
CaptureError errorFor(const XcbError& error) {
  return streamError(error->error_code == XCB_WINDOW ? kWindowGoneCode : kCaptureSetupCode);
}

}  // namespace

void WindowCapture::unredirect(xcb_connection_t* connection, uint32_t window) {
  xcb_composite_unredirect_window(connection, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
}

void WindowCapture::destroyDamage(xcb_connection_t* connection, uint32_t damage) {
  xcb_damage_destroy(connection, damage);
}

void WindowCapture::destroyRegion(xcb_connection_t* connection, uint32_t region) {
  xcb_xfixes_destroy_region(connection, region);
}

void WindowCapture::freePixmap(xcb_connection_t* connection, uint32_t pixmap) {
  xcb_free_pixmap(connection, pixmap);
}

WindowCapture::WindowCapture(xcb_window_t window, const StreamConfiguration& configuration,
                             CaptureOutputs& outputs, CaptureControl& control)
    : window_(window),
      configuration_(configuration),
      // Never zero, so a sink without room cannot make the loop spin.
      interval_(std::max<Clock::duration>(toDuration(configuration.minimumFrameInterval),
                                          std::chrono::milliseconds(1))),
      outputs_(outputs),
      control_(control) {}

std::optional<CaptureError> WindowCapture::setUp() {
  connection_ = openConnection(nullptr, nullptr);
  if (xcb_connection_has_error(connection_.get()) != 0) {
    return streamError(kConnectionFailedCode);
  }
  if (auto error = checkExtensions()) {
    return error;
  }
  if (auto error = readWindow()) {
    return error;
  }
  if (auto error = adoptAncestor()) {
    return error;
  }
  if (auto error = selectEvents()) {
    return error;
  }
  xcb_connection_t* connection = connection_.get();
  const xcb_damage_damage_t damage = xcb_generate_id(connection);
  if (XcbError error =
          takeError(connection, xcb_damage_create_checked(connection, damage, window_,
                                                          XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY))) {
    return errorFor(error);
  }
  damage_.reset(ServerResource{connection, damage});
  const xcb_xfixes_region_t region = xcb_generate_id(connection);
  if (XcbError error =
          takeError(connection, xcb_xfixes_create_region_checked(connection, region, 0, nullptr))) {
    return errorFor(error);
  }
  damagedRegion_.reset(ServerResource{connection, region});
  if (configuration_.showsCursor) {
    xcb_xfixes_select_cursor_input(connection, root_, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
  }
  // Selected before this check, so an unmap after it arrives as an event. The round trip also
  // queues the damage the server reports at creation, ahead of the first frame.
  const auto attributes = takeReply(xcb_get_window_attributes_reply, connection,
                                    xcb_get_window_attributes(connection, window_));
  if (!attributes) {
    return streamError(kWindowGoneCode);
  }
  if (attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
    return streamError(kCaptureSetupCode);  // its pixels cannot be read
  }
  reader_ = std::make_unique<WindowImageReader>(connection, shmPresent_, pixelFormat_);
  return std::nullopt;
}

std::optional<CaptureError> WindowCapture::checkExtensions() {
  xcb_connection_t* connection = connection_.get();
  for (xcb_extension_t* extension :
       {&xcb_composite_id, &xcb_damage_id, &xcb_xfixes_id, &xcb_shm_id}) {
    xcb_prefetch_extension_data(connection, extension);
  }
  const auto* composite = xcb_get_extension_data(connection, &xcb_composite_id);
  const auto* damage = xcb_get_extension_data(connection, &xcb_damage_id);
  const auto* xfixes = xcb_get_extension_data(connection, &xcb_xfixes_id);
  const auto* shm = xcb_get_extension_data(connection, &xcb_shm_id);
  if (composite == nullptr || composite->present == 0 || damage == nullptr ||
      damage->present == 0 || xfixes == nullptr || xfixes->present == 0) {
    return streamError(kCaptureSetupCode);
  }
  damageEventBase_ = damage->first_event;
  xfixesEventBase_ = xfixes->first_event;
  // Damage and XFixes refuse every other request until the versions are agreed.
  const auto compositeCookie = xcb_composite_query_version(connection, 0, 4);
  const auto damageCookie = xcb_damage_query_version(connection, 1, 1);
  const auto xfixesCookie = xcb_xfixes_query_version(connection, 5, 0);
  const auto compositeVersion =
      takeReply(xcb_composite_query_version_reply, connection, compositeCookie);
  const auto damageVersion = takeReply(xcb_damage_query_version_reply, connection, damageCookie);
  const auto xfixesVersion = takeReply(xcb_xfixes_query_version_reply, connection, xfixesCookie);
  if (!compositeVersion || !damageVersion || !xfixesVersion || xfixesVersion->major_version < 2) {
    return streamError(kCaptureSetupCode);
  }
  if (shm != nullptr && shm->present != 0) {
    shmPresent_ = static_cast<bool>(
        takeReply(xcb_shm_query_version_reply, connection, xcb_shm_query_version(connection)));
  }
  return std::nullopt;
}

std::optional<CaptureError> WindowCapture::readWindow() {
  xcb_connection_t* connection = connection_.get();
  constexpr std::array<std::string_view, 1> kFrameExtents = {"_GTK_FRAME_EXTENTS"};
  frameExtentsAtom_ = internAtoms(connection, kFrameExtents, false)[0];
  const auto geometry =
      takeReply(xcb_get_geometry_reply, connection, xcb_get_geometry(connection, window_));
  if (frameExtentsAtom_ == XCB_ATOM_NONE || !geometry) {
    return streamError(xcb_connection_has_error(connection) != 0 ? kConnectionLostCode
                                                                 : kWindowGoneCode);
  }
  root_ = geometry->root;
  return std::nullopt;
}

// Redirects the child of the root that holds the window (the window itself without a window
// manager): the pixmap of a redirected ancestor holds the window's pixels, covered or beyond the
// screen's edge alike.
std::optional<CaptureError> WindowCapture::adoptAncestor() {
  xcb_connection_t* connection = connection_.get();
  const auto ancestor = topLevelAncestor(connection, window_);
  if (!ancestor) {
    return streamError(kWindowGoneCode);
  }
  if (*ancestor == ancestor_) {
    return std::nullopt;
  }
  if (auto error = readPixelFormat(*ancestor)) {
    return error;
  }
  if (XcbError error =
          takeError(connection, xcb_composite_redirect_window_checked(
                                    connection, *ancestor, XCB_COMPOSITE_REDIRECT_AUTOMATIC))) {
    return errorFor(error);
  }
  redirect_.reset(ServerResource{connection, *ancestor});
  ancestor_ = *ancestor;
  sourceStale_ = true;
  if (ancestor_ != window_) {
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    if (XcbError error =
            takeError(connection, xcb_change_window_attributes_checked(connection, ancestor_,
                                                                       XCB_CW_EVENT_MASK, &mask))) {
      return errorFor(error);
    }
  }
  return std::nullopt;
}

// The pixels are read from the ancestor's pixmap, in the ancestor's depth and visual (a window
// of another depth is composited into it): any true-colour format, 8 to 32 bits a pixel.
std::optional<CaptureError> WindowCapture::readPixelFormat(xcb_window_t ancestor) {
  xcb_connection_t* connection = connection_.get();
  const auto attributesCookie = xcb_get_window_attributes(connection, ancestor);
  const auto geometryCookie = xcb_get_geometry(connection, ancestor);
  const auto attributes = takeReply(xcb_get_window_attributes_reply, connection, attributesCookie);
  const auto geometry = takeReply(xcb_get_geometry_reply, connection, geometryCookie);
  if (!attributes || !geometry) {
    return streamError(kWindowGoneCode);
  }
  const auto format =
      findPixelFormat(xcb_get_setup(connection), root_, attributes->visual, geometry->depth);
  if (!format) {
    return streamError(kCaptureSetupCode);  // a colour-mapped window: no channels to read
  }
  pixelFormat_ = *format;
  if (reader_) {
    reader_->setFormat(pixelFormat_);
  }
  return std::nullopt;
}

std::optional<CaptureError> WindowCapture::selectEvents() {
  // Property changes for the frame extents.
  uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
  if (configuration_.showsCursor) {
    // The drawn-in cursor changes the picture when it moves over, enters or leaves the window.
    mask |=
        XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW;
  }
  xcb_connection_t* connection = connection_.get();
  if (XcbError error = takeError(connection, xcb_change_window_attributes_checked(
                                                 connection, window_, XCB_CW_EVENT_MASK, &mask))) {
    return errorFor(error);
  }
  return std::nullopt;
}

// Names the ancestor's current pixmap (the server allocates a new one whenever the ancestor is
// mapped or resized) and finds the window's visible part in it. Stays stale on failure, and the
// read that follows counts as failed.
void WindowCapture::locateSource() {
  xcb_connection_t* connection = connection_.get();
  const xcb_pixmap_t pixmap = xcb_generate_id(connection);
  const auto nameCookie = xcb_composite_name_window_pixmap_checked(connection, ancestor_, pixmap);
  const auto extentsCookie =
      xcb_get_property(connection, 0, window_, frameExtentsAtom_, XCB_ATOM_CARDINAL, 0, 4);
  const auto layout = layoutInAncestor(connection, window_, ancestor_);
  const auto extents = takeReply(xcb_get_property_reply, connection, extentsCookie);
  const XcbError nameError = takeError(connection, nameCookie);
  pixmap_.reset(nameError ? ServerResource{} : ServerResource{connection, pixmap});
  if (!pixmap_ || !layout) {
    return;
  }
  layout_ = *layout;
  visible_ = visibleArea(layout_.width, layout_.height, extents.get());
  sourceStale_ = false;
}

}  // namespace darvo::capture::x11
