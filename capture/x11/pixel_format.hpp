// How an X server stores a drawable's pixels in images, and their conversion into the 32-bit
// pixels with 8-bit channels that the rest of the capture works with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace darvo::capture::x11 {

struct PixelFormat {
  int bitsPerPixel = 32;                  // 8, 16, 24 or 32
  int scanlinePad = 32;                   // each row is padded to a multiple of this many bits
  bool mostSignificantByteFirst = false;  // the server's image byte order
  // Where the visual keeps each channel in a pixel's value; contiguous, apart, within the pixel.
  uint32_t redMask = 0x00ff0000;
  uint32_t greenMask = 0x0000ff00;
  uint32_t blueMask = 0x000000ff;
};

// Whether every mask is one run of exactly 8 bits on a byte's boundary.
bool hasByteChannels(uint32_t redMask, uint32_t greenMask, uint32_t blueMask);

// Whether images of `format` can be read at all: a size above, and masks as described.
bool isReadable(const PixelFormat& format);

// Bytes in one row of `width` pixels, padding included.
std::size_t rowBytes(const PixelFormat& format, int width);

// The channel masks of 32-bit pixels as a uint32 read on this machine sees them.
struct ChannelMasks {
  uint32_t red = 0x00ff0000;
  uint32_t green = 0x0000ff00;
  uint32_t blue = 0x000000ff;
};

// Images of 32 bits a pixel whose channels are whole bytes are used as they are, with their masks
// swapped when the server's byte order is not this machine's. Every other readable format (16-bit
// 565, 30-bit 2-10-10-10, 24 bits a pixel...) is converted into native 0x00RRGGBB pixels: wider
// channels rounded to 8 bits, narrower ones widened by repeating their bits (so 5-bit 31 is 255
// and 16 is 132, as displays show them).
class PixelNormaliser {
 public:
  // `format` must be readable.
  explicit PixelNormaliser(const PixelFormat& format);

  [[nodiscard]] const PixelFormat& format() const { return format_; }
  [[nodiscard]] bool convertsImages() const { return converts_; }
  // The masks of the pixels handed on: the server's own, or 0x00RRGGBB's.
  [[nodiscard]] ChannelMasks masks() const { return masks_; }
  // Converts `height` rows of `width` pixels, `sourceStride` bytes apart, into `target`, `width`
  // pixels a row. Only when convertsImages().
  void convert(const uint8_t* source, std::size_t sourceStride, int width, int height,
               uint32_t* target) const;

 private:
  // One channel: where it sits in a pixel value, and its 8-bit value for each of its values.
  struct Channel {
    uint32_t mask = 0;
    int shift = 0;  // down to the channel's lowest bit, plus what is cut to keep the table small
    std::vector<uint8_t> eightBits;
  };
  static Channel channelOf(uint32_t mask);
  // convert() for pixels of `Bytes` bytes, stored in this machine's byte order or not.
  template <int Bytes, bool NativeOrder>
  void convertRows(const uint8_t* source, std::size_t sourceStride, int width, int height,
                   uint32_t* target) const;

  PixelFormat format_;
  bool converts_ = false;
  ChannelMasks masks_;
  std::array<Channel, 3> channels_;
};

}  // namespace darvo::capture::x11
