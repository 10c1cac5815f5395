// A grid of 16x16 blocks over an image, H.264's macroblocks: the unit in which the capture and the
// encoder look at what changed.
#pragma once

#include <cstdint>
#include <span>
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

}  // namespace darvo::capture
