#include "capture/portal/portal_stream.hpp"

#include <utility>

namespace darvo::capture::portal {

PortalStream::PortalStream(std::shared_ptr<PipeWireSource> source,
                           const StreamConfiguration& configuration,
                           std::shared_ptr<StreamDelegate> delegate)
    : source_(std::move(source)), target_(std::make_shared<SegmentTarget>()) {
  target_->delegate = std::move(delegate);
  target_->width = configuration.width;
  target_->height = configuration.height;
}

std::optional<CaptureError> PortalStream::addStreamOutput(
    std::shared_ptr<StreamOutput> output, asio::any_io_executor sampleHandlerQueue) {
  if (started_) return portalError(kCaptureSetupCode);
  target_->screen = std::move(output);
  target_->screenExecutor = std::move(sampleHandlerQueue);
  return std::nullopt;
}

std::optional<CaptureError> PortalStream::addRecordingOutput(
    std::shared_ptr<RecordingOutput> output) {
  if (started_) return portalError(kCaptureSetupCode);
  auto sink = std::dynamic_pointer_cast<VideoSink>(output);
  if (!sink || target_->sink) return portalError(kOutputMismatchCode);
  target_->sink = std::move(sink);
  target_->recording = std::move(output);
  return std::nullopt;
}

void PortalStream::startCapture(Completion completion) {
  if (started_ || !target_->sink) {
    completion(portalError(kInternalErrorCode));
    return;
  }
  started_ = true;
  attached_ = source_->attach(target_);
  completion(attached_ ? std::nullopt : std::optional(portalError(kConnectionLostCode)));
}

void PortalStream::stopCapture(Completion completion) {
  if (!started_) {
    completion(portalError(kInternalErrorCode));  // nothing to stop
    return;
  }
  // Never attached, or still attached: the sink's stream is ours to end; otherwise the source
  // has ended it.
  const bool ours = !attached_ || source_->detach(*target_);
  if (ours && !sinkEnded_) {
    target_->sink->endOfStream(CaptureClock::now());
    sinkEnded_ = true;
  }
  completion(std::nullopt);
}

}  // namespace darvo::capture::portal
