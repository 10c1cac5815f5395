#include "capture/x11/changed_blocks.hpp"

#include <algorithm>
#include <cstring>

namespace darvo::capture::x11 {

namespace {

constexpr int kBytesPerPixel = 4;

}  // namespace

std::span<const ImageArea> ChangedBlockFinder::find(const PixelImage& image,
                                                    const uint8_t* previous,
                                                    std::span<const ImageArea> candidates) {
  columns_ = (image.width + kChangedBlockSide - 1) / kChangedBlockSide;
  rows_ = (image.height + kChangedBlockSide - 1) / kChangedBlockSide;
  areas_.clear();
  lastRowAreas_.clear();
  markCandidates(image, candidates);
  changed_.assign(candidate_.size(), 0);
  for (int blockRow = 0; blockRow < rows_; ++blockRow) {
    compareRow(image, previous, blockRow);
    addRuns(image, blockRow);
  }
  return areas_;
}

void ChangedBlockFinder::markCandidates(const PixelImage& image,
                                        std::span<const ImageArea> candidates) {
  candidate_.assign(static_cast<size_t>(columns_) * static_cast<size_t>(rows_), 0);
  for (const ImageArea& area : candidates) {
    // 64-bit sums: an area may reach far outside the image.
    const auto left = std::max<int64_t>(area.x, 0);
    const auto top = std::max<int64_t>(area.y, 0);
    const auto right = std::min<int64_t>(int64_t{area.x} + area.width, image.width);
    const auto bottom = std::min<int64_t>(int64_t{area.y} + area.height, image.height);
    if (left >= right || top >= bottom) {
      continue;
    }
    for (auto row = top / kChangedBlockSide; row <= (bottom - 1) / kChangedBlockSide; ++row) {
      auto* flags = candidate_.data() + row * columns_;
      std::fill(flags + left / kChangedBlockSide, flags + (right - 1) / kChangedBlockSide + 1, 1);
    }
  }
}

void ChangedBlockFinder::compareRow(const PixelImage& image, const uint8_t* previous,
                                    int blockRow) {
  const size_t rowStart = static_cast<size_t>(blockRow) * static_cast<size_t>(columns_);
  const uint8_t* candidate = candidate_.data() + rowStart;
  uint8_t* changed = changed_.data() + rowStart;
  const int top = blockRow * kChangedBlockSide;
  const int bottom = std::min(top + kChangedBlockSide, image.height);
  for (int first = 0; first < columns_;) {
    if (candidate[first] == 0) {
      ++first;
      continue;
    }
    int end = first;
    while (end < columns_ && candidate[end] != 0) {
      ++end;
    }
    const auto columnBytes = [&](int column) {
      return static_cast<size_t>(column) * kChangedBlockSide * kBytesPerPixel;
    };
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
    first = end;
  }
}

void ChangedBlockFinder::addRuns(const PixelImage& image, int blockRow) {
  const uint8_t* changed = changed_.data() + static_cast<size_t>(blockRow) * columns_;
  const int top = blockRow * kChangedBlockSide;
  const int height = std::min(kChangedBlockSide, image.height - top);
  rowAreas_.clear();
  for (int first = 0; first < columns_;) {
    if (changed[first] == 0) {
      ++first;
      continue;
    }
    int end = first;
    while (end < columns_ && changed[end] != 0) {
      ++end;
    }
    const int x = first * kChangedBlockSide;
    const int width = std::min(end * kChangedBlockSide, image.width) - x;
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
    first = end;
  }
  lastRowAreas_.swap(rowAreas_);
}

}  // namespace darvo::capture::x11
