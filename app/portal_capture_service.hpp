// The capture service of a window chosen through the desktop portal: its frames from the
// recording's PipeWire source, FFmpeg recording outputs, and a window list that knows only that
// window, from what the source saw (no server is asked).
#pragma once

#include <cstdint>
#include <memory>

#include "capture/capture.hpp"
#include "capture/portal/pipewire_source.hpp"

namespace darvo::app {

// Main thread only; every completion runs at once, on the calling thread.
class PortalCaptureService final : public capture::CaptureService,
                                   public capture::WindowListService {
 public:
  PortalCaptureService(std::shared_ptr<capture::portal::PipeWireSource> source, uint32_t node);

  // The chosen window, at its newest size, while the screen cast lasts (and, with
  // `onScreenWindowsOnly`, while frames come).
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           capture::ContentCompletion completion) override;
  capture::ContentFilter makeContentFilter(const capture::Window& window) override;
  std::shared_ptr<capture::Stream> makeStream(
      const capture::ContentFilter& filter, const capture::StreamConfiguration& configuration,
      std::shared_ptr<capture::StreamDelegate> delegate) override;
  std::shared_ptr<capture::RecordingOutput> makeRecordingOutput(
      const capture::RecordingOutputConfiguration& configuration,
      std::shared_ptr<capture::RecordingOutputDelegate> delegate) override;
  capture::WindowListService& windowList() override { return *this; }

  // Wayland tells no one where a window is, nor whose it is: no bounds, no owner. On screen while
  // frames come; gone once the screen cast is closed.
  void windowInfo(uint32_t windowID,
                  std::function<void(capture::WindowInfoAnswer)> completion) override;
  void allWindowNumbers(std::function<void(capture::WindowNumbersAnswer)> completion) override;

  // The chosen window as the recorder knows it.
  [[nodiscard]] capture::Window window() const;

 private:
  std::shared_ptr<capture::portal::PipeWireSource> source_;
  uint32_t node_;
};

}  // namespace darvo::app
