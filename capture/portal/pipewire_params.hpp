// The SPA parameters of the screen-cast stream: the formats and buffers it asks for, and what a
// buffer's metadata says (its picture's crop region, damage, size and flags).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "capture/portal/frame_intake.hpp"

struct spa_buffer;
struct spa_pod;

namespace darvo::capture::portal {

struct VideoFormat {
  StreamPixelOrder order = StreamPixelOrder::bgrx;
  int width = 0;
  int height = 0;
};

// The negotiated format, when it is one of those offered.
std::optional<VideoFormat> parseVideoFormat(const spa_pod* format);

// What `buffer` holds, its first plane mapped at `pixels` (null when it could not be): where the
// picture begins and its size (no more than the plane holds from there), stride and flags, crop
// region and damage.
StreamBuffer describeBuffer(const spa_buffer& buffer, const uint8_t* pixels, int width, int height,
                            StreamPixelOrder order);

// Parameters built in storage of their own.
class StreamParams {
 public:
  [[nodiscard]] std::span<const spa_pod*> pods() { return {pods_.data(), count_}; }

 protected:
  std::array<uint8_t, 2048> storage_{};
  std::array<const spa_pod*, 4> pods_{};
  std::size_t count_ = 0;
};

// The formats asked for at connection: raw video in BGRx, BGRA, RGBx or RGBA, of any size, at
// most `fastest` frames a second (and, should a compositor refuse that, at whatever rate it
// sends).
class FormatParams : public StreamParams {
 public:
  explicit FormatParams(int fastest);
};

// Once the format is agreed: buffers of memory we can map (shared memory, memfd, DMA-BUF), with
// the crop region, damage and header metadata.
class BufferParams : public StreamParams {
 public:
  BufferParams();
};

}  // namespace darvo::capture::portal
