// The pixel size and file name of a segment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "capture/capture.hpp"

namespace darvo::recording {

struct PixelSize {
  int width = 0;
  int height = 0;
};

// The capture size for a window's content rectangle: native density unless the longer side would
// pass 4096 pixels, each side even and at least 2. Nothing when the geometry is unusable (scale
// not above 0, a side not above 1 point, NaN included).
std::optional<PixelSize> segmentPixelSize(const capture::Rect& contentRect, float pointPixelScale);

// Segment 0 writes the base path itself; segment n writes "<base>.<n>.mp4".
std::string segmentFilePath(const std::string& basePath, int64_t segment);

}  // namespace darvo::recording
