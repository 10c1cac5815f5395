#include "capture/x11/x11_capture_service.hpp"

#include "capture/ffmpeg/ffmpeg_recording_output.hpp"
#include "capture/x11/x11_stream.hpp"

namespace darvo::capture::x11 {

std::unique_ptr<X11CaptureService> X11CaptureService::connect(DisplayConnection first) {
  auto windowList = connectToDisplay();
  auto* windowListConnection = std::get_if<DisplayConnection>(&windowList);
  if (windowListConnection == nullptr) return nullptr;
  return std::unique_ptr<X11CaptureService>(
      new X11CaptureService(std::move(first), std::move(*windowListConnection)));
}

X11CaptureService::X11CaptureService(DisplayConnection queries, DisplayConnection windowList)
    : queries_(std::move(queries)), windowList_(std::move(windowList)) {}

void X11CaptureService::getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                            ContentCompletion completion) {
  completion(queryShareableContent(queries_, excludingDesktopWindows, onScreenWindowsOnly));
}

ContentFilter X11CaptureService::makeContentFilter(const Window& window) {
  return ContentFilter{window, Rect{0, 0, window.frame.width, window.frame.height}, 1.0F};
}

std::shared_ptr<Stream> X11CaptureService::makeStream(const ContentFilter& filter,
                                                      const StreamConfiguration& configuration,
                                                      std::shared_ptr<StreamDelegate> delegate) {
  return std::make_shared<X11Stream>(filter, configuration, std::move(delegate));
}

std::shared_ptr<RecordingOutput> X11CaptureService::makeRecordingOutput(
    const RecordingOutputConfiguration& configuration,
    std::shared_ptr<RecordingOutputDelegate> delegate) {
  return std::make_shared<ffmpeg::FfmpegRecordingOutput>(configuration, std::move(delegate));
}

}  // namespace darvo::capture::x11
