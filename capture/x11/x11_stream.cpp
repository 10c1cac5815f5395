#include "capture/x11/x11_stream.hpp"

#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "capture/x11/window_capture.hpp"

namespace darvo::capture::x11 {

namespace {

// A completion or delegate that throws must not keep the others from running.
template <typename Call>
void callQuietly(Call&& call) {
  try {
    std::forward<Call>(call)();
  } catch (...) {  // NOLINT(bugprone-empty-catch): nobody is left to tell
  }
}

}  // namespace

X11Stream::X11Stream(const ContentFilter& filter, const StreamConfiguration& configuration,
                     std::shared_ptr<StreamDelegate> delegate)
    : window_(filter.window.windowID), configuration_(configuration) {
  outputs_.delegate = std::move(delegate);
}

X11Stream::~X11Stream() {
  if (!thread_.joinable()) {
    return;
  }
  control_->requestQuit();
  // Dropped by a completion on the capture thread, or held by the X server: it owns what it uses.
  if (thread_.get_id() == std::this_thread::get_id() || control_->abandoned()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

std::optional<CaptureError> X11Stream::addStreamOutput(std::shared_ptr<StreamOutput> output,
                                                       asio::any_io_executor sampleHandlerQueue) {
  if (started_) {
    return streamError(kCaptureSetupCode);
  }
  outputs_.screen = std::move(output);
  outputs_.screenExecutor = std::move(sampleHandlerQueue);
  return std::nullopt;
}

std::optional<CaptureError> X11Stream::addRecordingOutput(std::shared_ptr<RecordingOutput> output) {
  if (started_) {
    return streamError(kCaptureSetupCode);
  }
  auto sink = std::dynamic_pointer_cast<VideoSink>(output);
  if (!sink || outputs_.sink) {
    return streamError(kOutputMismatchCode);
  }
  sink_ = sink;
  outputs_.sink = std::move(sink);
  outputs_.recording = std::move(output);
  return std::nullopt;
}

void X11Stream::startCapture(Completion completion) {
  if (!completion) {
    completion = [](const std::optional<CaptureError>&) {};
  }
  if (started_) {
    completion(streamError(kInternalErrorCode));
    return;
  }
  started_ = true;
  try {
    control_ = std::make_shared<CaptureControl>();
    thread_ = std::thread(&X11Stream::captureThread, control_, window_, configuration_,
                          std::move(outputs_), completion);
  } catch (const std::exception&) {
    control_.reset();
    completion(streamError(kInternalErrorCode));
  }
}

void X11Stream::stopCapture(Completion completion) {
  if (!completion) {
    completion = [](const std::optional<CaptureError>&) {};
  }
  if (!started_) {
    completion(streamError(kInternalErrorCode));  // nothing to stop
    return;
  }
  if (!control_ || !control_->addStopCompletion(completion)) {
    completion(std::nullopt);  // the capture has ended already
    return;
  }
  control_->requestStop();
  watchStop(CaptureClock::now());
}

void X11Stream::watchStop(CaptureClock::time_point requestedAt) {
  try {
    std::thread([control = control_, sink = sink_, requestedAt] {
      callQuietly([&] {
        if (control->waitUntilEnded(requestedAt + kStopGrace)) {
          return;
        }
        if (control->claimStreamEnd() && sink) {
          callQuietly([&] { sink->endOfStream(requestedAt); });
        }
        for (Completion& completion : control->abandon()) {
          callQuietly([&] { completion(std::nullopt); });
        }
      });
    }).detach();
  } catch (const std::system_error&) {
    // Without a thread to watch, the stop waits for the capture thread as it always could.
  }
}

// The capture thread. It owns copies of everything it uses, so it may outlive the stream.
void X11Stream::captureThread(const std::shared_ptr<CaptureControl>& control, xcb_window_t window,
                              StreamConfiguration configuration, CaptureOutputs outputs,
                              Completion startCompletion) {
  std::optional<CaptureError> setupError;
  try {
    {
      WindowCapture capture(window, configuration, outputs, *control);
      setupError = capture.setUp();
      if (!setupError) {
        std::exchange(startCompletion, nullptr)(std::nullopt);
        capture.run();
      }
    }  // the X connection is closed before any completion runs
    if (setupError && !control->quitRequested()) {
      std::exchange(startCompletion, nullptr)(setupError);
    }
  } catch (...) {
    if (!control->quitRequested()) {
      if (startCompletion) {
        callQuietly([&] { startCompletion(streamError(kInternalErrorCode)); });
      } else if (control->claimStreamEnd()) {
        callQuietly([&] { outputs.end(kInternalErrorCode); });
      }
    }
  }
  std::vector<Completion> stopCompletions = control->markEnded();
  if (control->quitRequested()) {
    return;
  }
  for (Completion& completion : stopCompletions) {
    callQuietly([&] { completion(std::nullopt); });
  }
}

}  // namespace darvo::capture::x11
