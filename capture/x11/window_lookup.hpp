// What the capture needs to know about a window beyond its attributes: the top-level window that
// holds it, where the window lies in that ancestor's pixmap, which part of it is visible, and
// how a visual's pixels are stored.
#pragma once

#include <cstdint>
#include <optional>

#include <xcb/xcb.h>

#include "capture/x11/pixel_format.hpp"

namespace darvo::capture::x11 {

// How images of a drawable of `visual` and `depth` on the screen of `root` are stored. Nothing
// unless the visual is a true- or direct-colour one whose format can be read (isReadable): a
// colour-mapped visual (8-bit PseudoColor, say) has no channels to read.
std::optional<PixelFormat> findPixelFormat(const xcb_setup_t* setup, xcb_window_t root,
                                           xcb_visualid_t visual, uint8_t depth);

// The child of the root that contains `window` (the frame of a window manager, or the window
// itself); nothing when the window is gone.
std::optional<xcb_window_t> topLevelAncestor(xcb_connection_t* connection, xcb_window_t window);

// Where a window lies in the Composite pixmap of its top-level ancestor. The pixmap covers the
// ancestor with its border, so its size changes whenever the ancestor's outer size does.
struct AncestorLayout {
  int x = 0;  // the window's origin (inside its border) in the pixmap
  int y = 0;
  int width = 0;  // the window's size without its border
  int height = 0;
  int pixmapWidth = 0;
  int pixmapHeight = 0;
};

// Nothing when either window is gone.
std::optional<AncestorLayout> layoutInAncestor(xcb_connection_t* connection, xcb_window_t window,
                                               xcb_window_t ancestor);

// The visible part of a window, relative to its origin.
struct VisibleArea {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

// Toolkits drawing their own decorations surround the window with invisible shadow margins and
// announce them in _GTK_FRAME_EXTENTS (CARDINAL[4]: left, right, top, bottom). The whole window
// when the property (`extents`, read with a length of 4) is missing, malformed, or leaves less
// than 2x2 pixels.
VisibleArea visibleArea(int width, int height, const xcb_get_property_reply_t* extents);

}  // namespace darvo::capture::x11
