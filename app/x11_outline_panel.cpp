#include "app/x11_outline_panel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <xcb/shape.h>

#include "capture/x11/connection.hpp"
#include "capture/x11/x11_server.hpp"
#include "recording/outline_geometry.hpp"
#include "recording/threaded_outline_panel.hpp"

namespace darvo::app {
namespace {

using capture::x11::internAtoms;
using capture::x11::screenNumbered;
using capture::x11::takeError;
using capture::x11::takeReply;
using capture::x11::visualType;
using capture::x11::XcbConnection;
using capture::x11::XcbEvent;

// The system red, RGB(255, 59, 48).
constexpr uint8_t kRed = 255;
constexpr uint8_t kGreen = 59;
constexpr uint8_t kBlue = 48;

constexpr std::string_view kWindowClass{"darvo-helper-outline\0darvo-helper-outline\0", 42};

// The empty input shape needs Shape 1.1.
bool canShapeInput(xcb_connection_t* connection) {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_shape_id);
  if (extension == nullptr || extension->present == 0) return false;
  const auto version =
      takeReply(xcb_shape_query_version_reply, connection, xcb_shape_query_version(connection));
  return version && (version->major_version > 1 ||
                     (version->major_version == 1 && version->minor_version >= 1));
}

// An 8-bit channel value scaled into the bits of `mask`.
uint32_t channel(uint8_t value, uint32_t mask) {
  if (mask == 0) return 0;
  const int shift = std::countr_zero(mask);
  const uint32_t maximum = mask >> shift;
  return ((value * maximum + 127) / 255) << shift;
}

uint32_t redPixel(xcb_connection_t* connection, const xcb_screen_t& screen) {
  const xcb_visualtype_t* visual = visualType(screen, screen.root_visual);
  if (visual != nullptr && visual->_class == XCB_VISUAL_CLASS_TRUE_COLOR) {
    return channel(kRed, visual->red_mask) | channel(kGreen, visual->green_mask) |
           channel(kBlue, visual->blue_mask);
  }
  // Colormapped visuals need the server to pick the cell.
  constexpr uint16_t kTo16Bits = 257;
  const auto color =
      takeReply(xcb_alloc_color_reply, connection,
                xcb_alloc_color(connection, screen.default_colormap, kRed * kTo16Bits,
                                kGreen * kTo16Bits, kBlue * kTo16Bits));
  // A full colormap still gets a visible outline, if not a red one.
  return color ? color->pixel : screen.black_pixel;
}

enum Atom : size_t {
  kState,
  kStateAbove,
  kStateSticky,
  kStateSkipTaskbar,
  kStateSkipPager,
  kWindowType,
  kTypeNotification,
  kTypeUtility,
  kDesktop,
  kAtomCount
};
constexpr std::array<std::string_view, kAtomCount> kAtomNames = {
    "_NET_WM_STATE",
    "_NET_WM_STATE_ABOVE",
    "_NET_WM_STATE_STICKY",
    "_NET_WM_STATE_SKIP_TASKBAR",
    "_NET_WM_STATE_SKIP_PAGER",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_DESKTOP",
};

void setAtomList(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property,
                 std::vector<xcb_atom_t> values) {
  std::erase(values, XCB_ATOM_NONE);
  if (property == XCB_ATOM_NONE || values.empty()) return;
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, property, XCB_ATOM_ATOM, 32,
                      values.size(), values.data());
}

// Hints for window managers and compositors that look at override-redirect windows anyway:
// keep it above, on every desktop, out of task lists, and never give it the focus.
void setHints(xcb_connection_t* connection, xcb_window_t window) {
  const auto atoms = internAtoms(connection, kAtomNames, false);
  setAtomList(
      connection, window, atoms[kState],
      {atoms[kStateAbove], atoms[kStateSticky], atoms[kStateSkipTaskbar], atoms[kStateSkipPager]});
  setAtomList(connection, window, atoms[kWindowType],
              {atoms[kTypeNotification], atoms[kTypeUtility]});
  if (atoms[kDesktop] != XCB_ATOM_NONE) {
    const uint32_t allDesktops = 0xFFFFFFFF;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atoms[kDesktop],
                        XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
  }
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING,
                      8, kWindowClass.size(), kWindowClass.data());
  // ICCCM WM_HINTS: flags = InputHint, input = false.
  const std::array<uint32_t, 9> wmHints = {1, 0, 0, 0, 0, 0, 0, 0, 0};
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_HINTS,
                      XCB_ATOM_WM_HINTS, 32, wmHints.size(), wmHints.data());
}

}  // namespace

std::unique_ptr<X11OutlinePanel> X11OutlinePanel::open(const capture::Rect& panelFrame,
                                                       const char* displayName) {
  int screenNumber = 0;
  XcbConnection connection = capture::x11::openConnection(displayName, &screenNumber);
  xcb_connection_t* const c = connection.get();
  if (xcb_connection_has_error(c) != 0) return nullptr;
  const xcb_screen_t* screen = screenNumbered(xcb_get_setup(c), screenNumber);
  if (screen == nullptr || !canShapeInput(c)) return nullptr;

  const Geometry geometry = toGeometry(panelFrame);
  const uint32_t pixel = redPixel(c, *screen);
  const xcb_window_t window = xcb_generate_id(c);
  const std::array<uint32_t, 3> values = {pixel, pixel, 1};
  const xcb_void_cookie_t created = xcb_create_window_checked(
      c, XCB_COPY_FROM_PARENT, window, screen->root, geometry.x, geometry.y, geometry.width,
      geometry.height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
      XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values.data());
  if (takeError(c, created)) return nullptr;
  setHints(c, window);
  xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED, window,
                       0, 0, 0, nullptr);

  std::unique_ptr<X11OutlinePanel> panel(
      new X11OutlinePanel(std::move(connection), window, geometry));
  panel->applyBoundingShape();
  panel->send();
  return panel;
}

X11OutlinePanel::X11OutlinePanel(XcbConnection connection, xcb_window_t window, Geometry geometry)
    : connection_(std::move(connection)), window_(window), geometry_(geometry) {}

X11OutlinePanel::Geometry X11OutlinePanel::toGeometry(const capture::Rect& frame) {
  // Shape rectangles carry 16-bit signed coordinates, so sizes stay below 2^15 too.
  const auto coordinate = [](double value) {
    return static_cast<int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
  };
  const auto size = [](double value) {
    return static_cast<uint16_t>(std::clamp(std::lround(value), 1L, 32767L));
  };
  return {coordinate(frame.x), coordinate(frame.y), size(frame.width), size(frame.height)};
}

void X11OutlinePanel::setFrame(const capture::Rect& panelFrame) {
  if (closed_) return;
  const Geometry next = toGeometry(panelFrame);
  if (next == geometry_) return;
  const bool resized = next.width != geometry_.width || next.height != geometry_.height;
  geometry_ = next;
  const std::array<uint32_t, 4> values = {static_cast<uint32_t>(static_cast<int32_t>(next.x)),
                                          static_cast<uint32_t>(static_cast<int32_t>(next.y)),
                                          next.width, next.height};
  xcb_configure_window(connection_.get(), window_,
                       XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                           XCB_CONFIG_WINDOW_HEIGHT,
                       values.data());
  if (resized) applyBoundingShape();
  send();
}

void X11OutlinePanel::orderFrontRegardless() {
  if (closed_) return;
  if (!mapped_) {
    xcb_map_window(connection_.get(), window_);
    mapped_ = true;
  }
  // Other override-redirect windows may have been stacked over it since the last call.
  const uint32_t above = XCB_STACK_MODE_ABOVE;
  xcb_configure_window(connection_.get(), window_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
  send();
}

void X11OutlinePanel::close() {
  if (closed_) return;
  closed_ = true;
  if (mapped_) {
    xcb_unmap_window(connection_.get(), window_);
    mapped_ = false;
  }
  send();
}

void X11OutlinePanel::applyBoundingShape() {
  const std::vector<recording::PixelRect> band =
      recording::outlineBand(geometry_.width, geometry_.height);
  std::vector<xcb_rectangle_t> rectangles;
  rectangles.reserve(band.size());
  for (const recording::PixelRect& rect : band) {
    rectangles.push_back({static_cast<int16_t>(rect.x), static_cast<int16_t>(rect.y),
                          static_cast<uint16_t>(rect.width), static_cast<uint16_t>(rect.height)});
  }
  xcb_shape_rectangles(connection_.get(), XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING,
                       XCB_CLIP_ORDERING_YX_BANDED, window_, 0, 0, rectangles.size(),
                       rectangles.data());
}

// Flushes, then drops whatever has already arrived (errors of unchecked requests, mostly) so that
// nothing piles up on a connection that is never otherwise read.
void X11OutlinePanel::send() {
  xcb_flush(connection_.get());
  while (const XcbEvent event{xcb_poll_for_event(connection_.get())}) {
  }
}

recording::OutlinePanelFactory makeX11OutlinePanelFactory() {
  return [](const capture::Rect& panelFrame) -> std::unique_ptr<recording::OutlinePanel> {
    const auto open = [](const capture::Rect& frame) -> std::unique_ptr<recording::OutlinePanel> {
      if (std::unique_ptr<X11OutlinePanel> panel = X11OutlinePanel::open(frame)) return panel;
      return nullptr;
    };
    try {
      return std::make_unique<recording::ThreadedOutlinePanel>(panelFrame, open);
    } catch (const std::system_error&) {
      return std::make_unique<recording::InertOutlinePanel>();  // no thread for it
    }
  };
}

}  // namespace darvo::app
