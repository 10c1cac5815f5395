// What the screen-cast stream's thread does with each buffer the compositor sends: the window's
// pixels are cut out of it (compositors send monitor-sized buffers with the window in their crop
// region, shadow included, which is left out), kept, and handed to the segment's sink at most
// once a frame interval, with where they changed: the compositor's damage where it reports any,
// else a comparison with the picture before, in 16x16 blocks. Used by that thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "capture/changed_blocks.hpp"
#include "capture/video_sink.hpp"

namespace darvo::capture::portal {

// The byte orders of the stream formats read: BGRx and BGRA, RGBx and RGBA (alpha ignored).
enum class StreamPixelOrder { bgrx, rgbx };

// One buffer as the stream delivered it.
struct StreamBuffer {
  const uint8_t* data = nullptr;  // null when it could not be mapped
  std::size_t size = 0;           // bytes of picture in it; 0 for an empty buffer
  int width = 0;                  // the stream's picture, crop region included
  int height = 0;
  int stride = 0;
  bool corrupted = false;
  StreamPixelOrder order = StreamPixelOrder::bgrx;
  std::optional<ImageArea> crop;  // where the window is; the whole picture when absent
  // What changed since the buffer before, in picture coordinates; absent when not reported.
  std::optional<std::vector<ImageArea>> damage;
};

class FrameIntake {
 public:
  explicit FrameIntake(CaptureClock::duration interval);

  // Keeps the window's pixels of `buffer`, to be handed on when due: every buffer is copied,
  // since the compositor reuses it and a window that stops changing sends nothing more. The
  // window is the crop region without the shadow at its edges: rows and columns there in which
  // no pixel is at least half opaque. False, with nothing kept, for a buffer without a usable
  // picture: empty, corrupted, unmapped, too short, an empty or outlying crop region.
  bool accept(const StreamBuffer& buffer, CaptureClock::time_point arrivedAt);
  // The last picture handed on, once more, as shown from `now` on, with its changes unknown: the
  // first of a new segment.
  void repeatLatest(CaptureClock::time_point now);
  // When the kept picture is to be handed on (at once when in the past); nothing when none is.
  [[nodiscard]] std::optional<CaptureClock::time_point> dueAt() const;
  // Hands the kept picture, with the time it arrived, to `submit` when it is due at `now` and
  // `hasRoom()` says yes (asked before anything else is done); when there is no room it is tried
  // again an interval later.
  void handOn(CaptureClock::time_point now, const std::function<bool()>& hasRoom,
              const std::function<void(const PixelImage&, CaptureClock::time_point)>& submit);

  // The size of the newest picture: the window's; zero before the first.
  [[nodiscard]] int width() const { return newestWidth_; }
  [[nodiscard]] int height() const { return newestHeight_; }

 private:
  struct Picture {
    std::vector<uint8_t> pixels;  // rows of width * 4 bytes
    int width = 0;
    int height = 0;
    StreamPixelOrder order = StreamPixelOrder::bgrx;
  };
  static PixelImage imageOf(const Picture& picture);

  const CaptureClock::duration interval_;
  Picture pending_;   // the newest picture, while not handed on
  Picture handedOn_;  // the one handed on last, which the next is compared with
  bool hasPending_ = false;
  CaptureClock::time_point pendingArrivedAt_;
  bool changesKnown_ = false;  // false: the pending picture may differ anywhere
  // The damage reported since the last hand-over, in window coordinates; absent when a buffer
  // since reported none (then the whole picture is compared).
  std::optional<std::vector<ImageArea>> damage_;
  std::optional<CaptureClock::time_point> lastHandedAt_;
  int newestWidth_ = 0;
  int newestHeight_ = 0;
  ChangedBlockFinder changedBlocks_;
};

}  // namespace darvo::capture::portal
