// What libx264 is told about each picture besides its pixels: whether it is a keyframe, its
// quantiser, the quantiser offsets of its macroblocks and which of them did not change. Used by
// the encoder thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "capture/video_sink.hpp"
#include "recording/output/encoder_settings.hpp"
#include "recording/output/ffmpeg_handles.hpp"
#include "recording/output/macroblock_changes.hpp"
#include "recording/output/moving_areas.hpp"

namespace darvo::recording::output {

// libx264's X264_MBINFO_CONSTANT: the macroblock equals the previous picture's.
inline constexpr uint8_t kConstantMacroblock = 1;

// Valid until the planner's next picture. libx264 only reads the arrays.
struct PicturePlan {
  bool keyframe = false;
  int quantiser = 0;
  std::span<const float> quantiserOffsets;       // one per macroblock, row by row
  std::span<const uint8_t> constantMacroblocks;  // one per macroblock; empty when none is known
};

class PicturePlanner {
 public:
  // Throws std::invalid_argument unless both sides are positive.
  PicturePlanner(int width, int height, const EncoderSettings& settings);

  // The plan for `after`, encoded at `time` right after `before` (nullptr for the first picture),
  // both YUV420P pictures of the planner's size. `changed`: where `after` may differ from
  // `before`; nullopt when that is not known.
  PicturePlan next(std::optional<std::span<const capture::ImageArea>> changed,
                   const AVFrame* before, const AVFrame& after,
                   capture::CaptureClock::time_point time);

 private:
  EncoderSettings settings_;
  MacroblockChanges changes_;
  MovingAreaQuantiser quantiser_;
  std::vector<uint8_t> constant_;
  int sinceKeyframe_ = -1;  // pictures planned since the last keyframe; -1 before the first
};

}  // namespace darvo::recording::output
