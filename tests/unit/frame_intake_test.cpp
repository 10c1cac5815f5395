// The screen-cast stream's frame intake with synthetic buffers: crop regions, damage, strides,
// formats, empty buffers, and the pace of hand-overs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "capture/portal/frame_intake.hpp"

namespace darvo::capture::portal {
namespace {

using namespace std::chrono_literals;

constexpr auto kInterval = 66ms;

// A monitor-sized buffer of 16x8 pixels, 72 bytes a row (8 of padding), filled with `fill`.
struct Monitor {
  static constexpr int kWidth = 16;
  static constexpr int kHeight = 8;
  static constexpr int kStride = kWidth * 4 + 8;
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kStride * kHeight, 0);

  explicit Monitor(uint32_t fill = 0) { paint({0, 0, kWidth, kHeight}, fill); }
  void paint(ImageArea area, uint32_t value) {
    for (int y = area.y; y < area.y + area.height; ++y) {
      for (int x = area.x; x < area.x + area.width; ++x) {
        std::memcpy(bytes.data() + y * kStride + x * 4, &value, 4);
      }
    }
  }
  [[nodiscard]] StreamBuffer buffer(std::optional<ImageArea> crop = std::nullopt) const {
    return {bytes.data(), bytes.size(),           kWidth, kHeight,     kStride,
            false,        StreamPixelOrder::bgrx, crop,   std::nullopt};
  }
};

struct Handed {
  std::vector<uint32_t> pixels;
  int width = 0;
  int height = 0;
  uint32_t redMask = 0;
  std::optional<std::vector<ImageArea>> changed;
};

class FrameIntakeTest : public ::testing::Test {
 protected:
  // What handOn gave at `at` (nothing if it gave nothing).
  std::optional<Handed> handOnAt(CaptureClock::duration at, bool room = true) {
    std::optional<Handed> handed;
    intake.handOn(
        start + at, [&] { return room; },
        [&](const PixelImage& image, CaptureClock::time_point arrivedAt) {
          EXPECT_LE(arrivedAt, start + at);
          Handed got{{}, image.width, image.height, image.redMask, std::nullopt};
          for (int y = 0; y < image.height; ++y) {
            for (int x = 0; x < image.width; ++x) {
              uint32_t pixel = 0;
              std::memcpy(&pixel, image.data + y * image.stride + x * 4, 4);
              got.pixels.push_back(pixel);
            }
          }
          if (image.changedAreas)
            got.changed.emplace(image.changedAreas->begin(), image.changedAreas->end());
          handed = got;
        });
    return handed;
  }

  FrameIntake intake{kInterval};
  CaptureClock::time_point start{1000s};
};

TEST_F(FrameIntakeTest, TheWindowIsCutOutOfTheCropRegionAndBadBuffersAreSkipped) {
  Monitor monitor(0x11111111);
  monitor.paint({2, 1, 3, 2}, 0x00aabbcc);  // the window, 3x2 at (2, 1)
  ASSERT_TRUE(intake.accept(monitor.buffer(ImageArea{2, 1, 3, 2}), start));
  EXPECT_EQ(std::pair(intake.width(), intake.height()), std::pair(3, 2));
  const auto handed = handOnAt(0s);
  ASSERT_TRUE(handed);
  EXPECT_EQ(handed->pixels, std::vector<uint32_t>(6, 0x00aabbcc)) << "rows apart by the stride";
  EXPECT_EQ(handed->redMask, 0x00ff0000U);
  EXPECT_FALSE(handed->changed) << "a first picture may differ anywhere";

  // Nothing usable: empty, corrupted, unmapped, a crop outside the picture, too short.
  auto empty = monitor.buffer();
  empty.size = 0;
  auto corrupted = monitor.buffer();
  corrupted.corrupted = true;
  auto unmapped = monitor.buffer();
  unmapped.data = nullptr;
  auto shortRows = monitor.buffer();
  shortRows.stride = Monitor::kWidth * 4 - 4;
  for (const auto& bad :
       {empty, corrupted, unmapped, shortRows, monitor.buffer(ImageArea{Monitor::kWidth, 0, 4, 4}),
        monitor.buffer(ImageArea{0, 0, 0, 0})}) {
    EXPECT_FALSE(intake.accept(bad, start));
  }
  EXPECT_FALSE(handOnAt(1s)) << "nothing kept";

  // A crop reaching past the picture is cut to it; RGBx has its red in the low byte.
  auto rgbx = monitor.buffer(ImageArea{14, 6, 8, 8});
  rgbx.order = StreamPixelOrder::rgbx;
  ASSERT_TRUE(intake.accept(rgbx, start));
  const auto corner = handOnAt(2s);
  ASSERT_TRUE(corner);
  EXPECT_EQ(std::pair(corner->width, corner->height), std::pair(2, 2));
  EXPECT_EQ(corner->redMask, 0x000000ffU);
}

TEST_F(FrameIntakeTest, AtMostOnePictureAnIntervalTheNewestAndOnlyWhereItChanged) {
  Monitor monitor;
  ASSERT_TRUE(intake.accept(monitor.buffer(), start));
  ASSERT_TRUE(handOnAt(0s));
  // Two buffers within the interval: the second is handed on once the interval is over.
  monitor.paint({0, 0, 1, 1}, 1);
  ASSERT_TRUE(intake.accept(monitor.buffer(), start));
  monitor.paint({15, 7, 1, 1}, 2);
  ASSERT_TRUE(intake.accept(monitor.buffer(), start));
  EXPECT_EQ(intake.dueAt(), start + kInterval);
  EXPECT_FALSE(handOnAt(kInterval - 1ms));
  const auto handed = handOnAt(kInterval);
  ASSERT_TRUE(handed);
  EXPECT_EQ(handed->pixels.back(), 2U);
  // Without damage, the comparison finds both 16x16 blocks... of a 16x8 picture: one block.
  ASSERT_TRUE(handed->changed);
  EXPECT_EQ(handed->changed->size(), 1U);
  EXPECT_FALSE(intake.dueAt()) << "nothing left to hand on";

  // No room at the sink: kept, and tried again an interval later.
  monitor.paint({4, 4, 1, 1}, 3);
  ASSERT_TRUE(intake.accept(monitor.buffer(), start));
  EXPECT_FALSE(handOnAt(2 * kInterval, false));
  EXPECT_FALSE(handOnAt(3 * kInterval - 1ms));
  EXPECT_TRUE(handOnAt(3 * kInterval));
}

TEST_F(FrameIntakeTest, DamageSinceTheLastPictureNarrowsTheComparison) {
  // A 40x8 window at x = 0 of a wider monitor: damage in picture coordinates, gathered over two
  // buffers, leaves out what changed where no damage was reported.
  std::vector<uint8_t> bytes(48 * 4 * 8, 0);
  auto buffer = [&](std::optional<std::vector<ImageArea>> damage) {
    return StreamBuffer{
        bytes.data(),           bytes.size(),     48, 8, 48 * 4, false, StreamPixelOrder::bgrx,
        ImageArea{8, 0, 40, 8}, std::move(damage)};
  };
  const auto paint = [&](int x, uint32_t value) { std::memcpy(bytes.data() + x * 4, &value, 4); };
  ASSERT_TRUE(intake.accept(buffer(std::vector<ImageArea>{}), start));
  ASSERT_TRUE(handOnAt(0s));
  paint(8 + 1, 1);   // window block 0, damaged
  paint(8 + 17, 1);  // window block 1, not reported
  paint(8 + 33, 1);  // window block 2, damaged by the second buffer
  ASSERT_TRUE(intake.accept(buffer(std::vector<ImageArea>{{9, 0, 1, 1}}), start));
  ASSERT_TRUE(intake.accept(buffer(std::vector<ImageArea>{{41, 0, 1, 1}}), start));
  const auto handed = handOnAt(kInterval);
  ASSERT_TRUE(handed && handed->changed);
  std::vector<int> columns;
  for (const auto& area : *handed->changed) columns.push_back(area.x);
  EXPECT_EQ(columns, (std::vector<int>{0, 32}));

  // A buffer without damage in between: the whole picture is compared.
  paint(8 + 17, 2);
  ASSERT_TRUE(intake.accept(buffer(std::nullopt), start));
  ASSERT_TRUE(intake.accept(buffer(std::vector<ImageArea>{}), start));
  const auto compared = handOnAt(2 * kInterval);
  ASSERT_TRUE(compared && compared->changed);
  ASSERT_EQ(compared->changed->size(), 1U);
  EXPECT_EQ(compared->changed->front().x, 16);
}

TEST_F(FrameIntakeTest, ANewSegmentStartsFromTheLastPictureAndANewSizeFromScratch) {
  Monitor monitor(5);
  intake.repeatLatest(start);
  EXPECT_FALSE(intake.dueAt()) << "nothing seen yet";
  ASSERT_TRUE(intake.accept(monitor.buffer(ImageArea{0, 0, 4, 4}), start));
  ASSERT_TRUE(handOnAt(0s));
  intake.repeatLatest(start + 1ms);
  const auto again = handOnAt(1ms);
  ASSERT_TRUE(again) << "at once, not an interval later";
  EXPECT_EQ(again->pixels, std::vector<uint32_t>(16, 5U));
  EXPECT_FALSE(again->changed);

  ASSERT_TRUE(intake.accept(monitor.buffer(ImageArea{0, 0, 6, 4}), start));
  const auto resized = handOnAt(1s);
  ASSERT_TRUE(resized);
  EXPECT_EQ(resized->width, 6);
  EXPECT_FALSE(resized->changed) << "nothing of this size to compare with";
}

}  // namespace
}  // namespace darvo::capture::portal
