#include "capture/x11/changed_blocks.hpp"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

#include "capture/block_grid.hpp"

namespace darvo::capture::x11 {

namespace {

constexpr int kBytesPerPixel = 4;

// The next run of set flags at or after `from`: [first, end), first == flags.size() when none.
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

}  // namespace

std::span<const ImageArea> ChangedBlockFinder::find(const PixelImage& image,
                                                    const uint8_t* previous,
                                                    std::span<const ImageArea> candidates) {
  columns_ = blocksAcross(image.width);
  areas_.clear();
  lastRowAreas_.clear();
  markBlocks(candidates, image.width, image.height, candidate_);
  changed_.assign(candidate_.size(), 0);
  for (int blockRow = 0; blockRow < blocksAcross(image.height); ++blockRow) {
    compareRow(image, previous, blockRow);
    addRuns(image, blockRow);
  }
  return areas_;
}

void ChangedBlockFinder::compareRow(const PixelImage& image, const uint8_t* previous,
                                    int blockRow) {
  const size_t rowStart = static_cast<size_t>(blockRow) * static_cast<size_t>(columns_);
  const std::span<const uint8_t> candidate(candidate_.data() + rowStart, columns_);
  uint8_t* changed = changed_.data() + rowStart;
  const int top = blockRow * kBlockSide;
  const int bottom = std::min(top + kBlockSide, image.height);
  const auto columnBytes = [](int column) {
    return static_cast<size_t>(column) * kBlockSide * kBytesPerPixel;
  };
  for (auto [first, end] = nextRun(candidate, 0); first < columns_;
       std::tie(first, end) = nextRun(candidate, end)) {
    const size_t runEnd =
        std::min(columnBytes(end), static_cast<size_t>(image.width) * kBytesPerPixel);
    int unchanged = end - first;
    // Whole lines of the run first: most lines of a repainted box are as they were.
    for (int y = top; y < bottom && unchanged > 0; ++y) {
      const size_t offset = static_cast<size_t>(y) * static_cast<size_t>(image.stride);
      const uint8_t* now = image.data + offset;
      const uint8_t* before = previous + offset;
      if (std::memcmp(now + columnBytes(first), before + columnBytes(first),
                      runEnd - columnBytes(first)) == 0) {
        continue;
      }
      for (int column = first; column < end; ++column) {
        const size_t blockEnd = std::min(columnBytes(column + 1), runEnd);
        if (changed[column] == 0 &&
            std::memcmp(now + columnBytes(column), before + columnBytes(column),
                        blockEnd - columnBytes(column)) != 0) {
          changed[column] = 1;
          --unchanged;
        }
      }
    }
  }
}

void ChangedBlockFinder::addRuns(const PixelImage& image, int blockRow) {
  const std::span<const uint8_t> changed(changed_.data() + static_cast<size_t>(blockRow) * columns_,
                                         columns_);
  const int top = blockRow * kBlockSide;
  const int height = std::min(kBlockSide, image.height - top);
  rowAreas_.clear();
  for (auto [first, end] = nextRun(changed, 0); first < columns_;
       std::tie(first, end) = nextRun(changed, end)) {
    const int x = first * kBlockSide;
    const int width = std::min(end * kBlockSide, image.width) - x;
    const auto above = std::find_if(lastRowAreas_.begin(), lastRowAreas_.end(), [&](size_t index) {
      return areas_[index].x == x && areas_[index].width == width;
    });
    if (above != lastRowAreas_.end()) {
      areas_[*above].height += height;
      rowAreas_.push_back(*above);
    } else {
      rowAreas_.push_back(areas_.size());
      areas_.push_back({x, top, width, height});
    }
  }
  lastRowAreas_.swap(rowAreas_);
}

}  // namespace darvo::capture::x11
