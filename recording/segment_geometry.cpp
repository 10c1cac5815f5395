#include "recording/segment_geometry.hpp"

#include <algorithm>
#include <cmath>

namespace darvo::recording {
namespace {

constexpr double kLongestSide = 4096.0;

int evenSide(double scaledLength) {
  const double truncated = std::trunc(scaledLength);
  if (!(truncated >= 2.0)) return 2;
  const auto pixels = static_cast<int64_t>(truncated);
  return static_cast<int>(pixels / 2 * 2);
}

}  // namespace

std::optional<PixelSize> segmentPixelSize(const capture::Rect& contentRect, float pointPixelScale) {
  const double width = contentRect.width;
  const double height = contentRect.height;
  if (!(pointPixelScale > 0.0F) || !(width > 1.0) || !(height > 1.0)) return std::nullopt;
  const double scale =
      std::min(static_cast<double>(pointPixelScale), kLongestSide / std::max(width, height));
  return PixelSize{evenSide(width * scale), evenSide(height * scale)};
}

std::string segmentFilePath(const std::string& basePath, int64_t segment) {
  if (segment == 0) return basePath;
  return basePath + "." + std::to_string(segment) + ".mp4";
}

}  // namespace darvo::recording
