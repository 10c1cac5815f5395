#include "capture/ffmpeg/moving_areas.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace darvo::capture::ffmpeg {

namespace {

constexpr int kMacroblock = 16;

// FFmpeg's libx264 wrapper scales a region's qoffset by 51 (the quantiser range of 8-bit video).
constexpr int kQuantiserRange = 51;

// Whether `rows` rows of `Width` bytes (`width` at the picture's right edge) differ.
template <size_t Width>
bool blockDiffers(const uint8_t* before, int beforeStride, const uint8_t* after, int afterStride,
                  size_t width, int rows) {
  for (int row = 0; row < rows; ++row, before += beforeStride, after += afterStride) {
    // A constant length lets the compiler compare in a few wide loads.
    if (width == Width ? std::memcmp(before, after, Width) != 0
                       : std::memcmp(before, after, width) != 0) {
      return true;
    }
  }
  return false;
}

// Whether a macroblock's pixels differ between two YUV420P pictures of the same size.
bool macroblockDiffers(const AVFrame& before, const AVFrame& after, int column, int row) {
  for (int plane = 0; plane < 3; ++plane) {
    const int shift = plane == 0 ? 0 : 1;
    const int size = kMacroblock >> shift;
    const int x = column * size;
    const int y = row * size;
    const auto width = static_cast<size_t>(std::min(size, (after.width >> shift) - x));
    const int rows = std::min(size, (after.height >> shift) - y);
    const uint8_t* from =
        before.data[plane] + static_cast<ptrdiff_t>(y) * before.linesize[plane] + x;
    const uint8_t* to = after.data[plane] + static_cast<ptrdiff_t>(y) * after.linesize[plane] + x;
    if (plane == 0 ? blockDiffers<kMacroblock>(from, before.linesize[plane], to,
                                               after.linesize[plane], width, rows)
                   : blockDiffers<kMacroblock / 2>(from, before.linesize[plane], to,
                                                   after.linesize[plane], width, rows)) {
      return true;
    }
  }
  return false;
}

}  // namespace

MovingAreaQuantiser::MovingAreaQuantiser(int width, int height) : width_(width), height_(height) {
  if (width < 1 || height < 1) {
    throw std::invalid_argument("picture size must be positive");
  }
  columns_ = (width + kMacroblock - 1) / kMacroblock;
  rows_ = (height + kMacroblock - 1) / kMacroblock;
  const auto count = static_cast<size_t>(columns_) * static_cast<size_t>(rows_);
  changed_.resize(count);
  runs_.resize(count);
  steps_.resize(count);
}

void MovingAreaQuantiser::markChanged(std::span<const ImageArea> changed, const AVFrame* before,
                                      const AVFrame& after) {
  std::fill(changed_.begin(), changed_.end(), uint8_t{0});
  for (const ImageArea& area : changed) {
    const int left = std::max(area.x, 0);
    const int top = std::max(area.y, 0);
    const int right = std::min(area.x + area.width, width_);
    const int bottom = std::min(area.y + area.height, height_);
    if (left >= right || top >= bottom) {
      continue;
    }
    for (int row = top / kMacroblock; row <= (bottom - 1) / kMacroblock; ++row) {
      const auto begin = changed_.begin() + static_cast<ptrdiff_t>(row) * columns_;
      std::fill(begin + left / kMacroblock, begin + (right - 1) / kMacroblock + 1, uint8_t{1});
    }
  }
  if (before == nullptr) {
    return;
  }
  // Toolkits often report one rectangle around everything they repainted: only the pixels tell
  // which macroblocks changed.
  for (int row = 0; row < rows_; ++row) {
    for (int column = 0; column < columns_; ++column) {
      uint8_t& mark = changed_[static_cast<size_t>(row) * columns_ + column];
      mark = mark != 0 && macroblockDiffers(*before, after, column, row) ? 1 : 0;
    }
  }
}

std::vector<QuantiserOffset> MovingAreaQuantiser::next(std::span<const ImageArea> changed,
                                                       const AVFrame* before, const AVFrame& after,
                                                       CaptureClock::time_point time) {
  markChanged(changed, before, after);
  const bool close = lastTime_ && time - *lastTime_ <= kCloseGap;
  lastTime_ = time;
  size_t moving = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    const int run = changed_[i] == 0 ? 0 : close ? std::min(runs_[i] + 1, kMovingRun) : 1;
    runs_[i] = static_cast<uint8_t>(run);
    moving += run == kMovingRun ? 1 : 0;
  }
  const bool coarsen =
      static_cast<double>(moving) <= kLargestMovingShare * static_cast<double>(runs_.size());
  std::vector<QuantiserOffset> offsets;
  for (int row = 0; row < rows_; ++row) {
    for (int column = 0; column < columns_; ++column) {
      const size_t i = static_cast<size_t>(row) * columns_ + column;
      const bool settled = steps_[i] == kMovingSteps && changed_[i] == 0;
      steps_[i] = coarsen && runs_[i] == kMovingRun ? kMovingSteps : settled ? kSettledSteps : 0;
      if (steps_[i] == 0) {
        continue;
      }
      const int left = column * kMacroblock;
      QuantiserOffset* last = offsets.empty() ? nullptr : &offsets.back();
      if (last != nullptr && last->steps == steps_[i] && last->area.y == row * kMacroblock &&
          last->area.x + last->area.width == left) {
        last->area.width = std::min(left + kMacroblock, width_) - last->area.x;
        continue;
      }
      offsets.push_back({{left, row * kMacroblock, std::min(kMacroblock, width_ - left),
                          std::min(kMacroblock, height_ - row * kMacroblock)},
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

}  // namespace darvo::capture::ffmpeg
