#include "capture/changed_blocks.hpp"

#include <algorithm>

#include "capture/block_grid.hpp"

namespace darvo::capture {

std::span<const ImageArea> ChangedBlockFinder::find(const PixelImage& image,
                                                    const uint8_t* previous,
                                                    std::span<const ImageArea> candidates) {
  const int columns = blocksAcross(image.width);
  areas_.clear();
  lastRowAreas_.clear();
  markBlocks(candidates, image.width, image.height, changed_);
  for (int blockRow = 0; blockRow < blocksAcross(image.height); ++blockRow) {
    const std::span<uint8_t> row(changed_.data() + static_cast<size_t>(blockRow) * columns,
                                 static_cast<size_t>(columns));
    const int top = blockRow * kBlockSide;
    const auto offset = static_cast<ptrdiff_t>(top) * image.stride;
    keepDifferingBlocks(row, {image.data + offset, image.stride, previous + offset, image.stride,
                              image.width, std::min(kBlockSide, image.height - top), 4});
    addRuns(image, row, top);
  }
  return areas_;
}

void ChangedBlockFinder::addRuns(const PixelImage& image, std::span<const uint8_t> changed,
                                 int top) {
  const int height = std::min(kBlockSide, image.height - top);
  const int columns = static_cast<int>(changed.size());
  rowAreas_.clear();
  for (auto run = nextRun(changed, 0); run.first < columns; run = nextRun(changed, run.second)) {
    const auto [first, end] = run;
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

}  // namespace darvo::capture
