// The hand-over from a capture (the X11 capture thread, the PipeWire thread) to the recording
// output, which encodes what it is given.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

namespace darvo::capture {

using CaptureClock = std::chrono::steady_clock;

// A rectangle of an image, in pixels.
struct ImageArea {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// An image as read from the X server: 32 bits per pixel, channel positions given by the visual's
// masks; any other bits (alpha of 32-bit windows) are ignored.
struct PixelImage {
  const uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per row
  uint32_t redMask = 0x00ff0000;
  uint32_t greenMask = 0x0000ff00;
  uint32_t blueMask = 0x000000ff;
  // Where this image may differ from the previous one (areas may reach outside it); nullopt when
  // that is not known.
  std::optional<std::span<const ImageArea>> changedAreas;
};

// Implemented by the recording output. Every call comes from the capture thread, but
// endOfStream(), which a stop's watchdog makes instead when that thread is held by the X server:
// then the other calls may still come, at the same time or later, and submit() drops the frame.
class VideoSink {
 public:
  virtual ~VideoSink() = default;
  // The segment's picture size (even sides). Called once, before the first frame.
  virtual void prepare(int width, int height) = 0;
  // Whether the encoder queue has room; a frame refused here is counted as dropped, so the
  // capture thread asks before it reads or copies any pixel.
  virtual bool hasRoom() = 0;
  // Converts the image into the segment's picture (scaled to fit, aspect kept, black bars) and
  // queues it. Only after hasRoom() returned true.
  virtual void submit(const PixelImage& image, CaptureClock::time_point capturedAt) = 0;
  // Capture has ended for good: the output repeats the last picture up to `at`, completes and
  // syncs the file, then reports finish or failure to its delegate. Called exactly once, from any
  // thread.
  virtual void endOfStream(CaptureClock::time_point at) = 0;
};

}  // namespace darvo::capture
