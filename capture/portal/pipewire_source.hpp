// The chosen window's screen-cast stream, for the whole recording: one PipeWire connection to the
// node the portal gave, on a PipeWire thread loop of its own, whose frames go to the segment
// attached at the time. Between segments it stays connected, so that the window list knows
// whether the window is shown and how large it is, and a new segment starts from its last picture.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <asio/any_io_executor.hpp>

#include "capture/capture.hpp"
#include "capture/video_sink.hpp"

namespace darvo::capture::portal {

// Where one segment's frames and reports go.
struct SegmentTarget {
  std::shared_ptr<VideoSink> sink;
  std::shared_ptr<RecordingOutput> recording;  // the sink's owner
  std::shared_ptr<StreamOutput> screen;        // may be empty
  asio::any_io_executor screenExecutor;
  std::shared_ptr<StreamDelegate> delegate;  // may be empty
  int width = 0;                             // the segment's picture
  int height = 0;
  bool prepared = false;  // the sink has its size; the stream's thread only
};

// What the source knows of the window. Any thread.
struct SourceState {
  bool streaming = false;  // the compositor sends frames
  // The window is gone: the desktop ended the screen cast, or the compositor's stream went away
  // while no segment was recording.
  bool closed = false;
  bool ended = false;  // the stream failed, or went away, for good: no segment can start
  int width = 0;       // of the newest picture
  int height = 0;
};

class PipeWireSource {
 public:
  // The size of the first usable picture, or nothing when the stream failed before one came.
  using Ready = std::function<void(std::optional<std::pair<int, int>>)>;

  // Connects to `node` over `pipewire`, a PipeWire remote's descriptor (taken over). `ready` is
  // called once, on the stream's thread. Nothing when PipeWire cannot even be set up.
  static std::shared_ptr<PipeWireSource> start(int pipewire, uint32_t node, Ready ready);
  // Never destroyed while the process runs: its thread keeps running until the process ends.
  ~PipeWireSource();
  PipeWireSource(const PipeWireSource&) = delete;
  PipeWireSource& operator=(const PipeWireSource&) = delete;

  [[nodiscard]] SourceState state() const;
  // The desktop closed the screen cast (from the portal's thread). Frames and troubles that
  // follow are the window's going, not the stream's: nothing more is reported.
  void markClosed();

  // Main thread: frames go to `target` from now on, the first one the last picture seen. False
  // when the stream has ended.
  bool attach(std::shared_ptr<SegmentTarget> target);
  // Main thread: frames no longer go to `target`. True when it was still attached: its sink's
  // stream is then the caller's to end; otherwise the source has ended it (a pause, a failure).
  bool detach(const SegmentTarget& target);

  // The PipeWire objects and what its callbacks do, on the stream's thread only.
  struct Loop;

 private:
  PipeWireSource();

  mutable std::mutex mutex_;
  SourceState state_;                      // guarded by mutex_
  std::shared_ptr<SegmentTarget> target_;  // guarded by mutex_
  std::unique_ptr<Loop> loop_;
};

}  // namespace darvo::capture::portal
