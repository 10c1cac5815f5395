#include "app/x11_capture_service.hpp"

#include "capture/x11/x11_stream.hpp"
#include "recording/output/mp4_recording_output.hpp"

namespace darvo::app {

using capture::ContentCompletion;
using capture::ContentFilter;
using capture::RecordingOutput;
using capture::RecordingOutputConfiguration;
using capture::RecordingOutputDelegate;
using capture::Rect;
using capture::Stream;
using capture::StreamConfiguration;
using capture::StreamDelegate;
using capture::Window;
using capture::WindowInfoAnswer;
using capture::WindowNumbersAnswer;
using capture::x11::DisplayConnection;
using capture::x11::WindowQueries;

X11CaptureService::X11CaptureService(DisplayConnection connection)
    : queries_(std::make_shared<WindowQueries>(std::move(connection))) {}

void X11CaptureService::getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                            ContentCompletion completion) {
  auto job = [queries = queries_, excludingDesktopWindows, onScreenWindowsOnly, completion] {
    completion(capture::x11::queryShareableContent(queries->display(), excludingDesktopWindows,
                                                   onScreenWindowsOnly));
  };
  if (!queryThread_.tryRun(std::move(job))) {
    completion(capture::streamError(capture::kServerBusyCode));
  }
}

void X11CaptureService::windowInfo(uint32_t windowID,
                                   std::function<void(WindowInfoAnswer)> completion) {
  auto job = [queries = queries_, windowID, completion] {
    completion(WindowInfoAnswer{true, queries->windowInfo(windowID)});
  };
  if (!queryThread_.tryRun(std::move(job))) {
    completion(WindowInfoAnswer{false, std::nullopt});
  }
}

void X11CaptureService::allWindowNumbers(std::function<void(WindowNumbersAnswer)> completion) {
  auto job = [queries = queries_, completion] {
    completion(WindowNumbersAnswer{true, queries->allWindowNumbers()});
  };
  if (!queryThread_.tryRun(std::move(job))) {
    completion(WindowNumbersAnswer{false, std::nullopt});
  }
}

ContentFilter X11CaptureService::makeContentFilter(const Window& window) {
  return ContentFilter{window, Rect{0, 0, window.frame.width, window.frame.height}, 1.0F};
}

std::shared_ptr<Stream> X11CaptureService::makeStream(const ContentFilter& filter,
                                                      const StreamConfiguration& configuration,
                                                      std::shared_ptr<StreamDelegate> delegate) {
  return std::make_shared<capture::x11::X11Stream>(filter, configuration, std::move(delegate));
}

std::shared_ptr<RecordingOutput> X11CaptureService::makeRecordingOutput(
    const RecordingOutputConfiguration& configuration,
    std::shared_ptr<RecordingOutputDelegate> delegate) {
  return std::make_shared<recording::output::Mp4RecordingOutput>(configuration,
                                                                 std::move(delegate));
}

}  // namespace darvo::app
