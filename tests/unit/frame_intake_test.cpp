// The screen-cast stream's frame intake with synthetic buffers: crop regions, shadows, damage,
// strides, formats, short and empty buffers, and the pace of hand-overs.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include <spa/buffer/buffer.h>

#include "capture/portal/frame_intake.hpp"
#include "capture/portal/pipewire_params.hpp"

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

TEST_F(FrameIntakeTest, ABufferIsReadOnlyAsFarAsItReaches) {
  // The crop's last row ends (1 + 2 - 1) * 72 + (2 + 3) * 4 = 164 bytes in.
  Monitor monitor(7);
  auto buffer = monitor.buffer(ImageArea{2, 1, 3, 2});
  buffer.size = 163;
  EXPECT_FALSE(intake.accept(buffer, start)) << "a byte short of the last row";
  buffer.size = 164;
  EXPECT_TRUE(intake.accept(buffer, start));

  // The compositor's claim is held to what its plane has past the chunk's offset, which is
  // taken modulo the plane's size.
  std::array<uint8_t, 64> memory{};
  spa_chunk chunk{40, 100, 16, 0};
  spa_data plane{SPA_DATA_MemPtr, 0, -1, 0, 64, memory.data(), &chunk};
  spa_buffer described{0, 1, nullptr, &plane};
  const auto view = describeBuffer(described, memory.data(), 4, 1, StreamPixelOrder::bgrx);
  EXPECT_EQ(view.data, memory.data() + 40);
  EXPECT_EQ(view.size, 24U);
  chunk.offset = 64 + 8;
  const auto wrapped = describeBuffer(described, memory.data(), 4, 1, StreamPixelOrder::bgrx);
  EXPECT_EQ(wrapped.data, memory.data() + 8);
  EXPECT_EQ(wrapped.size, 56U);
  EXPECT_FALSE(describeBuffer(described, nullptr, 4, 1, StreamPixelOrder::bgrx).data);
}

TEST_F(FrameIntakeTest, TheShadowAroundTheWindowIsLeftOut) {
  // A window of 6x3 at (4, 2) in a crop region of 12x6 at (2, 1), a shadow around it at most
  // 0x6e opaque, a rounded corner less opaque than the shadow.
  Monitor monitor(0);
  monitor.paint({2, 1, 12, 6}, 0x30000000);
  monitor.paint({3, 1, 8, 5}, 0x6e000000);
  monitor.paint({4, 2, 6, 3}, 0xff112233);
  monitor.paint({4, 2, 1, 1}, 0x20000000);
  ASSERT_TRUE(intake.accept(monitor.buffer(ImageArea{2, 1, 12, 6}), start));
  EXPECT_EQ(std::pair(intake.width(), intake.height()), std::pair(6, 3));
  const auto handed = handOnAt(0s);
  ASSERT_TRUE(handed);
  EXPECT_EQ(handed->pixels[0], 0x20000000U);
  EXPECT_EQ(handed->pixels[1], 0xff112233U);
  EXPECT_EQ(handed->pixels.back(), 0xff112233U);

  // Damage is in the picture's coordinates: its window block is found where it changed.
  monitor.paint({9, 4, 1, 1}, 0xff445566);
  auto damaged = monitor.buffer(ImageArea{2, 1, 12, 6});
  damaged.damage = std::vector<ImageArea>{{9, 4, 1, 1}};
  ASSERT_TRUE(intake.accept(damaged, start));
  const auto changed = handOnAt(kInterval);
  ASSERT_TRUE(changed && changed->changed);
  EXPECT_EQ(changed->changed->size(), 1U);
  EXPECT_EQ(changed->pixels.back(), 0xff445566U) << "the window's last pixel, at (5, 2)";

  // A translucent window is a window: only what is less than half opaque is a shadow.
  monitor.paint({4, 2, 6, 3}, 0x90112233);
  ASSERT_TRUE(intake.accept(monitor.buffer(ImageArea{2, 1, 12, 6}), start));
  EXPECT_EQ(std::pair(intake.width(), intake.height()), std::pair(6, 3));
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
