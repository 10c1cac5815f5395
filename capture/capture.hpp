// The window-capture boundary: everything the recorder needs from the platform's capture
// service, as plain types and interfaces. Its capture services live in capture/x11 (X11 windows)
// and capture/portal (the desktop portal and PipeWire), the recording output that encodes and
// writes the files in recording/output; tests drive the recorder through a scripted
// implementation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <asio/any_io_executor.hpp>

namespace darvo::capture {

// A rectangle in root-window coordinates (origin top left, y downwards), in points; one point is
// one pixel on X11.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

struct RunningApplication {
  std::string applicationName;
  std::string bundleIdentifier;
  int32_t processID = 0;
};

struct Window {
  uint32_t windowID = 0;
  Rect frame;
  // 0 for normal and dialog windows; anything else for docks, menus, tooltips, notifications,
  // override-redirect windows and windows kept above.
  int64_t windowLayer = 0;
  std::optional<RunningApplication> owningApplication;
};

struct ShareableContent {
  std::vector<Window> windows;  // front to back
};

// An error reported by the capture service: a short domain text of the layer's own and a code.
struct CaptureError {
  std::string domain;
  int64_t code = 0;
};

// The domain of the errors the X11 capture reports, and the code with which a stream reports that
// the system stopped it (on X11: the window was unmapped; on the portal: the compositor paused the
// stream).
inline constexpr const char* kStreamErrorDomain = "x11_capture";
inline constexpr int64_t kSystemStoppedStreamCode = -3821;
// Other codes of kStreamErrorDomain.
inline constexpr int64_t kConnectionFailedCode = 1;  // the X server could not be reached
inline constexpr int64_t kConnectionLostCode = 2;    // the connection broke during capture
inline constexpr int64_t kWindowGoneCode = 3;        // the window vanished before capture began
inline constexpr int64_t kCaptureSetupCode = 4;      // an extension or image request was refused
inline constexpr int64_t kOutputMismatchCode = 5;    // an output of another implementation
inline constexpr int64_t kInternalErrorCode = 6;     // an unexpected exception on a worker thread
inline constexpr int64_t kImageReadCode = 7;         // the window's pixels could not be read
inline constexpr int64_t kServerBusyCode = 8;  // the server has not answered an earlier query yet
// Codes of the recording output (same domain).
inline constexpr int64_t kFileExistsCode = 10;  // the segment path is taken; never overwritten
inline constexpr int64_t kFileOpenCode = 11;
inline constexpr int64_t kEncoderCode = 12;
inline constexpr int64_t kWriteCode = 13;  // a write or sync failed, the disk is full included

inline CaptureError streamError(int64_t code) {
  return CaptureError{kStreamErrorDomain, code};
}

// The domain of the screen-cast streams of the desktop portal and PipeWire; same codes.
inline constexpr const char* kPortalErrorDomain = "portal_capture";

inline CaptureError portalError(int64_t code) {
  return CaptureError{kPortalErrorDomain, code};
}

// Whether a stream of either capture stopped because the system stopped it (the window left the
// screen), not for an error.
inline bool isSystemStop(const CaptureError& error) {
  return (error.domain == kStreamErrorDomain || error.domain == kPortalErrorDomain) &&
         error.code == kSystemStoppedStreamCode;
}

// Completion of an asynchronous operation; empty on success. Called on a thread of the
// implementation's choosing.
using Completion = std::function<void(std::optional<CaptureError>)>;
using ContentCompletion = std::function<void(std::variant<ShareableContent, CaptureError>)>;

struct ContentFilter {
  Window window;
  Rect contentRect;
  float pointPixelScale = 1.0F;
};

// Media time as a rational number of seconds.
struct MediaTime {
  int64_t value = 0;
  int32_t timescale = 1;
};

struct StreamConfiguration {
  int width = 0;
  int height = 0;
  MediaTime minimumFrameInterval{1, 60};
  bool showsCursor = true;
};

// Frame status values carried by each sample; only `complete` marks new picture content.
enum class FrameStatus : int64_t {
  complete = 0,
  idle = 1,
  blank = 2,
  suspended = 3,
  started = 4,
  stopped = 5
};

struct FrameInfo {
  std::optional<int64_t> status;  // a FrameStatus value, absent when the sample carries none
};

// What the frame receiver learns of one captured sample; never the pixels.
struct SampleBuffer {
  bool valid = true;
  std::vector<FrameInfo> attachments;
};

// Always H.264 in fragmented MP4.
struct RecordingOutputConfiguration {
  std::string outputPath;
};

// Receives the stream's samples on the executor given to Stream::addStreamOutput.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void streamDidOutputSample(const SampleBuffer& sample) = 0;
};

// Called on any thread.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  virtual void streamDidStop(const CaptureError& error) = 0;
};

// Called on any thread.
class RecordingOutputDelegate {
 public:
  virtual ~RecordingOutputDelegate() = default;
  virtual void recordingOutputDidStart() = 0;
  virtual void recordingOutputDidFinish() = 0;
  virtual void recordingOutputDidFail(const CaptureError& error) = 0;
};

// Writes one segment file. Both readings are safe from any thread.
class RecordingOutput {
 public:
  virtual ~RecordingOutput() = default;
  // Seconds of video written so far; NaN when unknown.
  [[nodiscard]] virtual double recordedDuration() const = 0;
  // Bytes written to the file so far.
  [[nodiscard]] virtual int64_t recordedFileSize() const = 0;
};

class Stream {
 public:
  virtual ~Stream() = default;
  virtual std::optional<CaptureError> addStreamOutput(std::shared_ptr<StreamOutput> output,
                                                      asio::any_io_executor sampleHandlerQueue) = 0;
  virtual std::optional<CaptureError> addRecordingOutput(
      std::shared_ptr<RecordingOutput> output) = 0;
  // A successful stop is always followed by the recording output's finish or failure.
  virtual void startCapture(Completion completion) = 0;
  virtual void stopCapture(Completion completion) = 0;
};

// What the window-list service knows of one window.
struct WindowListEntry {
  std::optional<Rect> bounds;
  std::optional<int64_t> ownerPID;
  bool isOnscreen = false;
};

// The window-list service's answers. `answered` is false when the server gave none in time (it
// stalls, or another client holds it grabbed): no news, which says nothing about the window.
struct WindowInfoAnswer {
  bool answered = true;
  std::optional<WindowListEntry> entry;  // nothing when the window no longer exists
};
struct WindowNumbersAnswer {
  bool answered = true;
  std::optional<std::vector<uint32_t>> numbers;  // nothing when the list cannot be had
};

// Queries of the windows that exist now. Called on the main thread; each completion is called
// once, on any thread, and may come late or never when the server does not answer: the caller
// keeps its own deadline. A query made while an earlier one still waits for the server is
// answered at once, unanswered.
class WindowListService {
 public:
  virtual ~WindowListService() = default;
  virtual void windowInfo(uint32_t windowID, std::function<void(WindowInfoAnswer)> completion) = 0;
  // The numbers of all windows.
  virtual void allWindowNumbers(std::function<void(WindowNumbersAnswer)> completion) = 0;
};

class CaptureService {
 public:
  virtual ~CaptureService() = default;
  virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                   ContentCompletion completion) = 0;
  virtual ContentFilter makeContentFilter(const Window& window) = 0;
  virtual std::shared_ptr<Stream> makeStream(const ContentFilter& filter,
                                             const StreamConfiguration& configuration,
                                             std::shared_ptr<StreamDelegate> delegate) = 0;
  virtual std::shared_ptr<RecordingOutput> makeRecordingOutput(
      const RecordingOutputConfiguration& configuration,
      std::shared_ptr<RecordingOutputDelegate> delegate) = 0;
  virtual WindowListService& windowList() = 0;
};

}  // namespace darvo::capture
