// The server's pixel formats turned into 32-bit pixels with 8-bit channels.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "capture/x11/pixel_format.hpp"

namespace darvo::testing {
namespace {

using capture::x11::PixelFormat;
using capture::x11::PixelNormaliser;

constexpr PixelFormat kRgb565{16, 32, false, 0xf800, 0x07e0, 0x001f};
constexpr PixelFormat kRgb101010{32, 32, false, 0x3ff00000, 0x000ffc00, 0x000003ff};

// Each pixel value as the server's bytes, in its byte order, `bits` bits a pixel.
std::vector<uint8_t> serverBytes(const std::vector<uint32_t>& pixels, int bits, bool msbFirst) {
  std::vector<uint8_t> bytes;
  for (const uint32_t pixel : pixels) {
    for (int i = 0; i < bits / 8; ++i) {
      const int byte = msbFirst ? bits / 8 - 1 - i : i;
      bytes.push_back(static_cast<uint8_t>(pixel >> (8 * byte)));
    }
  }
  return bytes;
}

std::vector<uint32_t> converted(const PixelFormat& format, const std::vector<uint32_t>& pixels) {
  const PixelNormaliser normaliser(format);
  EXPECT_TRUE(normaliser.convertsImages());
  const auto bytes = serverBytes(pixels, format.bitsPerPixel, format.mostSignificantByteFirst);
  std::vector<uint32_t> out(pixels.size());
  normaliser.convert(bytes.data(), bytes.size(), static_cast<int>(pixels.size()), 1, out.data());
  return out;
}

TEST(PixelFormatTest, NarrowChannelsRepeatTheirBitsAndWideOnesRound) {
  // 565: red 31 and 16, green 63 and 32, blue 1.
  EXPECT_EQ(converted(kRgb565, {0xf800, 0x8000, 0x07e0, 0x0400, 0x0001}),
            (std::vector<uint32_t>{0xff0000, 0x840000, 0x00ff00, 0x008200, 0x000008}));
  // 10 bits: 1023, 512, 2 and 3 (below and above half a step of 8 bits).
  EXPECT_EQ(converted(kRgb101010, {0x3ff00000, 0x00080000, 0x00000002, 0x00000003}),
            (std::vector<uint32_t>{0xff0000, 0x008000, 0x000000, 0x000001}));
  // The same 565 pixels from a server of the other byte order, and 24 bits a pixel.
  PixelFormat bigEndian = kRgb565;
  bigEndian.mostSignificantByteFirst = true;
  EXPECT_EQ(converted(bigEndian, {0xf800, 0x001f}), (std::vector<uint32_t>{0xff0000, 0x0000ff}));
  const PixelFormat packed{24, 32, false, 0xff0000, 0x00ff00, 0x0000ff};
  EXPECT_EQ(converted(packed, {0x123456, 0xabcdef}), (std::vector<uint32_t>{0x123456, 0xabcdef}));
  // A channel wider than the table: its top 16 bits decide.
  const PixelFormat wideRed{32, 32, false, 0xfffff000, 0x00000f00, 0x000000ff};
  EXPECT_EQ(converted(wideRed, {0xfffff000, 0x80000000}),
            (std::vector<uint32_t>{0xff0000, 0x800000}));
}

TEST(PixelFormatTest, RowsArePaddedAndByteChannelsAreUsedAsTheyAre) {
  // Rows of 3 pixels: padded to 32 bits, or to 64.
  EXPECT_EQ(rowBytes(kRgb565, 3), 8U);
  EXPECT_EQ(rowBytes(PixelFormat{24, 32, false, 0xff0000, 0xff00, 0xff}, 3), 12U);
  EXPECT_EQ(rowBytes(PixelFormat{8, 64, false, 0xe0, 0x1c, 0x03}, 3), 8U);
  const std::vector<uint32_t> rows = {0xf800, 0x0000, 0x001f, 0x07e0};  // two rows of one pixel
  const auto bytes = serverBytes(rows, 16, false);
  std::vector<uint32_t> out(2);
  PixelNormaliser(kRgb565).convert(bytes.data(), 4, 1, 2, out.data());
  EXPECT_EQ(out, (std::vector<uint32_t>{0xff0000, 0x0000ff}));

  const PixelNormaliser bgrx(PixelFormat{32, 32, false, 0xff0000, 0x00ff00, 0x0000ff});
  EXPECT_FALSE(bgrx.convertsImages());
  EXPECT_EQ(bgrx.masks().red, 0xff0000U);
  const PixelNormaliser swapped(PixelFormat{32, 32, true, 0xff0000, 0x00ff00, 0x0000ff});
  EXPECT_FALSE(swapped.convertsImages());
  EXPECT_EQ(swapped.masks().red, 0x0000ff00U) << "the server's bytes in our order";
  EXPECT_EQ(PixelNormaliser(kRgb101010).masks().red, 0xff0000U);
}

TEST(PixelFormatTest, OnlyFormatsWithChannelsToReadAreReadable) {
  EXPECT_TRUE(isReadable(kRgb565));
  EXPECT_TRUE(isReadable(kRgb101010));
  const auto with = [](PixelFormat format, auto change) {
    change(format);
    return isReadable(format);
  };
  EXPECT_FALSE(with(kRgb565, [](auto& f) { f.redMask = 0; })) << "colour-mapped";
  EXPECT_FALSE(with(kRgb565, [](auto& f) { f.redMask = 0xfc00; })) << "overlapping";
  EXPECT_FALSE(with(kRgb565, [](auto& f) { f.blueMask = 0x0015; })) << "with gaps";
  EXPECT_FALSE(with(kRgb565, [](auto& f) { f.redMask = 0x1f0000; })) << "beyond the pixel";
  EXPECT_FALSE(with(kRgb565, [](auto& f) { f.bitsPerPixel = 12; }));
  EXPECT_FALSE(with(kRgb565, [](auto& f) { f.scanlinePad = 4; }));
}

}  // namespace
}  // namespace darvo::testing
