// The recording output: frames from a capture thread (X11's, or PipeWire's) are converted, queued
// and encoded on a thread of its own into one fragmented H.264 MP4 file.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture.hpp"
#include "capture/video_sink.hpp"
#include "recording/output/ffmpeg_handles.hpp"
#include "recording/output/frame_converter.hpp"
#include "recording/output/picture_plan.hpp"
#include "recording/output/picture_updates.hpp"
#include "recording/output/segment_writer.hpp"

namespace darvo::recording::output {

class Mp4RecordingOutput final : public capture::RecordingOutput, public capture::VideoSink {
 public:
  static constexpr int kQueueCapacity = 3;
  // While no frame comes, the last picture is written again this often.
  static constexpr std::chrono::seconds kRepeatInterval{1};

  Mp4RecordingOutput(capture::RecordingOutputConfiguration configuration,
                     std::shared_ptr<capture::RecordingOutputDelegate> delegate,
                     EncoderSettings settings = {});
  // Waits for the file to be completed and reported when endOfStream() came; otherwise stops the
  // encoder thread without completing the file (what is written stays playable).
  ~Mp4RecordingOutput() override;
  Mp4RecordingOutput(const Mp4RecordingOutput&) = delete;
  Mp4RecordingOutput& operator=(const Mp4RecordingOutput&) = delete;

  // Any thread.
  [[nodiscard]] double recordedDuration() const override;
  [[nodiscard]] int64_t recordedFileSize() const override;
  // Frames refused by hasRoom() or submit(): the queue was full, the image unusable, or the
  // output no longer records. Any thread.
  [[nodiscard]] int64_t droppedFrames() const { return dropped_.load(); }
  // Why the output failed, for logs; empty unless it did. Any thread.
  [[nodiscard]] std::string failureReason() const;

  // Capture thread. A size that is odd or out of range makes the output fail (kEncoderCode).
  void prepare(int width, int height) override;
  bool hasRoom() override;
  void submit(const capture::PixelImage& image,
              capture::CaptureClock::time_point capturedAt) override;
  // Any thread; takes the lock, so a frame submitted after it is dropped.
  void endOfStream(capture::CaptureClock::time_point at) override;

 private:
  struct Item {
    AVFrame* frame = nullptr;
    capture::CaptureClock::time_point capturedAt;
    // Where it may differ from the picture queued before it; nullopt when that is not known.
    std::optional<std::vector<capture::ImageArea>> changedAreas;
  };

  // Encoder thread.
  void run();
  bool encodeUntilEnd();
  void encodeCaptured(const Item& item);
  // `changedAreas`: as Item's; by default nothing changed (the same picture again).
  void encodeAt(AVFrame& frame, capture::CaptureClock::time_point time,
                std::optional<std::span<const capture::ImageArea>> changedAreas =
                    std::span<const capture::ImageArea>());
  void encodePicture(AVFrame& frame, int64_t pts,
                     std::optional<std::span<const capture::ImageArea>> changedAreas);
  void repeatUntil(capture::CaptureClock::time_point time);
  void finishSegment(capture::CaptureClock::time_point at);

  // Capture thread; takes the lock.
  bool acceptsFramesLocked() const;
  void dropFrame(AVFrame* frame);

  const capture::RecordingOutputConfiguration configuration_;
  const std::shared_ptr<capture::RecordingOutputDelegate> delegate_;
  const EncoderSettings settings_;
  SegmentProgress progress_;
  std::atomic<int64_t> dropped_{0};

  // Capture thread only.
  std::optional<FrameConverter> converter_;
  PictureUpdates updates_;
  std::vector<FramePtr> pool_;           // every picture; allocated once in prepare()
  const AVFrame* lastQueued_ = nullptr;  // the newest picture queued: never free

  mutable std::mutex mutex_;
  // Notified under mutex_: once woken, the thread may end and its delegate destroy this output.
  std::condition_variable wake_;
  // Guarded by mutex_.
  std::vector<AVFrame*> free_;
  std::array<Item, kQueueCapacity> queue_;
  int queueHead_ = 0;
  int queueCount_ = 0;
  bool prepared_ = false;
  bool endRequested_ = false;
  capture::CaptureClock::time_point endAt_;
  bool quit_ = false;
  bool threadEnded_ = false;
  std::optional<OutputFailure> pendingFailure_;  // found on the capture thread, reported by ours
  std::string failureReason_;

  // Encoder thread only.
  std::optional<SegmentWriter> writer_;
  std::optional<PicturePlanner> planner_;
  capture::CaptureClock::time_point firstTime_;
  capture::CaptureClock::time_point lastTime_;
  int64_t lastPts_ = -1;
  AVFrame* lastFrame_ = nullptr;
  bool startReported_ = false;
  int64_t bridgeAt_ = -1;  // where the early first fragment ends, until the next frame

  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace darvo::recording::output
