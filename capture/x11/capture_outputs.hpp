// Where the capture thread sends what it captures and how it ended. Every call comes from the
// capture thread, but end(), which a stop's watchdog may make instead.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <asio/any_io_executor.hpp>

#include "capture/capture.hpp"
#include "capture/video_sink.hpp"

namespace darvo::capture::x11 {

class CaptureOutputs {
 public:
  std::shared_ptr<VideoSink> sink;             // may be empty: samples only
  std::shared_ptr<RecordingOutput> recording;  // kept alive as long as its sink is used
  std::shared_ptr<StreamOutput> screen;        // may be empty
  asio::any_io_executor screenExecutor;        // where `screen` receives its samples
  std::shared_ptr<StreamDelegate> delegate;    // may be empty

  void prepare(int width, int height) const;
  // True without a sink: there is nothing to fall behind.
  [[nodiscard]] bool hasRoom() const;
  void submit(const PixelImage& image, CaptureClock::time_point capturedAt) const;
  // Posts one sample with status "complete" to the screen output.
  void deliverSample() const;
  // Tells the delegate why the stream stopped, when `stopCode` is given (the stop first, so the
  // recorder knows why before the file is finished), then lets the sink finish its file. Called
  // once, by whoever claimed the stream's end (CaptureControl::claimStreamEnd).
  void end(std::optional<int64_t> stopCode) const;
};

}  // namespace darvo::capture::x11
