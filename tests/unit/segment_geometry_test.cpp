// Segment pixel sizes and file names.
#include <gtest/gtest.h>

#include <cmath>

#include "recording/segment_geometry.hpp"

namespace darvo::recording {
namespace {

std::pair<int, int> sizeOf(double width, double height, float scale = 1.0F) {
  const auto size = segmentPixelSize({0, 0, width, height}, scale);
  return size ? std::pair{size->width, size->height} : std::pair{-1, -1};
}

TEST(SegmentGeometry, NativeDensityUnlessTooLong) {
  EXPECT_EQ(sizeOf(1440, 900, 2.0F), std::pair(2880, 1800));
  EXPECT_EQ(sizeOf(3000, 1000, 2.0F), std::pair(4096, 1364));
  EXPECT_EQ(sizeOf(801, 601), std::pair(800, 600));
  EXPECT_EQ(sizeOf(2215, 1000, 2.0F).first, 4094);
  EXPECT_EQ(sizeOf(5000, 3000), std::pair(4096, 2456));
  EXPECT_EQ(sizeOf(1.5, 300), std::pair(2, 300));
}

TEST(SegmentGeometry, UnusableGeometry) {
  EXPECT_FALSE(segmentPixelSize({0, 0, 1.0, 300}, 1.0F));
  EXPECT_FALSE(segmentPixelSize({0, 0, 300, 1.0}, 1.0F));
  EXPECT_FALSE(segmentPixelSize({0, 0, 300, 300}, 0.0F));
  EXPECT_FALSE(segmentPixelSize({0, 0, std::nan(""), 300}, 1.0F));
  EXPECT_FALSE(segmentPixelSize({0, 0, 300, 300}, std::nanf("")));
}

TEST(SegmentGeometry, FileNames) {
  EXPECT_EQ(segmentFilePath("/x/out.mp4", 0), "/x/out.mp4");
  EXPECT_EQ(segmentFilePath("/x/out.mp4", 3), "/x/out.mp4.3.mp4");
  EXPECT_EQ(segmentFilePath("/x/out", 1), "/x/out.1.mp4");
}

}  // namespace
}  // namespace darvo::recording
