// Drawing the pointer's image into a captured window image.
#pragma once

#include <cstdint>

namespace darvo::capture::x11 {

// A writable 32-bit image whose 8-bit channels sit where the visual's masks say; other bits (the
// alpha of 32-bit windows) are left alone.
struct MutableImage {
  uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
  uint32_t redMask = 0x00ff0000;
  uint32_t greenMask = 0x0000ff00;
  uint32_t blueMask = 0x000000ff;
};

// The cursor as XFixes gives it: premultiplied ARGB, one uint32 a pixel, row after row. `left`
// and `top` place its top-left corner in image coordinates (the hot spot already subtracted).
struct CursorPicture {
  const uint32_t* argb = nullptr;
  int width = 0;
  int height = 0;
  int left = 0;
  int top = 0;
};

// Blends `cursor` over `image` ("over" with premultiplied alpha), clipped to the image; only
// images whose channels are whole bytes (hasByteChannels).
void drawCursor(const MutableImage& image, const CursorPicture& cursor);

}  // namespace darvo::capture::x11
