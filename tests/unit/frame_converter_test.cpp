#include "recording/output/frame_converter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace darvo::recording::output {
namespace {

using Masks = std::array<uint32_t, 3>;  // red, green, blue

// 80 columns: the direct conversion's steps of 64 pixels and a rest.
constexpr int kWidth = 80, kHeight = 48;

// An image whose pixel at x, y is pixel(x, y), its rows padded with other values.
struct Image {
  Image(int width, int height, const std::function<uint32_t(int, int)>& pixel,
        Masks masks = {0xff0000, 0xff00, 0xff})
      : pixels(static_cast<size_t>(width + 3) * height, 0x5a5a5a5a) {
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) pixels[y * (width + 3) + x] = pixel(x, y);
    }
    const auto* data = reinterpret_cast<const uint8_t*>(pixels.data());
    view = {data, width, height, (width + 3) * 4, masks[0], masks[1], masks[2]};
  }

  std::vector<uint32_t> pixels;
  capture::PixelImage view;
};

std::function<uint32_t(int, int)> solid(uint32_t pixel) {
  return [=](int, int) { return pixel; };
}

// Limited-range BT.709 Y, U and V of a full-range 0xRRGGBB.
std::array<double, 3> bt709(uint32_t rgb) {
  const double r = rgb >> 16 & 0xff, g = rgb >> 8 & 0xff, b = rgb & 0xff;
  const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  return {16 + 219 * luma / 255, 128 + 224 * (b - luma) / 1.8556 / 255,
          128 + 224 * (r - luma) / 1.5748 / 255};
}

// Whether each sample is within `tolerance` of the BT.709 of rgb(x, y), 0xRRGGBB: luma of its
// pixel, chroma of the average of its 2x2 block.
::testing::AssertionResult samplesMatch(const AVFrame& frame, double tolerance,
                                        const std::function<uint32_t(int, int)>& rgb) {
  for (int y = 0; y < frame.height; ++y) {
    for (int x = 0; x < frame.width; ++x) {
      for (int plane = 0; plane < 3; ++plane) {
        double wanted = 0;
        for (int corner = 0; corner < 4; ++corner) {
          const uint32_t pixel =
              plane == 0 ? rgb(x, y) : rgb((x & ~1) + corner % 2, (y & ~1) + corner / 2);
          wanted += bt709(pixel)[plane] / 4;
        }
        const int shift = plane == 0 ? 0 : 1;
        const int got = frame.data[plane][(y >> shift) * frame.linesize[plane] + (x >> shift)];
        if (std::abs(got - wanted) > tolerance) {
          return ::testing::AssertionFailure() << "plane " << plane << " at " << x << "," << y
                                               << ": " << got << ", not " << wanted;
        }
      }
    }
  }
  return ::testing::AssertionSuccess();
}

class FrameConverterTest : public ::testing::Test {
 protected:
  FrameConverter converter_{kWidth, kHeight};
  FramePtr frame_ = allocatePicture(kWidth, kHeight);
};

// Pixels that all differ; each luma sample exact, each chroma sample its block's average. An odd
// side one longer than the picture's is cut, not scaled.
TEST_F(FrameConverterTest, ConvertsEachPixelToLimitedRangeBt709) {
  const auto pixel = [](int x, int y) { return (x * 0x9e3779b1U ^ y * 0x85ebca6bU) >> 8; };
  for (const auto& [width, height] : {std::pair{kWidth, kHeight}, {kWidth + 1, kHeight + 1}}) {
    converter_.convert(Image(width, height, pixel).view, *frame_);
    EXPECT_TRUE(samplesMatch(*frame_, 0.51, pixel)) << width << "x" << height;
  }
}

// Only the changed areas, grown to whole 2x2 blocks and clipped; none when the image is scaled.
TEST_F(FrameConverterTest, ConvertsOnlyChangedAreasInWholeBlocks) {
  const auto pixel = [](int x, int y) { return (x * 0x9e3779b1U ^ y * 0x85ebca6bU) >> 8; };
  const Image changed(kWidth + 1, kHeight, pixel);
  converter_.convert(Image(kWidth, kHeight, solid(0)).view, *frame_);
  const capture::ImageArea areas[] = {{-3, 5, 10, 7}, {75, 41, 20, 20}, {30, 30, 0, 5}};
  ASSERT_TRUE(converter_.convertAreas(changed.view, *frame_, areas));
  EXPECT_TRUE(samplesMatch(*frame_, 0.51, [&](int x, int y) {
    const bool inside = (x < 8 && y >= 4 && y < 12) || (x >= 74 && y >= 40);
    return inside ? pixel(x, y) : 0;
  }));
  EXPECT_FALSE(converter_.convertAreas(Image(kWidth * 2, kHeight, pixel).view, *frame_, areas));
}

// Solid colours in each layout (0x80: the channel's top bit alone), every other bit set (the alpha
// of 32-bit windows), at the picture's size and scaled.
TEST_F(FrameConverterTest, ReadsEveryChannelLayoutAndIgnoresOtherBits) {
  const Masks layouts[] = {{0xff0000, 0xff00, 0xff},       {0xff, 0xff00, 0xff0000},
                           {0xff00, 0xff0000, 0xff000000}, {0xff000000, 0xff0000, 0xff00},
                           {0x3ff00000, 0xffc00, 0x3ff},   {0xf800, 0x7e0, 0x1f}};
  for (const Masks& masks : layouts) {
    for (const uint32_t colour : {0x0U, 0xffffffU, 0xff0000U, 0xff00U, 0xffU, 0x808080U}) {
      uint32_t pixel = ~(masks[0] | masks[1] | masks[2]), expected = 0;
      for (int shift = 16, channel = 0; channel < 3; shift -= 8, ++channel) {
        const uint32_t value = colour >> shift & 0xff, mask = masks[channel];
        const uint32_t maximum = mask >> std::countr_zero(mask), half = (maximum + 1) / 2;
        pixel |= value == 0xff ? mask : value == 0x80 ? half << std::countr_zero(mask) : 0;
        expected |= (value == 0x80 ? (half * 255 + maximum / 2) / maximum : value) << shift;
      }
      for (const int scale : {1, 2}) {
        converter_.convert(Image(kWidth * scale, kHeight * scale, solid(pixel), masks).view,
                           *frame_);
        EXPECT_TRUE(samplesMatch(*frame_, 2, solid(expected)))
            << std::hex << masks[0] << " " << colour << " scaled " << scale;
      }
    }
  }
}

// Images of another shape fit centred between black bars, as the source size goes back and forth;
// bars never keep the picture before.
TEST_F(FrameConverterTest, FitsEachSourceSizeBetweenBlackBars) {
  // Source width and height, the bars' width and height on each side, the colour.
  const int steps[][5] = {{80, 48, 0, 0, 0x00ff00},  {80, 16, 0, 16, 0xff0000},
                          {16, 48, 32, 0, 0x0000ff}, {160, 96, 0, 0, 0xffffff},
                          {30, 30, 16, 0, 0xff0000}, {80, 16, 0, 16, 0x00ff00}};
  for (const auto& [width, height, barWidth, barHeight, colour] : steps) {
    converter_.convert(Image(width, height, solid(colour)).view, *frame_);
    const auto expected = [&](int x, int y) {
      const bool inBar =
          std::min(x, kWidth - 1 - x) < barWidth || std::min(y, kHeight - 1 - y) < barHeight;
      return inBar ? 0 : colour;
    };
    EXPECT_TRUE(samplesMatch(*frame_, 2, expected)) << width << "x" << height;
  }
}

TEST_F(FrameConverterTest, RejectsWhatItCannotReadAndTakesTheLargestSize) {
  const Image good(kWidth, kHeight, solid(0xff0000));
  const uint8_t* data = good.view.data;
  const int stride = good.view.stride;
  // No pixels, sizes out of range, a short stride, masks empty, overlapping or with a gap.
  const capture::PixelImage bad[] = {{nullptr, 80, 48, stride},
                                     {data, 0, 48, stride},
                                     {data, 80, -4, stride},
                                     {data, kMaxPictureSide + 1, 48, stride},
                                     {data, 80, 48, 80 * 4 - 1},
                                     {data, 80, 48, stride, 0xff0000, 0},
                                     {data, 80, 48, stride, 0xff0000, 0xffff00},
                                     {data, 80, 48, stride, 0xff0000, 0xff00, 0xf3}};
  for (const capture::PixelImage& image : bad) {
    EXPECT_THROW(converter_.convert(image, *frame_), std::invalid_argument) << &image - bad;
  }
  EXPECT_THROW(converter_.convert(good.view, *allocatePicture(32, 48)), std::invalid_argument);
  EXPECT_THROW(converter_.convertAreas(good.view, *allocatePicture(32, 48), {}),
               std::invalid_argument);
  EXPECT_NO_THROW(
      FrameConverter(2, kMaxPictureSide)
          .convert(Image(2, kMaxPictureSide, solid(0)).view, *allocatePicture(2, kMaxPictureSide)));
}

}  // namespace
}  // namespace darvo::recording::output
