#include "recording/output/moving_areas.hpp"

#include <algorithm>

namespace darvo::recording::output {

MovingAreaQuantiser::MovingAreaQuantiser(size_t macroblocks)
    : runs_(macroblocks), steps_(macroblocks) {}

std::span<const float> MovingAreaQuantiser::next(std::span<const uint8_t> changed,
                                                 capture::CaptureClock::time_point time) {
  const bool close = lastTime_ && time - *lastTime_ <= kCloseGap;
  lastTime_ = time;
  size_t moving = 0;
  size_t fresh = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    const int run = changed[i] == 0 ? 0 : close ? std::min(runs_[i] + 1, kMovingRun) : 1;
    runs_[i] = static_cast<uint8_t>(run);
    moving += run == kMovingRun ? 1 : 0;
    fresh += run == 1 ? 1 : 0;
  }
  const auto count = static_cast<double>(runs_.size());
  const bool coarsen = static_cast<double>(moving) <= kLargestMovingShare * count;
  const bool refine = coarsen && static_cast<double>(fresh) <= kLargestFreshShare * count;
  for (size_t i = 0; i < runs_.size(); ++i) {
    const bool settled = steps_[i] == kMovingSteps && changed[i] == 0;
    if (coarsen && runs_[i] == kMovingRun) {
      steps_[i] = kMovingSteps;
    } else if (settled) {
      steps_[i] = kSettledSteps;
    } else {
      steps_[i] = refine && runs_[i] == 1 ? kFreshSteps : 0;
    }
  }
  return steps_;
}

}  // namespace darvo::recording::output
