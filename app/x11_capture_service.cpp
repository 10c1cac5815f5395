#include "app/x11_capture_service.hpp"

#include "capture/ffmpeg/ffmpeg_recording_output.hpp"
#include "capture/x11/x11_stream.hpp"

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
using capture::x11::DisplayConnection;

std::unique_ptr<X11CaptureService> X11CaptureService::connect(DisplayConnection first) {
  auto windowList = capture::x11::connectToDisplay();
  auto* windowListConnection = std::get_if<DisplayConnection>(&windowList);
  if (windowListConnection == nullptr) return nullptr;
  return std::unique_ptr<X11CaptureService>(
      new X11CaptureService(std::move(first), std::move(*windowListConnection)));
}

X11CaptureService::X11CaptureService(DisplayConnection queries, DisplayConnection windowList)
    : queries_(std::move(queries)), windowList_(std::move(windowList)) {}

void X11CaptureService::getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                            ContentCompletion completion) {
  completion(
      capture::x11::queryShareableContent(queries_, excludingDesktopWindows, onScreenWindowsOnly));
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
  return std::make_shared<capture::ffmpeg::FfmpegRecordingOutput>(configuration,
                                                                  std::move(delegate));
}

}  // namespace darvo::app
