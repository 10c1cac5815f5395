#include "recording/output/moving_areas.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "capture/block_grid.hpp"

namespace darvo::recording::output {

namespace {

// FFmpeg's libx264 wrapper scales a region's qoffset by 51 (the quantiser range of 8-bit video).
constexpr int kQuantiserRange = 51;

}  // namespace

MovingAreaQuantiser::MovingAreaQuantiser(int width, int height) : width_(width), height_(height) {
  if (width < 1 || height < 1) {
    throw std::invalid_argument("picture size must be positive");
  }
  columns_ = capture::blocksAcross(width);
  rows_ = capture::blocksAcross(height);
  const auto count = static_cast<size_t>(columns_) * static_cast<size_t>(rows_);
  changed_.resize(count);
  runs_.resize(count);
  steps_.resize(count);
}

void MovingAreaQuantiser::markChanged(std::span<const capture::ImageArea> changed,
                                      const AVFrame* before, const AVFrame& after) {
  capture::markBlocks(changed, width_, height_, changed_);
  if (before == nullptr) {
    return;
  }
  // Toolkits often report one rectangle around everything they repainted: only the pixels tell
  // which macroblocks changed.
  for (int row = 0; row < rows_; ++row) {
    const int top = row * capture::kBlockSide;
    capture::keepDifferingBlocks(
        std::span(changed_).subspan(static_cast<size_t>(row) * columns_, columns_),
        {after.data[0] + static_cast<ptrdiff_t>(top) * after.linesize[0], after.linesize[0],
         before->data[0] + static_cast<ptrdiff_t>(top) * before->linesize[0], before->linesize[0],
         width_, std::min(capture::kBlockSide, height_ - top), 1});
  }
}

std::vector<QuantiserOffset> MovingAreaQuantiser::next(std::span<const capture::ImageArea> changed,
                                                       const AVFrame* before, const AVFrame& after,
                                                       capture::CaptureClock::time_point time) {
  markChanged(changed, before, after);
  const bool close = lastTime_ && time - *lastTime_ <= kCloseGap;
  lastTime_ = time;
  size_t moving = 0;
  size_t fresh = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    const int run = changed_[i] == 0 ? 0 : close ? std::min(runs_[i] + 1, kMovingRun) : 1;
    runs_[i] = static_cast<uint8_t>(run);
    moving += run == kMovingRun ? 1 : 0;
    fresh += run == 1 ? 1 : 0;
  }
  const auto count = static_cast<double>(runs_.size());
  const bool coarsen = static_cast<double>(moving) <= kLargestMovingShare * count;
  const bool refine = coarsen && static_cast<double>(fresh) <= kLargestFreshShare * count;
  std::vector<QuantiserOffset> offsets;
  for (int row = 0; row < rows_; ++row) {
    for (int column = 0; column < columns_; ++column) {
      const size_t i = static_cast<size_t>(row) * columns_ + column;
      const bool settled = steps_[i] == kMovingSteps && changed_[i] == 0;
      if (coarsen && runs_[i] == kMovingRun) {
        steps_[i] = kMovingSteps;
      } else if (settled) {
        steps_[i] = kSettledSteps;
      } else {
        steps_[i] = refine && runs_[i] == 1 ? kFreshSteps : 0;
      }
      if (steps_[i] == 0) {
        continue;
      }
      const int left = column * capture::kBlockSide;
      QuantiserOffset* last = offsets.empty() ? nullptr : &offsets.back();
      if (last != nullptr && last->steps == steps_[i] &&
          last->area.y == row * capture::kBlockSide && last->area.x + last->area.width == left) {
        last->area.width = std::min(left + capture::kBlockSide, width_) - last->area.x;
        continue;
      }
      offsets.push_back(
          {{left, row * capture::kBlockSide, std::min(capture::kBlockSide, width_ - left),
            std::min(capture::kBlockSide, height_ - row * capture::kBlockSide)},
           steps_[i]});
    }
  }
  return offsets;
}

void attachQuantiserOffsets(AVFrame& frame, std::span<const QuantiserOffset> offsets) {
  av_frame_remove_side_data(&frame, AV_FRAME_DATA_REGIONS_OF_INTEREST);
  if (offsets.empty()) {
    return;
  }
  AVFrameSideData* data = av_frame_new_side_data(&frame, AV_FRAME_DATA_REGIONS_OF_INTEREST,
                                                 offsets.size() * sizeof(AVRegionOfInterest));
  if (data == nullptr) {
    throw std::bad_alloc();
  }
  auto* regions = reinterpret_cast<AVRegionOfInterest*>(data->data);
  for (const QuantiserOffset& offset : offsets) {
    AVRegionOfInterest& region = *regions++;
    region.self_size = sizeof(AVRegionOfInterest);
    region.top = offset.area.y;
    region.bottom = offset.area.y + offset.area.height;
    region.left = offset.area.x;
    region.right = offset.area.x + offset.area.width;
    region.qoffset = AVRational{offset.steps, kQuantiserRange};
  }
}

}  // namespace darvo::recording::output
