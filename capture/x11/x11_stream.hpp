// The capture stream of one X11 window: a capture thread with its own X connection reads the
// window through Composite whenever Damage reports a change, and hands the pixels to the
// recording output's VideoSink.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include <xcb/xcb.h>

#include "capture/capture.hpp"
#include "capture/video_sink.hpp"
#include "capture/x11/capture_control.hpp"
#include "capture/x11/capture_outputs.hpp"

namespace darvo::capture::x11 {

// Public methods: main thread. The delegate, the sink and every completion are called on the
// capture thread (a completion may also run at once on the caller's thread, when there is
// nothing to wait for). Outputs must be added before startCapture.
class X11Stream final : public Stream {
 public:
  X11Stream(const ContentFilter& filter, const StreamConfiguration& configuration,
            std::shared_ptr<StreamDelegate> delegate);
  // Ends the capture thread without reporting anything to the delegate or the sink. Never waits
  // for a thread that a stop gave up on: it owns what it uses and ends on its own.
  ~X11Stream() override;
  X11Stream(const X11Stream&) = delete;
  X11Stream& operator=(const X11Stream&) = delete;

  // Only the screen output is used; others are accepted and ignored.
  std::optional<CaptureError> addStreamOutput(std::shared_ptr<StreamOutput> output,
                                              asio::any_io_executor sampleHandlerQueue) override;
  // The output must also be a VideoSink (kOutputMismatchCode otherwise); one at most.
  std::optional<CaptureError> addRecordingOutput(std::shared_ptr<RecordingOutput> output) override;
  // Completes with nothing once the window is redirected and its events selected; with
  // kConnectionFailedCode, kWindowGoneCode or kCaptureSetupCode (an unmapped window included)
  // otherwise, and then the sink is left untouched.
  void startCapture(Completion completion) override;
  // Ends the capture and the sink's stream; completes once the thread is done with X, at once
  // when the capture has already ended. A thread still held by the X server (one that stalls, or
  // that another client has grabbed) kStopGrace after the request is given up on: the sink's
  // stream is ended from here, at the time of the request, with the frames already captured, and
  // the stop completes; the thread later ends without touching the outputs. An error before
  // startCapture.
  void stopCapture(Completion completion) override;

  static constexpr std::chrono::milliseconds kStopGrace{1000};

 private:
  // Starts the watchdog of a stop requested at `requestedAt`.
  void watchStop(CaptureClock::time_point requestedAt);
  static void captureThread(const std::shared_ptr<CaptureControl>& control, xcb_window_t window,
                            StreamConfiguration configuration, CaptureOutputs outputs,
                            Completion startCompletion);

  const xcb_window_t window_;
  const StreamConfiguration configuration_;
  CaptureOutputs outputs_;                   // handed to the thread at start
  std::shared_ptr<VideoSink> sink_;          // the outputs' sink, for a stop's watchdog
  std::shared_ptr<CaptureControl> control_;  // made at start
  std::thread thread_;
  bool started_ = false;
};

}  // namespace darvo::capture::x11
