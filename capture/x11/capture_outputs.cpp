#include "capture/x11/capture_outputs.hpp"

#include <asio/post.hpp>

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
  if (!screen || !screenExecutor) {
    return;
  }
  asio::post(screenExecutor, [output = screen] {
    const SampleBuffer sample{true, {FrameInfo{static_cast<int64_t>(FrameStatus::complete)}}};
    output->streamDidOutputSample(sample);
  });
}

void CaptureOutputs::reportStop(int64_t code) {
  if (stopReported_) {
    return;
  }
  stopReported_ = true;
  if (delegate) {
    delegate->streamDidStop(streamError(code));
  }
}

void CaptureOutputs::endOfStream() {
  if (ended_) {
    return;
  }
  ended_ = true;
  if (sink) {
    sink->endOfStream(CaptureClock::now());
  }
}

}  // namespace darvo::capture::x11
