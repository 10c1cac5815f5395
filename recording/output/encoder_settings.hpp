// libx264's knobs, together so they can be tuned after measuring CPU, memory and size at equal
// quality (bench/README.md says what each value was chosen against).
#pragma once

#include <string>

namespace darvo::recording::output {

struct EncoderSettings {
  std::string preset = "veryfast";
  // Pictures larger than this many pixels (beyond 2560x1440) take the faster preset below: a
  // 4096x2304 picture has 4.5 times the pixels of 1080p, too many for veryfast at 15 a second on
  // two cores next to the capture itself.
  int largePictureArea = 2560 * 1440;
  std::string largePicturePreset = "superfast";
  // One libx264 thread (one slice) keeps up with 15 frames a second up to largePictureArea, and
  // saves the slice threads' hand-offs. Larger pictures need both cores; 0 lets libx264 choose.
  int encoderThreads = 1;
  int largePictureEncoderThreads = 0;
  // Whole-pixel motion only (libx264's subme 0): windows scroll and move by whole pixels.
  int subpixelRefinement = 0;
  // Every picture between keyframes is coded at this quantiser, keyframes that many steps finer:
  // a quantiser that never drifts keeps each unchanged macroblock's reference no coarser than
  // the picture that copies it, which libx264 needs before it skips a macroblock flagged
  // constant. Adaptive quantisation and the offsets of moving_areas.hpp vary it per macroblock.
  // 25 is the coarsest at which the GTK window, the terminal and testsrc2 all keep at least the
  // SSIM of FFmpeg's default libx264 settings on the same pictures; a finer keyframe than 6 steps
  // bought the GTK window's SSIM at 9% more bytes, mostly in the keyframe (bench/README.md).
  int quantiser = 25;
  int keyframeFinerSteps = 6;
  int keyframeInterval = 250;  // in pictures: a keyframe costs the most bytes
};

}  // namespace darvo::recording::output
