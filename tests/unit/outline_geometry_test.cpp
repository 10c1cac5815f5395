#include "recording/outline_geometry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace darvo::recording {
namespace {

// The band drawn into a pixel grid; fails the test when a rectangle is empty, leaves the panel or
// overlaps another.
class Raster {
 public:
  Raster(int width, int height) : width_(width), height_(height), cells_(width * height, 0) {
    for (const PixelRect& rect : outlineBand(width, height)) {
      EXPECT_GT(rect.width, 0);
      EXPECT_GT(rect.height, 0);
      EXPECT_GE(rect.x, 0);
      EXPECT_GE(rect.y, 0);
      EXPECT_LE(rect.x + rect.width, width);
      EXPECT_LE(rect.y + rect.height, height);
      for (int y = std::max(rect.y, 0); y < std::min(rect.y + rect.height, height); ++y) {
        for (int x = std::max(rect.x, 0); x < std::min(rect.x + rect.width, width); ++x) {
          EXPECT_EQ(cells_[y * width + x]++, 0) << "overlap at " << x << "," << y;
        }
      }
    }
  }
  [[nodiscard]] bool at(int x, int y) const { return cells_[y * width_ + x] != 0; }
  // The pixel mirrored left-right and top-bottom.
  [[nodiscard]] bool mirrored(int x, int y) const {
    return at(width_ - 1 - x, y) && at(x, height_ - 1 - y) && at(width_ - 1 - x, height_ - 1 - y);
  }
  [[nodiscard]] int count() const {
    int total = 0;
    for (const char cell : cells_) total += cell;
    return total;
  }

 private:
  int width_;
  int height_;
  std::vector<char> cells_;
};

// X rejects a YXBanded list that is not: rows of rectangles with one y and height, sorted by x,
// bands sorted by y and apart.
void expectYXBanded(const std::vector<PixelRect>& rects) {
  for (size_t i = 1; i < rects.size(); ++i) {
    const PixelRect& previous = rects[i - 1];
    const PixelRect& current = rects[i];
    if (current.y == previous.y) {
      EXPECT_EQ(current.height, previous.height) << "rect " << i;
      EXPECT_GT(current.x, previous.x + previous.width) << "rect " << i;
    } else {
      EXPECT_GE(current.y, previous.y + previous.height) << "rect " << i;
    }
  }
}

TEST(OutlinePanelFrame, OutsetsTheWindowByThreeOnEverySideWithoutFlipping) {
  const capture::Rect frame = outlinePanelFrame({100, 50, 800, 600});
  EXPECT_EQ(frame.x, 97);
  EXPECT_EQ(frame.y, 47);
  EXPECT_EQ(frame.width, 806);
  EXPECT_EQ(frame.height, 606);
}

class OutlineBandOfAWindow : public testing::Test {
 protected:
  static constexpr int kWidth = 806;
  static constexpr int kHeight = 606;
  Raster band{kWidth, kHeight};
};

TEST_F(OutlineBandOfAWindow, StraightEdgesAreTheTwoOutermostPixels) {
  for (const int y : {10, kHeight / 2, kHeight - 11}) {
    EXPECT_TRUE(band.at(0, y) && band.at(1, y)) << "left, row " << y;
    EXPECT_FALSE(band.at(2, y)) << "left, row " << y;
    EXPECT_TRUE(band.at(kWidth - 1, y) && band.at(kWidth - 2, y)) << "right, row " << y;
    EXPECT_FALSE(band.at(kWidth - 3, y)) << "right, row " << y;
  }
  for (const int x : {10, kWidth / 2, kWidth - 11}) {
    EXPECT_TRUE(band.at(x, 0) && band.at(x, 1)) << "top, column " << x;
    EXPECT_FALSE(band.at(x, 2)) << "top, column " << x;
    EXPECT_TRUE(band.at(x, kHeight - 1) && band.at(x, kHeight - 2)) << "bottom, column " << x;
    EXPECT_FALSE(band.at(x, kHeight - 3)) << "bottom, column " << x;
  }
}

TEST_F(OutlineBandOfAWindow, CornersAreRoundedOnBothSidesOfTheStroke) {
  // Outside the outer radius of 6.
  EXPECT_FALSE(band.at(0, 0));
  EXPECT_FALSE(band.at(1, 1));
  EXPECT_FALSE(band.at(3, 0));
  EXPECT_FALSE(band.at(0, 3));
  // On the stroke along the diagonal and where the arc meets the straight edges.
  EXPECT_TRUE(band.at(2, 2));
  EXPECT_TRUE(band.at(4, 0));
  EXPECT_TRUE(band.at(0, 4));
  // Inside the inner radius of 4: transparent.
  EXPECT_FALSE(band.at(3, 3));
  for (const auto& [x, y] : {std::pair{0, 0}, {1, 1}, {3, 3}}) {
    EXPECT_FALSE(band.at(kWidth - 1 - x, y) || band.at(x, kHeight - 1 - y) ||
                 band.at(kWidth - 1 - x, kHeight - 1 - y))
        << x << "," << y << " mirrored";
  }
  for (const auto& [x, y] : {std::pair{2, 2}, {4, 0}, {0, 4}}) {
    EXPECT_TRUE(band.mirrored(x, y)) << x << "," << y << " mirrored";
  }
}

TEST_F(OutlineBandOfAWindow, CoversTheEdgesAndNothingInside) {
  // Away from the 6 × 6 corner squares the band is exactly the two outermost pixels.
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const bool nearCorner = (x < 6 || x >= kWidth - 6) && (y < 6 || y >= kHeight - 6);
      if (nearCorner) continue;
      const bool nearEdge = x < 2 || y < 2 || x >= kWidth - 2 || y >= kHeight - 2;
      ASSERT_EQ(band.at(x, y), nearEdge) << x << "," << y;
    }
  }
}

TEST_F(OutlineBandOfAWindow, RowsWithTheSameSpansAreMerged) {
  const std::vector<PixelRect> rects = outlineBand(kWidth, kHeight);
  expectYXBanded(rects);
  // The two sides between the corners are one rectangle each.
  EXPECT_NE(std::find(rects.begin(), rects.end(), PixelRect{0, 4, 2, kHeight - 8}), rects.end());
  EXPECT_NE(std::find(rects.begin(), rects.end(), PixelRect{kWidth - 2, 4, 2, kHeight - 8}),
            rects.end());
  // Four rows of arc at each end, at most two spans a row, plus the two sides.
  EXPECT_LE(rects.size(), 2U * 4 * 2 + 2);
}

TEST(OutlineBandOfATinyPanel, StaysInsideThePanelAndInBandedOrder) {
  for (const auto& [width, height] :
       {std::pair{8, 8}, {4, 4}, {6, 6}, {3, 3}, {2, 2}, {1, 1}, {7, 30}, {30, 5}, {1, 40}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    const Raster band(width, height);
    expectYXBanded(outlineBand(width, height));
    EXPECT_GT(band.count(), 0);
  }
}

TEST(OutlineBandOfATinyPanel, KeepsRoundCornersAndAHole) {
  // 8 × 8: the radius shrinks to half the 6-pixel path; the corners stay cut and a hole stays
  // transparent in the middle.
  const Raster eight(8, 8);
  EXPECT_FALSE(eight.at(0, 0));
  EXPECT_TRUE(eight.at(0, 4) && eight.at(4, 0) && eight.at(1, 1));
  EXPECT_FALSE(eight.at(3, 3) || eight.at(4, 4));
  // A low, wide panel rounds its corners by its height, as the square one of that height does.
  const Raster wide(30, 8);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 4; ++x) EXPECT_EQ(wide.at(x, y), eight.at(x, y)) << x << "," << y;
  }
  // 4 × 4 is all stroke but its corners.
  const Raster four(4, 4);
  EXPECT_FALSE(four.at(0, 0) || four.at(3, 0) || four.at(0, 3) || four.at(3, 3));
  EXPECT_EQ(four.count(), 12);
}

TEST(OutlineBandOfATinyPanel, IsEmptyForAnEmptyPanel) {
  EXPECT_TRUE(outlineBand(0, 0).empty());
  EXPECT_TRUE(outlineBand(0, 10).empty());
  EXPECT_TRUE(outlineBand(10, -1).empty());
}

}  // namespace
}  // namespace darvo::recording
