#include "capture/x11/cursor_overlay.hpp"

#include "capture/x11/pixel_format.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace darvo::capture::x11 {

namespace {

// dst = src + dst * (255 - alpha) / 255, rounded.
uint32_t blendChannel(uint32_t source, uint32_t destination, uint32_t inverseAlpha) {
  return std::min<uint32_t>(255, source + (destination * inverseAlpha + 127) / 255);
}

}  // namespace

void drawCursor(const MutableImage& image, const CursorPicture& cursor) {
  if (image.data == nullptr || cursor.argb == nullptr ||
      !hasByteChannels(image.redMask, image.greenMask, image.blueMask)) {
    return;
  }
  const int shifts[3] = {std::countr_zero(image.redMask), std::countr_zero(image.greenMask),
                         std::countr_zero(image.blueMask)};
  const uint32_t keptBits = ~(image.redMask | image.greenMask | image.blueMask);
  const int firstColumn = std::max(0, -cursor.left);
  const int endColumn = std::min(cursor.width, image.width - cursor.left);
  const int firstRow = std::max(0, -cursor.top);
  const int endRow = std::min(cursor.height, image.height - cursor.top);
  for (int row = firstRow; row < endRow; ++row) {
    uint8_t* line = image.data + static_cast<std::ptrdiff_t>(cursor.top + row) * image.stride;
    const uint32_t* source = cursor.argb + static_cast<std::ptrdiff_t>(row) * cursor.width;
    for (int column = firstColumn; column < endColumn; ++column) {
      const uint32_t argb = source[column];
      const uint32_t alpha = argb >> 24;
      if (alpha == 0 && (argb & 0xffffff) == 0) {
        continue;
      }
      uint8_t* pixelBytes = line + static_cast<std::ptrdiff_t>(cursor.left + column) * 4;
      uint32_t pixel = 0;
      std::memcpy(&pixel, pixelBytes, sizeof pixel);  // rows need not be 4-byte aligned
      const uint32_t sourceChannels[3] = {(argb >> 16) & 0xff, (argb >> 8) & 0xff, argb & 0xff};
      uint32_t blended = pixel & keptBits;
      for (int channel = 0; channel < 3; ++channel) {
        const uint32_t destination = (pixel >> shifts[channel]) & 0xff;
        blended |= blendChannel(sourceChannels[channel], destination, 255 - alpha)
                   << shifts[channel];
      }
      std::memcpy(pixelBytes, &blended, sizeof blended);
    }
  }
}

}  // namespace darvo::capture::x11
