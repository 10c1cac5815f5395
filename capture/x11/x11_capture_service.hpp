// The capture service on X11: window queries on the main thread's connection, a capture thread
// per stream and an FFmpeg encoder thread per recording output.
#pragma once

#include <memory>

#include "capture/capture.hpp"
#include "capture/x11/connection.hpp"
#include "capture/x11/window_query.hpp"

namespace darvo::capture::x11 {

// Main thread only (the streams and outputs it makes run threads of their own).
class X11CaptureService final : public CaptureService {
 public:
  // Takes over `first` (kept open since the access check, so a bare server that resets when its
  // last client leaves never sees us leave) and opens a second connection for the window list.
  // Nothing when that cannot be had.
  static std::unique_ptr<X11CaptureService> connect(DisplayConnection first);

  // Completes at once, on the calling thread.
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override;
  // The window alone, at its size in the content just fetched, one pixel per point.
  ContentFilter makeContentFilter(const Window& window) override;
  std::shared_ptr<Stream> makeStream(const ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     std::shared_ptr<StreamDelegate> delegate) override;
  std::shared_ptr<RecordingOutput> makeRecordingOutput(
      const RecordingOutputConfiguration& configuration,
      std::shared_ptr<RecordingOutputDelegate> delegate) override;
  WindowListService& windowList() override { return windowList_; }

 private:
  X11CaptureService(DisplayConnection queries, DisplayConnection windowList);

  DisplayConnection queries_;
  X11WindowList windowList_;
};

}  // namespace darvo::capture::x11
