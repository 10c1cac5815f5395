#include "capture/changed_blocks.hpp"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace darvo::capture {
namespace {

using Rectangles = std::vector<std::array<int, 4>>;  // x, y, width, height

// 3 x 3 blocks, the last column 1 pixel wide and the last row 4 high; rows padded by 2 pixels.
constexpr int kImageWidth = 33, kImageHeight = 36, kImageStride = (kImageWidth + 2) * 4;

class ChangedBlockFinderTest : public ::testing::Test {
 protected:
  // Changes one byte of the pixel at (x, y); x may reach into the padding.
  void paint(int x, int y) { ++now_[y * kImageStride + x * 4 + 1]; }

  Rectangles find(const std::vector<ImageArea>& candidates) {
    const PixelImage image{now_.data(), kImageWidth, kImageHeight, kImageStride};
    Rectangles result;
    for (const ImageArea& area : finder_.find(image, before_.data(), candidates)) {
      result.push_back({area.x, area.y, area.width, area.height});
    }
    return result;
  }

  std::vector<uint8_t> before_ = std::vector<uint8_t>(kImageStride * kImageHeight, 7);
  std::vector<uint8_t> now_ = before_;
  ChangedBlockFinder finder_;
};

TEST_F(ChangedBlockFinderTest, KeepsOnlyTheBlocksThatDifferWithinTheCandidates) {
  const std::vector<ImageArea> everything{{-5, -5, 100, 100}};
  EXPECT_EQ(find(everything), Rectangles{});
  paint(kImageWidth, 3);  // padding is not the image
  EXPECT_EQ(find(everything), Rectangles{});
  paint(20, 20);  // the middle block
  paint(3, 33);   // outside the candidate below: trusted as unchanged
  paint(32, 15);  // the last line of the narrow last column
  // The candidate reaches one pixel into the last column.
  EXPECT_EQ(find({{16, 0, 17, 36}}), (Rectangles{{32, 0, 1, 16}, {16, 16, 16, 16}}));
  EXPECT_EQ(find(everything), (Rectangles{{32, 0, 1, 16}, {16, 16, 16, 16}, {0, 32, 16, 4}}));
}

TEST_F(ChangedBlockFinderTest, JoinsNeighboursIntoRunsAndEqualRunsDownwards) {
  paint(0, 0);
  paint(32, 0);
  paint(20, 5);  // a run of three in the first row
  paint(1, 17);
  paint(17, 31);  // the same run of two in the next two rows
  paint(15, 35);
  paint(16, 35);
  EXPECT_EQ(find({{0, 0, kImageWidth, kImageHeight}}),
            (Rectangles{{0, 0, 33, 16}, {0, 16, 32, 20}}));
  // A shorter run below is a rectangle of its own.
  paint(32, 20);
  EXPECT_EQ(find({{0, 16, kImageWidth, 1}}), (Rectangles{{0, 16, 33, 16}}));
  EXPECT_EQ(find({{0, 0, 16, kImageHeight}, {30, 0, 1, 1}}),
            (Rectangles{{0, 0, 32, 16}, {0, 16, 16, 20}}));
}

}  // namespace
}  // namespace darvo::capture
