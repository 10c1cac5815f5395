// Coarser quantisers for the small areas that change in picture after picture (a spinner, a
// progress bar, an animated icon), finer ones for what changes once (a character typed, a menu
// opened). The pixels of the first are replaced a moment later, so bits spent on them buy little;
// the second usually stays, and every later picture copies it on. A lookahead's macroblock tree
// finds this in the pictures to come; this finds it in the pictures before, so every packet still
// comes out at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "capture/video_sink.hpp"

namespace darvo::recording::output {

// Used by the encoder thread only.
class MovingAreaQuantiser {
 public:
  // Pictures at most this far apart follow each other closely: 1.5 intervals at 15 a second.
  static constexpr auto kCloseGap = std::chrono::milliseconds(100);
  // A macroblock moves once it changed in this many pictures in a row, each close to the last
  // (a third of a second at 15 a second): a spinner does; something passing over it, or text
  // being typed, does not.
  static constexpr int kMovingRun = 5;
  // Only while the moving macroblocks are at most this share of the picture: when more moves (a
  // scrolled page, a playing video), the motion is what the viewer watches.
  static constexpr double kLargestMovingShare = 0.01;
  static constexpr int kMovingSteps = 12;
  // A macroblock that changed in this picture but not in the one close before it, while such
  // macroblocks too are at most this share: a whole new page costs what it costs without offsets.
  static constexpr double kLargestFreshShare = 0.01;
  static constexpr int kFreshSteps = -6;
  // A moving macroblock that came to rest is coded once more, finer, so that its last state does
  // not keep the coarse quantiser until the next keyframe.
  static constexpr int kSettledSteps = -6;

  // `macroblocks`: how many the pictures have.
  explicit MovingAreaQuantiser(size_t macroblocks);

  // The offsets, in quantiser steps (positive is coarser), of each macroblock of the picture
  // encoded at `time`, given which of its macroblocks changed (macroblock_changes.hpp). Valid
  // until the next call.
  std::span<const float> next(std::span<const uint8_t> changed,
                              capture::CaptureClock::time_point time);

 private:
  std::vector<uint8_t> runs_;  // pictures in a row each macroblock changed in, up to kMovingRun
  std::vector<float> steps_;   // the offsets last given
  std::optional<capture::CaptureClock::time_point> lastTime_;
};

}  // namespace darvo::recording::output
