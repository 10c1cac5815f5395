// Where the outline panel sits around a window and which of its pixels the red band covers.
#pragma once

#include <vector>

#include "capture/capture.hpp"

namespace darvo::recording {

// The panel lies this far outside every edge of the window.
inline constexpr double kOutlineOutset = 3;
// The stroked rounded rectangle sits this far inside the panel's edges.
inline constexpr double kOutlineInset = 1;
inline constexpr double kOutlineCornerRadius = 5;
inline constexpr double kOutlineLineWidth = 2;

// A rectangle of whole pixels in the panel's own coordinates (origin top left).
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const PixelRect&) const = default;
};

// The panel's frame for a window's frame, both in root coordinates. X's origin is already top
// left, so the frame is only outset, never flipped.
capture::Rect outlinePanelFrame(const capture::Rect& windowFrame);

// The pixels of a `width` × `height` panel that the band covers: the stroke of the rounded
// rectangle, without antialiasing (a pixel belongs to the band when its centre does). Sorted by
// row, then by column; consecutive rows with the same spans are merged into one rectangle, and
// the rectangles of one row band share their y and height (X's YXBanded order). Empty for an
// empty panel.
std::vector<PixelRect> outlineBand(int width, int height);

}  // namespace darvo::recording
