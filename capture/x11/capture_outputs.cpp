#include "capture/x11/capture_outputs.hpp"

#include "capture/stream_samples.hpp"

namespace darvo::capture::x11 {

void CaptureOutputs::prepare(int width, int height) const {
  if (sink) {
    sink->prepare(width, height);
  }
}

bool CaptureOutputs::hasRoom() const {
  return !sink || sink->hasRoom();
}

void CaptureOutputs::submit(const PixelImage& image, CaptureClock::time_point capturedAt) const {
  if (sink) {
    sink->submit(image, capturedAt);
  }
}

void CaptureOutputs::deliverSample() const {
  postCompleteSample(screen, screenExecutor);
}

void CaptureOutputs::end(std::optional<int64_t> stopCode) const {
  if (stopCode && delegate) {
    delegate->streamDidStop(streamError(*stopCode));
  }
  if (sink) {
    sink->endOfStream(CaptureClock::now());
  }
}

}  // namespace darvo::capture::x11
