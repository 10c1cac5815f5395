#include "recording/outline_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

namespace darvo::recording {
namespace {

struct RoundedRect {
  double left = 0;
  double top = 0;
  double right = 0;
  double bottom = 0;
  double radius = 0;
};

// Columns [first, last) of one pixel row.
struct Span {
  int first = 0;
  int last = 0;
  bool operator==(const Span&) const = default;
};

// The pixels of row `row` whose centres lie inside `shape`, clipped to [0, width).
std::optional<Span> rowSpan(const RoundedRect& shape, int row, int width) {
  const double centreY = row + 0.5;
  if (shape.left >= shape.right || centreY < shape.top || centreY > shape.bottom) {
    return std::nullopt;
  }
  // Vertical distance from the centre of the nearer corner arc; 0 along the straight sides.
  double dy = 0;
  if (centreY < shape.top + shape.radius) {
    dy = shape.top + shape.radius - centreY;
  } else if (centreY > shape.bottom - shape.radius) {
    dy = centreY - (shape.bottom - shape.radius);
  }
  if (dy > shape.radius) return std::nullopt;
  const double dx = std::sqrt(shape.radius * shape.radius - dy * dy);
  const double low = shape.left + shape.radius - dx;
  const double high = shape.right - shape.radius + dx;
  // Pixel x is inside when low <= x + 0.5 <= high.
  const int first = std::max(0, static_cast<int>(std::ceil(low - 0.5)));
  const int last = std::min(width, static_cast<int>(std::floor(high - 0.5)) + 1);
  if (first >= last) return std::nullopt;
  return Span{first, last};
}

std::vector<Span> bandRow(const RoundedRect& outer, const RoundedRect& inner, int row, int width) {
  const std::optional<Span> outside = rowSpan(outer, row, width);
  if (!outside) return {};
  const std::optional<Span> hole = rowSpan(inner, row, width);
  if (!hole) return {*outside};
  std::vector<Span> spans;
  if (outside->first < hole->first) spans.push_back({outside->first, hole->first});
  if (hole->last < outside->last) spans.push_back({hole->last, outside->last});
  return spans;
}

}  // namespace

capture::Rect outlinePanelFrame(const capture::Rect& windowFrame) {
  return {windowFrame.x - kOutlineOutset, windowFrame.y - kOutlineOutset,
          windowFrame.width + 2 * kOutlineOutset, windowFrame.height + 2 * kOutlineOutset};
}

std::vector<PixelRect> outlineBand(int width, int height) {
  if (width <= 0 || height <= 0) return {};
  // A rounded rectangle's radius never exceeds half its sides, as in the usual path builders.
  const double pathWidth = width - 2 * kOutlineInset;
  const double pathHeight = height - 2 * kOutlineInset;
  const double radius =
      std::max(0.0, std::min({kOutlineCornerRadius, pathWidth / 2, pathHeight / 2}));
  const double halfLine = kOutlineLineWidth / 2;
  const double outerInset = kOutlineInset - halfLine;
  const double innerInset = kOutlineInset + halfLine;
  const RoundedRect outer{outerInset, outerInset, width - outerInset, height - outerInset,
                          radius + halfLine};
  const RoundedRect inner{innerInset, innerInset, width - innerInset, height - innerInset,
                          std::max(0.0, radius - halfLine)};

  std::vector<PixelRect> rects;
  int runStart = 0;
  std::vector<Span> runSpans = bandRow(outer, inner, 0, width);
  for (int row = 1; row <= height; ++row) {
    std::vector<Span> spans;
    if (row < height) {
      spans = bandRow(outer, inner, row, width);
      if (spans == runSpans) continue;
    }
    for (const Span& span : runSpans) {
      rects.push_back({span.first, runStart, span.last - span.first, row - runStart});
    }
    runStart = row;
    runSpans = std::move(spans);
  }
  return rects;
}

}  // namespace darvo::recording
