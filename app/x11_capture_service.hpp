// The capture service the helper runs on: X11 window queries on a query thread, a capture thread
// per stream, FFmpeg recording outputs with an encoder thread each.
#pragma once

#include <functional>
#include <memory>

#include "capture/capture.hpp"
#include "capture/query_thread.hpp"
#include "capture/x11/connection.hpp"
#include "capture/x11/window_query.hpp"

namespace darvo::app {

// Main thread only (the streams and outputs it makes run threads of their own). Every question
// to the X server is asked on the query thread, so a server that stops answering never holds the
// main thread; completions come on that thread.
class X11CaptureService final : public capture::CaptureService, public capture::WindowListService {
 public:
  // Takes over `connection`, kept open since the access check, so a bare server that resets when
  // its last client leaves never sees us leave. Throws std::system_error when no thread can be
  // started.
  explicit X11CaptureService(capture::x11::DisplayConnection connection);

  // Fails with kServerBusyCode while an earlier question still waits for the server.
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
  capture::WindowListService& windowList() override { return *this; }

  void windowInfo(uint32_t windowID,
                  std::function<void(capture::WindowInfoAnswer)> completion) override;
  void allWindowNumbers(std::function<void(capture::WindowNumbersAnswer)> completion) override;

 private:
  // Used on the query thread only; shared with its jobs, which may outlive the service.
  std::shared_ptr<capture::x11::WindowQueries> queries_;
  capture::QueryThread queryThread_;
};

}  // namespace darvo::app
