// Where an image really differs from the one before. X11's Damage reports what a client
// repainted, and toolkits repaint the bounding box of everything that changed: for two small
// spinners, a quarter of the window; a compositor's screen cast may report nothing at all.
// Comparing those areas (or the whole image) with the previous image leaves the blocks that
// changed, so the encoder converts and examines only those. Used by one capture thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "capture/video_sink.hpp"

namespace darvo::capture {

class ChangedBlockFinder {
 public:
  // The blocks (capture/block_grid.hpp) of `image` within `candidates` whose pixels differ from
  // `previous` (an image of the same size and stride), clipped to the image: a rectangle for each
  // run of neighbouring blocks in a row of blocks, with equal runs of consecutive rows joined.
  // Valid until the next call.
  std::span<const ImageArea> find(const PixelImage& image, const uint8_t* previous,
                                  std::span<const ImageArea> candidates);

 private:
  // Adds the runs of `changed`, the flags of the row of blocks from line `top` on.
  void addRuns(const PixelImage& image, std::span<const uint8_t> changed, int top);

  std::vector<uint8_t> changed_;  // a flag for each block
  std::vector<ImageArea> areas_;
  std::vector<size_t> lastRowAreas_;  // indices into areas_ of the runs of the row before
  std::vector<size_t> rowAreas_;
};

}  // namespace darvo::capture
