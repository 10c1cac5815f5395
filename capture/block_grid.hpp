// A grid of 16x16 blocks over an image, H.264's macroblocks: the unit in which the capture and the
// encoder look at what changed.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "capture/video_sink.hpp"

namespace darvo::capture {

inline constexpr int kBlockSide = 16;

// Blocks across `pixels`, the last one partial.
inline int blocksAcross(int pixels) {
  return (pixels + kBlockSide - 1) / kBlockSide;
}

// One flag per block of a width x height image, row by row: 1 where `areas` touch the block, 0
// elsewhere. Areas may reach outside the image.
void markBlocks(std::span<const ImageArea> areas, int width, int height,
                std::vector<uint8_t>& flags);

// The next run of set flags at or after `from`: [first, end), first == flags.size() when none.
std::pair<int, int> nextRun(std::span<const uint8_t> flags, int from);

// One row of blocks of two images of the same size: `lines` lines of `width` pixels of
// `bytesPerPixel` bytes, starting at the row's first line in each.
struct BlockRowPixels {
  const uint8_t* now = nullptr;
  int nowStride = 0;
  const uint8_t* before = nullptr;
  int beforeStride = 0;
  int width = 0;
  int lines = 0;
  int bytesPerPixel = 1;
};

// Clears the flags (of one row of blocks) of the blocks whose pixels are the same in both images.
void keepDifferingBlocks(std::span<uint8_t> flags, const BlockRowPixels& pixels);

}  // namespace darvo::capture
