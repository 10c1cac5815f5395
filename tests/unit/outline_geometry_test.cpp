#include "recording/outline_geometry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace darvo::recording {
namespace {

using Picture = std::vector<std::string>;

// The band drawn as rows of '#' (covered) and '.'. Fails the test when a rectangle is empty,
// leaves the panel, overlaps another or breaks X's YXBanded order (X rejects such a shape).
Picture draw(int width, int height) {
  Picture rows(std::max(height, 0), std::string(std::max(width, 0), '.'));
  const std::vector<PixelRect> rects = outlineBand(width, height);
  for (size_t i = 0; i < rects.size(); ++i) {
    const PixelRect& rect = rects[i];
    EXPECT_TRUE(rect.width > 0 && rect.height > 0 && rect.x >= 0 && rect.y >= 0 &&
                rect.x + rect.width <= width && rect.y + rect.height <= height)
        << "rect " << i;
    if (i > 0) {
      const PixelRect& previous = rects[i - 1];
      EXPECT_TRUE(rect.y == previous.y
                      ? rect.height == previous.height && rect.x > previous.x + previous.width
                      : rect.y >= previous.y + previous.height)
          << "rect " << i;
    }
    for (int y = std::max(rect.y, 0); y < std::min(rect.y + rect.height, height); ++y) {
      for (int x = std::max(rect.x, 0); x < std::min(rect.x + rect.width, width); ++x) {
        EXPECT_EQ(rows[y][x], '.') << "overlap at " << x << "," << y;
        rows[y][x] = '#';
      }
    }
  }
  return rows;
}

TEST(OutlineGeometry, AWindowsBandIsTwoPixelsWideWithRoundedCorners) {
  constexpr int kWidth = 806;
  constexpr int kHeight = 606;
  const Picture band = draw(kWidth, kHeight);
  const Picture corner = {"....##", "..####", ".###..", ".##...", "##....", "##...."};
  for (int y = 0; y < kHeight; ++y) {
    const int cornerRow = std::min(y, kHeight - 1 - y);
    std::string expected(kWidth, '.');
    if (cornerRow < 2) {
      expected.replace(6, kWidth - 12, kWidth - 12, '#');
    } else {
      expected.replace(0, 2, "##");
      expected.replace(kWidth - 2, 2, "##");
    }
    if (cornerRow < 6) {
      std::string left = corner[cornerRow];
      expected.replace(0, 6, left);
      std::reverse(left.begin(), left.end());
      expected.replace(kWidth - 6, 6, left);
    }
    ASSERT_EQ(band[y], expected) << "row " << y;
  }
  // Rows with the same spans are merged: four rows of arc at each end, two spans a row, and the
  // two sides in between.
  EXPECT_LE(outlineBand(kWidth, kHeight).size(), 2U * 4 * 2 + 2);
}

TEST(OutlineGeometry, SmallPanelsKeepRoundCornersAndAHole) {
  EXPECT_EQ(draw(8, 8), (Picture{"..####..", ".######.", "###..###", "##....##", "##....##",
                                 "###..###", ".######.", "..####.."}));
  // A low, wide panel rounds its corners by its height, as the square one does.
  const Picture wide = draw(30, 8);
  EXPECT_EQ(wide[0], ".." + std::string(26, '#') + "..");
  EXPECT_EQ(wide[2], "###" + std::string(24, '.') + "###");
  EXPECT_EQ(draw(4, 4), (Picture{".##.", "####", "####", ".##."}));
  // Every panel with pixels gets some band (drawn inside it); an empty one gets none.
  for (const auto& [width, height] :
       {std::pair{6, 6}, {3, 3}, {2, 2}, {1, 1}, {7, 30}, {1, 40}, {0, 0}, {0, 10}, {10, -1}}) {
    const Picture band = draw(width, height);
    EXPECT_EQ(std::any_of(band.begin(), band.end(),
                          [](const std::string& row) { return row.find('#') != row.npos; }),
              width > 0 && height > 0)
        << width << "x" << height;
  }
}

}  // namespace
}  // namespace darvo::recording
