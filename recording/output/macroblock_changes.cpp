#include "recording/output/macroblock_changes.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "capture/block_grid.hpp"

namespace darvo::recording::output {
namespace {

constexpr int kChromaSide = capture::kBlockSide / 2;

const uint8_t* rowOf(const AVFrame& picture, int plane, int line) {
  return picture.data[plane] + static_cast<ptrdiff_t>(line) * picture.linesize[plane];
}

}  // namespace

MacroblockChanges::MacroblockChanges(int width, int height) : width_(width), height_(height) {
  if (width < 1 || height < 1) {
    throw std::invalid_argument("picture size must be positive");
  }
  columns_ = capture::blocksAcross(width);
  rows_ = capture::blocksAcross(height);
  changed_.resize(static_cast<size_t>(columns_) * static_cast<size_t>(rows_));
}

void MacroblockChanges::compare(std::optional<std::span<const capture::ImageArea>> candidates,
                                const AVFrame* before, const AVFrame& after) {
  unchangedKnown_ = candidates.has_value() && before != nullptr;
  if (before == nullptr) {
    std::fill(changed_.begin(), changed_.end(), 1);
    return;
  }
  const capture::ImageArea whole{0, 0, width_, height_};
  capture::markBlocks(candidates ? *candidates : std::span(&whole, 1), width_, height_,
                      candidates_);
  changed_ = candidates_;
  for (int row = 0; row < rows_; ++row) {
    const int top = row * capture::kBlockSide;
    capture::keepDifferingBlocks(
        std::span(changed_).subspan(static_cast<size_t>(row) * columns_, columns_),
        {rowOf(after, 0, top), after.linesize[0], rowOf(*before, 0, top), before->linesize[0],
         width_, std::min(capture::kBlockSide, height_ - top), 1});
    markDifferingChroma(row, candidates_, *before, after);
  }
}

void MacroblockChanges::markDifferingChroma(int row, const std::vector<uint8_t>& candidates,
                                            const AVFrame& before, const AVFrame& after) {
  const int top = row * kChromaSide;
  const int lines = std::min(kChromaSide, height_ / 2 - top);
  for (int column = 0; column < columns_; ++column) {
    const size_t index = static_cast<size_t>(row) * columns_ + column;
    // Luma that differs has decided already; a block nobody reported is taken as it was.
    if (candidates[index] == 0 || changed_[index] != 0) {
      continue;
    }
    const int left = column * kChromaSide;
    const auto bytes = static_cast<size_t>(std::min(kChromaSide, width_ / 2 - left));
    for (int plane = 1; plane <= 2 && changed_[index] == 0; ++plane) {
      for (int line = top; line < top + lines; ++line) {
        if (std::memcmp(rowOf(after, plane, line) + left, rowOf(before, plane, line) + left,
                        bytes) != 0) {
          changed_[index] = 1;
          break;
        }
      }
    }
  }
}

}  // namespace darvo::recording::output
