#include "capture/block_grid.hpp"

#include <algorithm>

namespace darvo::capture {

void markBlocks(std::span<const ImageArea> areas, int width, int height,
                std::vector<uint8_t>& flags) {
  const int columns = blocksAcross(width);
  flags.assign(static_cast<size_t>(columns) * static_cast<size_t>(blocksAcross(height)), 0);
  for (const ImageArea& area : areas) {
    // 64-bit sums: an area may reach far outside the image.
    const auto left = std::max<int64_t>(area.x, 0);
    const auto top = std::max<int64_t>(area.y, 0);
    const auto right = std::min<int64_t>(int64_t{area.x} + area.width, width);
    const auto bottom = std::min<int64_t>(int64_t{area.y} + area.height, height);
    if (left >= right || top >= bottom) {
      continue;
    }
    for (auto row = top / kBlockSide; row <= (bottom - 1) / kBlockSide; ++row) {
      auto* rowFlags = flags.data() + row * columns;
      std::fill(rowFlags + left / kBlockSide, rowFlags + (right - 1) / kBlockSide + 1, 1);
    }
  }
}

}  // namespace darvo::capture
