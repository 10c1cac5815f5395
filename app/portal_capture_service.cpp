#include "app/portal_capture_service.hpp"

#include "capture/portal/portal_stream.hpp"
#include "recording/output/mp4_recording_output.hpp"

namespace darvo::app {

PortalCaptureService::PortalCaptureService(std::shared_ptr<capture::portal::PipeWireSource> source,
                                           uint32_t node)
    : source_(std::move(source)), node_(node) {}

capture::Window PortalCaptureService::window() const {
  const auto state = source_->state();
  return capture::Window{node_, {0, 0, double(state.width), double(state.height)}, 0, {}};
}

void PortalCaptureService::getShareableContent(bool /*excludingDesktopWindows*/,
                                               bool onScreenWindowsOnly,
                                               capture::ContentCompletion completion) {
  const auto state = source_->state();
  capture::ShareableContent content;
  if (!state.closed && !state.ended && (state.streaming || !onScreenWindowsOnly)) {
    content.windows.push_back(window());
  }
  completion(std::move(content));
}

capture::ContentFilter PortalCaptureService::makeContentFilter(const capture::Window& window) {
  return {window, {0, 0, window.frame.width, window.frame.height}, 1.0F};
}

std::shared_ptr<capture::Stream> PortalCaptureService::makeStream(
    const capture::ContentFilter& /*filter*/, const capture::StreamConfiguration& configuration,
    std::shared_ptr<capture::StreamDelegate> delegate) {
  return std::make_shared<capture::portal::PortalStream>(source_, configuration,
                                                         std::move(delegate));
}

std::shared_ptr<capture::RecordingOutput> PortalCaptureService::makeRecordingOutput(
    const capture::RecordingOutputConfiguration& configuration,
    std::shared_ptr<capture::RecordingOutputDelegate> delegate) {
  return std::make_shared<recording::output::Mp4RecordingOutput>(configuration,
                                                                 std::move(delegate));
}

void PortalCaptureService::windowInfo(uint32_t windowID,
                                      std::function<void(capture::WindowInfoAnswer)> completion) {
  const auto state = source_->state();
  if (windowID != node_ || state.closed) return completion({true, std::nullopt});
  completion({true, capture::WindowListEntry{std::nullopt, std::nullopt, state.streaming}});
}

void PortalCaptureService::allWindowNumbers(
    std::function<void(capture::WindowNumbersAnswer)> completion) {
  const bool closed = source_->state().closed;
  completion({true, closed ? std::vector<uint32_t>{} : std::vector<uint32_t>{node_}});
}

}  // namespace darvo::app
