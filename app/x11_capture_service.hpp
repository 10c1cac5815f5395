// The capture service the helper runs on: X11 window queries and streams on the main thread's
// connection and a capture thread per stream, FFmpeg recording outputs with an encoder thread
// each.
#pragma once

#include <memory>

#include "capture/capture.hpp"
#include "capture/x11/connection.hpp"
#include "capture/x11/window_query.hpp"

namespace darvo::app {

// Main thread only (the streams and outputs it makes run threads of their own).
class X11CaptureService final : public capture::CaptureService {
 public:
  // Takes over `first` (kept open since the access check, so a bare server that resets when its
  // last client leaves never sees us leave) and opens a second connection for the window list.
  // Nothing when that cannot be had.
  static std::unique_ptr<X11CaptureService> connect(capture::x11::DisplayConnection first);

  // Completes at once, on the calling thread.
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           capture::ContentCompletion completion) override;
  // The window alone, at its size in the content just fetched, one pixel per point.
  capture::ContentFilter makeContentFilter(const capture::Window& window) override;
  std::shared_ptr<capture::Stream> makeStream(
      const capture::ContentFilter& filter, const capture::StreamConfiguration& configuration,
      std::shared_ptr<capture::StreamDelegate> delegate) override;
  std::shared_ptr<capture::RecordingOutput> makeRecordingOutput(
      const capture::RecordingOutputConfiguration& configuration,
      std::shared_ptr<capture::RecordingOutputDelegate> delegate) override;
  capture::WindowListService& windowList() override { return windowList_; }

 private:
  X11CaptureService(capture::x11::DisplayConnection queries,
                    capture::x11::DisplayConnection windowList);

  capture::x11::DisplayConnection queries_;
  capture::x11::X11WindowList windowList_;
};

}  // namespace darvo::app
