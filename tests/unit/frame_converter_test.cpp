#include "capture/ffmpeg/frame_converter.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/ffmpeg/ffmpeg_handles.hpp"
#include "ffmpeg_test_support.hpp"

namespace darvo::capture::ffmpeg {
namespace {

using testing::SolidImage;

struct Yuv {
  int y;
  int u;
  int v;
};

Yuv yuvAt(const AVFrame& frame, int x, int y) {
  return {frame.data[0][y * frame.linesize[0] + x],
          frame.data[1][y / 2 * frame.linesize[1] + x / 2],
          frame.data[2][y / 2 * frame.linesize[2] + x / 2]};
}

void expectNear(const Yuv& actual, const Yuv& expected, const std::string& where) {
  EXPECT_NEAR(actual.y, expected.y, 2) << where;
  EXPECT_NEAR(actual.u, expected.u, 2) << where;
  EXPECT_NEAR(actual.v, expected.v, 2) << where;
}

// Limited-range BT.709 values of full-intensity colours.
constexpr Yuv kBlack{16, 128, 128};
constexpr Yuv kWhite{235, 128, 128};
constexpr Yuv kRed{63, 102, 240};
constexpr Yuv kGreen{173, 42, 26};
constexpr Yuv kBlue{32, 240, 118};

class FrameConverterTest : public ::testing::Test {
 protected:
  void SetUp() override { silenceLogging(); }

  FrameConverter converter_{64, 48};
  FramePtr frame_ = allocatePicture(64, 48);
};

TEST_F(FrameConverterTest, ConvertsSolidColoursToLimitedRangeBt709) {
  const std::array<std::pair<uint32_t, Yuv>, 5> cases = {{{0x000000, kBlack},
                                                          {0xffffff, kWhite},
                                                          {0xff0000, kRed},
                                                          {0x00ff00, kGreen},
                                                          {0x0000ff, kBlue}}};
  for (const auto& [pixel, expected] : cases) {
    const SolidImage image(64, 48, pixel);
    converter_.convert(image.view(), *frame_);
    for (const auto& [x, y] : {std::pair{0, 0}, {63, 47}, {32, 24}}) {
      expectNear(
          yuvAt(*frame_, x, y), expected,
          "pixel " + std::to_string(pixel) + " at " + std::to_string(x) + "," + std::to_string(y));
    }
  }
}

// Each layout puts red, green and blue at other bits; unused bits are set to prove they are
// ignored (the alpha of 32-bit windows).
TEST_F(FrameConverterTest, ReadsEveryChannelLayoutAndIgnoresOtherBits) {
  struct Layout {
    const char* name;
    uint32_t red;
    uint32_t green;
    uint32_t blue;
  };
  const Layout layouts[] = {
      {"BGRX", 0x00ff0000, 0x0000ff00, 0x000000ff},   {"RGBX", 0x000000ff, 0x0000ff00, 0x00ff0000},
      {"XRGB", 0x0000ff00, 0x00ff0000, 0xff000000},   {"XBGR", 0xff000000, 0x00ff0000, 0x0000ff00},
      {"30-bit", 0x3ff00000, 0x000ffc00, 0x000003ff}, {"565", 0x0000f800, 0x000007e0, 0x0000001f}};
  const std::pair<int, Yuv> colours[] = {{0, kRed}, {1, kGreen}, {2, kBlue}};
  for (const Layout& layout : layouts) {
    const uint32_t masks[3] = {layout.red, layout.green, layout.blue};
    const uint32_t unused = ~(layout.red | layout.green | layout.blue);
    for (const auto& [channel, expected] : colours) {
      SolidImage solid(64, 48, masks[channel] | unused);
      PixelImage image = solid.view();
      image.redMask = layout.red;
      image.greenMask = layout.green;
      image.blueMask = layout.blue;
      converter_.convert(image, *frame_);
      expectNear(yuvAt(*frame_, 10, 10), expected,
                 std::string(layout.name) + " channel " + std::to_string(channel));
    }
  }
}

TEST_F(FrameConverterTest, FitsImagesOfAnotherShapeBetweenBlackBars) {
  // The frame first holds a full picture, as a pooled frame would: bars must not keep it.
  converter_.convert(SolidImage(64, 48, 0x00ff00).view(), *frame_);

  converter_.convert(SolidImage(64, 16, 0xff0000).view(), *frame_);  // wide: bars above, below
  expectNear(yuvAt(*frame_, 32, 2), kBlack, "wide, top bar");
  expectNear(yuvAt(*frame_, 32, 14), kBlack, "wide, last bar row");
  expectNear(yuvAt(*frame_, 32, 24), kRed, "wide, centre");
  expectNear(yuvAt(*frame_, 0, 24), kRed, "wide, left edge");
  expectNear(yuvAt(*frame_, 32, 46), kBlack, "wide, bottom bar");

  converter_.convert(SolidImage(16, 48, 0x0000ff).view(), *frame_);  // tall: bars left, right
  expectNear(yuvAt(*frame_, 2, 24), kBlack, "tall, left bar");
  expectNear(yuvAt(*frame_, 32, 24), kBlue, "tall, centre");
  expectNear(yuvAt(*frame_, 32, 0), kBlue, "tall, top edge");
  expectNear(yuvAt(*frame_, 61, 24), kBlack, "tall, right bar");
}

TEST_F(FrameConverterTest, FollowsSourceSizeChangesBackAndForth) {
  const std::pair<SolidImage, Yuv> steps[] = {{SolidImage(64, 48, 0xff0000), kRed},
                                              {SolidImage(128, 96, 0x00ff00), kGreen},
                                              {SolidImage(30, 30, 0x0000ff), kBlue},
                                              {SolidImage(64, 48, 0xffffff), kWhite}};
  for (const auto& [image, expected] : steps) {
    converter_.convert(image.view(), *frame_);
    const std::string size = std::to_string(image.width) + "x" + std::to_string(image.height);
    expectNear(yuvAt(*frame_, 32, 24), expected, size + " centre");
    // Only the square image leaves bars; the others cover the whole picture.
    expectNear(yuvAt(*frame_, 0, 24), image.width == 30 ? kBlack : expected, size + " left edge");
  }
}

// An image of the picture's size takes the direct conversion: every luma sample, and every chroma
// sample as the average of its 2x2 block, from pixels that all differ, with rows longer than a
// step of the conversion and not a multiple of it, at an unaligned address.
TEST(FrameConverterDirectTest, ConvertsEveryPixelOfAnImageOfThePictureSize) {
  constexpr int kWidth = 134;
  constexpr int kHeight = 6;
  constexpr int kStride = kWidth * 4 + 12;
  struct Layout {
    const char* name;
    int redShift;
    int greenShift;
    int blueShift;
  };
  const Layout layouts[] = {{"BGRX", 16, 8, 0}, {"RGBX", 0, 8, 16}, {"XBGR", 24, 16, 8}};
  for (const Layout& layout : layouts) {
    std::vector<uint8_t> bytes(1 + static_cast<size_t>(kStride) * kHeight);
    uint32_t seed = 12345;
    const auto rgbAt = [&](int x, int y) {
      uint32_t pixel = 0;
      std::memcpy(&pixel, bytes.data() + 1 + y * kStride + x * 4, sizeof pixel);
      return std::array<double, 3>{static_cast<double>((pixel >> layout.redShift) & 0xff),
                                   static_cast<double>((pixel >> layout.greenShift) & 0xff),
                                   static_cast<double>((pixel >> layout.blueShift) & 0xff)};
    };
    for (uint8_t& byte : bytes) {
      seed = seed * 1103515245U + 12345U;
      byte = static_cast<uint8_t>(seed >> 16);
    }
    PixelImage image;
    image.data = bytes.data() + 1;
    image.width = kWidth;
    image.height = kHeight;
    image.stride = kStride;
    image.redMask = 0xffU << layout.redShift;
    image.greenMask = 0xffU << layout.greenShift;
    image.blueMask = 0xffU << layout.blueShift;
    FrameConverter converter(kWidth, kHeight);
    const FramePtr frame = allocatePicture(kWidth, kHeight);
    converter.convert(image, *frame);

    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        const auto [r, g, b] = rgbAt(x, y);
        const double expected = 16 + 219 * (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255;
        ASSERT_NEAR(frame->data[0][y * frame->linesize[0] + x], expected, 0.51)
            << layout.name << " Y at " << x << "," << y;
      }
    }
    for (int y = 0; y < kHeight; y += 2) {
      for (int x = 0; x < kWidth; x += 2) {
        double u = 128;
        double v = 128;
        for (const auto& [dx, dy] : {std::pair{0, 0}, {1, 0}, {0, 1}, {1, 1}}) {
          const auto [r, g, b] = rgbAt(x + dx, y + dy);
          u += 224 * (-0.2126 / 1.8556 * r - 0.7152 / 1.8556 * g + 0.5 * b) / 255 / 4;
          v += 224 * (0.5 * r - 0.7152 / 1.5748 * g - 0.0722 / 1.5748 * b) / 255 / 4;
        }
        ASSERT_NEAR(frame->data[1][y / 2 * frame->linesize[1] + x / 2], u, 0.51)
            << layout.name << " U at " << x << "," << y;
        ASSERT_NEAR(frame->data[2][y / 2 * frame->linesize[2] + x / 2], v, 0.51)
            << layout.name << " V at " << x << "," << y;
      }
    }
  }
}

TEST_F(FrameConverterTest, RejectsWhatItCannotRead) {
  const SolidImage solid(64, 48, 0xff0000);
  std::vector<std::pair<std::string, PixelImage>> bad;
  const auto variant = [&](const std::string& name, auto change) {
    PixelImage image = solid.view();
    change(image);
    bad.emplace_back(name, image);
  };
  variant("no pixels", [](PixelImage& i) { i.data = nullptr; });
  variant("zero width", [](PixelImage& i) { i.width = 0; });
  variant("negative height", [](PixelImage& i) { i.height = -4; });
  variant("huge width", [](PixelImage& i) { i.width = kMaxPictureSide + 1; });
  variant("short stride", [](PixelImage& i) { i.stride = i.width * 4 - 1; });
  variant("empty mask", [](PixelImage& i) { i.greenMask = 0; });
  variant("overlapping masks", [](PixelImage& i) { i.greenMask = 0x00ffff00; });
  variant("mask with a gap", [](PixelImage& i) { i.blueMask = 0x000000f3; });
  for (const auto& [name, image] : bad) {
    EXPECT_THROW(converter_.convert(image, *frame_), std::invalid_argument) << name;
  }

  const FramePtr wrongSize = allocatePicture(32, 48);
  EXPECT_THROW(converter_.convert(solid.view(), *wrongSize), std::invalid_argument);

  for (const auto& [width, height] :
       {std::pair{0, 48}, {63, 48}, {64, -2}, {kMaxPictureSide + 2, 48}}) {
    EXPECT_THROW(FrameConverter(width, height), std::invalid_argument) << width << "x" << height;
  }
}

}  // namespace
}  // namespace darvo::capture::ffmpeg
