#include "recording/output/picture_plan.hpp"

#include <algorithm>

namespace darvo::recording::output {

PicturePlanner::PicturePlanner(int width, int height, const EncoderSettings& settings)
    : settings_(settings),
      changes_(width, height),
      quantiser_(changes_.changed().size()),
      constant_(changes_.changed().size()) {}

PicturePlan PicturePlanner::next(std::optional<std::span<const capture::ImageArea>> changed,
                                 const AVFrame* before, const AVFrame& after,
                                 capture::CaptureClock::time_point time) {
  changes_.compare(changed, before, after);
  const bool keyframe = sinceKeyframe_ < 0 || sinceKeyframe_ + 1 >= settings_.keyframeInterval;
  // The picture after a keyframe is left to libx264's own analysis, which refines what the
  // keyframe coded coarsely; flagged, unchanged macroblocks would keep the keyframe's pixels.
  // One picture in keyframeInterval: it costs no measurable time.
  const bool flagged = !keyframe && sinceKeyframe_ > 0 && changes_.unchangedKnown();
  sinceKeyframe_ = keyframe ? 0 : sinceKeyframe_ + 1;
  PicturePlan plan;
  plan.keyframe = keyframe;
  plan.quantiser =
      keyframe ? settings_.quantiser - settings_.keyframeFinerSteps : settings_.quantiser;
  plan.quantiserOffsets = quantiser_.next(changes_.changed(), time);
  if (flagged) {
    std::transform(changes_.changed().begin(), changes_.changed().end(), constant_.begin(),
                   [](uint8_t differs) { return differs != 0 ? 0 : kConstantMacroblock; });
    plan.constantMacroblocks = constant_;
  }
  return plan;
}

}  // namespace darvo::recording::output
