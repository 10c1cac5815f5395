// What the capture needs to know about a window beyond its attributes: the top-level window that
// holds it, and where its visual keeps the colour channels.
#pragma once

#include <cstdint>
#include <optional>

#include <xcb/xcb.h>

namespace darvo::capture::x11 {

// The channel masks of a 32-bit-per-pixel image read from a window, as a uint32 read on this
// machine sees them (already swapped when the server's byte order differs).
struct PixelLayout {
  uint32_t redMask = 0;
  uint32_t greenMask = 0;
  uint32_t blueMask = 0;
};

// Nothing unless the visual is a true- or direct-colour visual of depth 24 or 32 on the screen
// of `root`, stored at 32 bits per pixel.
std::optional<PixelLayout> findPixelLayout(const xcb_setup_t* setup, xcb_window_t root,
                                           xcb_visualid_t visual, uint8_t depth);

// The child of the root that contains `window` (the frame of a window manager, or the window
// itself); nothing when the window is gone.
std::optional<xcb_window_t> topLevelAncestor(xcb_connection_t* connection, xcb_window_t window);

}  // namespace darvo::capture::x11
