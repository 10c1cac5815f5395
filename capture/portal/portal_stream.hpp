// One segment's capture stream of the window chosen through the portal: it attaches the segment's
// outputs to the recording's PipeWire source, and detaches them at its stop.
#pragma once

#include <memory>
#include <optional>

#include "capture/capture.hpp"
#include "capture/portal/pipewire_source.hpp"

namespace darvo::capture::portal {

// Public methods: main thread. The sink, the samples and the delegate are fed on the source's
// thread; every completion runs at once, on the calling thread.
class PortalStream final : public Stream {
 public:
  PortalStream(std::shared_ptr<PipeWireSource> source, const StreamConfiguration& configuration,
               std::shared_ptr<StreamDelegate> delegate);

  std::optional<CaptureError> addStreamOutput(std::shared_ptr<StreamOutput> output,
                                              asio::any_io_executor sampleHandlerQueue) override;
  // The output must also be a VideoSink (kOutputMismatchCode otherwise); one at most.
  std::optional<CaptureError> addRecordingOutput(std::shared_ptr<RecordingOutput> output) override;
  // Fails with kConnectionLostCode when the source has ended (the stream failed, or the window
  // closed); otherwise frames flow from the source's last picture on.
  void startCapture(Completion completion) override;
  // Ends the sink's stream now, unless the source did already (a pause, a failure).
  void stopCapture(Completion completion) override;

 private:
  std::shared_ptr<PipeWireSource> source_;
  std::shared_ptr<SegmentTarget> target_;
  bool started_ = false;
  bool attached_ = false;
  bool sinkEnded_ = false;
};

}  // namespace darvo::capture::portal
