// A direct conversion of 32-bit RGB pixels to limited-range BT.709 YUV420P of the same size.
//
// libswscale's general path filters every line even when nothing is scaled; this one reads each
// pixel once and is about five times faster (1080p: 1.0 ms against 5.6 ms, 4096x2304: 5.2 ms
// against 26 ms on the bench machine), which is most of the capture thread's work per frame.
// Each chroma sample is the exact average of its 2x2 block.
#pragma once

#include <cstdint>

namespace darvo::recording::output {

// Where each channel's 8 bits start in a native 32-bit pixel value (0, 8, 16 or 24).
struct ByteChannels {
  int redShift;
  int greenShift;
  int blueShift;
};

struct Yuv420Target {
  uint8_t* planes[3];
  int strides[3];
};

// `width` and `height` are even; rows of `pixels` are `stride` bytes apart, with no alignment
// required.
void convertToYuv420Bt709(const uint8_t* pixels, int stride, int width, int height,
                          ByteChannels channels, const Yuv420Target& target);

}  // namespace darvo::recording::output
