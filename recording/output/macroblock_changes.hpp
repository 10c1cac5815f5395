// Which macroblocks of a picture differ from the picture encoded before it. A capture reports
// where an image may have changed (the 16x16 blocks it found different, or what Damage or the
// compositor said); only the pixels of both pictures, in all three planes, tell which macroblocks
// did. Used by the encoder thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "capture/video_sink.hpp"
#include "recording/output/ffmpeg_handles.hpp"

namespace darvo::recording::output {

class MacroblockChanges {
 public:
  // Throws std::invalid_argument unless both sides are positive.
  MacroblockChanges(int width, int height);

  // Compares `after` with `before`, YUV420P pictures of this size, within `candidates` (areas
  // may reach outside the picture); nullopt: they may differ anywhere, and what did not change is
  // not known. Without `before` (the first picture), every macroblock changed.
  void compare(std::optional<std::span<const capture::ImageArea>> candidates, const AVFrame* before,
               const AVFrame& after);

  // One flag per macroblock, row by row: 1 where the last compared picture differs.
  [[nodiscard]] std::span<const uint8_t> changed() const { return changed_; }
  // Whether the flags of 0 mean "unchanged": the changes were known and there was a `before`.
  [[nodiscard]] bool unchangedKnown() const { return unchangedKnown_; }
  [[nodiscard]] int columns() const { return columns_; }

 private:
  // Sets the flags of the candidate macroblocks in `row` whose chroma differs.
  void markDifferingChroma(int row, const std::vector<uint8_t>& candidates, const AVFrame& before,
                           const AVFrame& after);

  int width_;
  int height_;
  int columns_;
  int rows_;
  std::vector<uint8_t> changed_;
  std::vector<uint8_t> candidates_;
  bool unchangedKnown_ = false;
};

}  // namespace darvo::recording::output
