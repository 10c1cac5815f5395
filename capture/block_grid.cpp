#include "capture/block_grid.hpp"

#include <algorithm>
#include <cstring>

namespace darvo::capture {

namespace {

// Marks a set flag that is known to differ, until the row is done.
constexpr uint8_t kDiffers = 2;

}  // namespace

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

std::pair<int, int> nextRun(std::span<const uint8_t> flags, int from) {
  const int count = static_cast<int>(flags.size());
  int first = from;
  while (first < count && flags[first] == 0) {
    ++first;
  }
  int end = first;
  while (end < count && flags[end] != 0) {
    ++end;
  }
  return {first, end};
}

void keepDifferingBlocks(std::span<uint8_t> flags, const BlockRowPixels& pixels) {
  const auto blockBytes = [&](int column) {
    return static_cast<size_t>(column) * kBlockSide * static_cast<size_t>(pixels.bytesPerPixel);
  };
  const size_t rowEnd = static_cast<size_t>(pixels.width) * pixels.bytesPerPixel;
  const int columns = static_cast<int>(flags.size());
  for (auto run = nextRun(flags, 0); run.first < columns; run = nextRun(flags, run.second)) {
    const auto [first, end] = run;
    const size_t runStart = blockBytes(first);
    const size_t runEnd = std::min(blockBytes(end), rowEnd);
    int undecided = end - first;
    for (int line = 0; line < pixels.lines && undecided > 0; ++line) {
      const uint8_t* now = pixels.now + static_cast<ptrdiff_t>(line) * pixels.nowStride;
      const uint8_t* before = pixels.before + static_cast<ptrdiff_t>(line) * pixels.beforeStride;
      // Whole lines of the run first: most lines of a repainted area are as they were.
      if (std::memcmp(now + runStart, before + runStart, runEnd - runStart) == 0) {
        continue;
      }
      for (int column = first; column < end; ++column) {
        const size_t start = blockBytes(column);
        if (flags[column] != kDiffers &&
            std::memcmp(now + start, before + start,
                        std::min(blockBytes(column + 1), runEnd) - start) != 0) {
          flags[column] = kDiffers;
          --undecided;
        }
      }
    }
    for (int column = first; column < end; ++column) {
      flags[column] = flags[column] == kDiffers ? 1 : 0;
    }
  }
}

}  // namespace darvo::capture
