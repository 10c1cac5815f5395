#include "recording/output/mp4_recording_output.hpp"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

namespace darvo::recording::output {
namespace {

using Ticks = std::chrono::duration<int64_t, std::ratio<1, kTimeBase.den>>;

// Longer idle gaps (a stalled clock, bogus capture times) are bridged by one frame, not filled.
constexpr std::chrono::minutes kLongestFilledGap{10};
// Two pictures closer than this would be near duplicates that players and muxers with a coarser
// clock see as one instant; the earlier picture simply lasts a little longer instead.
constexpr int64_t kShortestSpacing = kLatestFrameDuration / 2;

}  // namespace

Mp4RecordingOutput::Mp4RecordingOutput(capture::RecordingOutputConfiguration configuration,
                                       std::shared_ptr<capture::RecordingOutputDelegate> delegate,
                                       EncoderSettings settings)
    : configuration_(std::move(configuration)),
      delegate_(std::move(delegate)),
      settings_(std::move(settings)) {
  if (!delegate_) {
    throw std::invalid_argument("a recording output needs a delegate");
  }
  free_.reserve(kQueueCapacity + 2);
  thread_ = std::thread([this] { run(); });
}

Mp4RecordingOutput::~Mp4RecordingOutput() {
  {
    const std::lock_guard lock(mutex_);
    // Once its end was requested, the file is completed whoever lets go of the output.
    quit_ = !endRequested_;
  }
  wake_.notify_all();
  // The delegate may drop the last reference from its callback, on our own thread.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

double Mp4RecordingOutput::recordedDuration() const {
  return progress_.secondsWritten.load();
}

int64_t Mp4RecordingOutput::recordedFileSize() const {
  return progress_.bytesWritten.load();
}

std::string Mp4RecordingOutput::failureReason() const {
  const std::lock_guard lock(mutex_);
  return failureReason_;
}

void Mp4RecordingOutput::prepare(int width, int height) {
  std::optional<OutputFailure> failure;
  try {
    if (converter_) {
      return;  // the size is fixed for the segment
    }
    converter_.emplace(width, height);
    // One picture per queue slot, one being filled, one being encoded or repeated.
    for (int i = 0; i < kQueueCapacity + 2; ++i) {
      pool_.push_back(allocatePicture(width, height));
    }
  } catch (const std::invalid_argument& error) {
    failure.emplace(capture::kEncoderCode, error.what());
  } catch (const std::exception& error) {
    failure.emplace(capture::kInternalErrorCode, error.what());
  }
  {
    const std::lock_guard lock(mutex_);
    if (failure) {
      pendingFailure_ = std::move(failure);
    } else {
      for (const FramePtr& frame : pool_) {
        free_.push_back(frame.get());
      }
      prepared_ = true;
    }
    wake_.notify_one();
  }
}

bool Mp4RecordingOutput::acceptsFramesLocked() const {
  return prepared_ && !endRequested_ && !threadEnded_ && queueCount_ < kQueueCapacity &&
         !free_.empty();
}

bool Mp4RecordingOutput::hasRoom() {
  const std::lock_guard lock(mutex_);
  if (acceptsFramesLocked()) {
    return true;
  }
  ++dropped_;
  return false;
}

void Mp4RecordingOutput::dropFrame(AVFrame* frame) {
  const std::lock_guard lock(mutex_);
  free_.push_back(frame);
  ++dropped_;
}

void Mp4RecordingOutput::submit(const capture::PixelImage& image,
                                capture::CaptureClock::time_point capturedAt) {
  // Every image counts, dropped or not: the pictures catch up on its changes. Scaled, an image
  // may change any picture's pixel.
  const bool unscaled = converter_ && converter_->fitsUnscaled(image.width, image.height);
  updates_.addImage(unscaled ? image.changedAreas : std::nullopt);
  AVFrame* frame = nullptr;
  {
    const std::lock_guard lock(mutex_);
    if (!acceptsFramesLocked()) {
      ++dropped_;
      return;
    }
    frame = free_.back();
    free_.pop_back();
  }
  // Converted outside the lock: this is the costly part and the encoder must not wait for it.
  // Images dropped since the picture queued last count too: libx264 compares with that one.
  std::optional<std::vector<capture::ImageArea>> sinceQueued;
  try {
    const auto stale = updates_.staleAreas(frame);
    if (lastQueued_ != nullptr) {
      sinceQueued = updates_.staleAreas(lastQueued_);
    }
    updates_.forget(frame);  // until it is drawn
    if (!stale || !converter_->convertAreas(image, *frame, *stale)) {
      converter_->convert(image, *frame);
    }
    updates_.showsLatest(frame);
  } catch (const std::exception&) {
    dropFrame(frame);  // an unreadable image costs one frame, not the recording
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    if (endRequested_ || threadEnded_ || queueCount_ >= kQueueCapacity) {
      free_.push_back(frame);
      ++dropped_;
      return;
    }
    Item& item = queue_[(queueHead_ + queueCount_) % kQueueCapacity];
    item.frame = frame;
    item.capturedAt = capturedAt;
    item.changedAreas = std::move(sinceQueued);
    ++queueCount_;
    lastQueued_ = frame;
    wake_.notify_one();
  }
}

void Mp4RecordingOutput::endOfStream(capture::CaptureClock::time_point at) {
  const std::lock_guard lock(mutex_);
  if (endRequested_) {
    return;
  }
  endRequested_ = true;
  endAt_ = at;
  wake_.notify_one();
}

void Mp4RecordingOutput::run() {
  std::optional<capture::CaptureError> failure;
  bool finished = false;
  std::string reason;
  try {
    finished = encodeUntilEnd();
  } catch (const OutputFailure& error) {
    failure = capture::streamError(error.code());
    reason = error.what();
  } catch (const std::exception& error) {
    failure = capture::CaptureError{capture::kStreamErrorDomain, capture::kInternalErrorCode};
    reason = error.what();
  } catch (...) {
    failure = capture::CaptureError{capture::kStreamErrorDomain, capture::kInternalErrorCode};
    reason = "unknown exception";
  }
  writer_.reset();  // a file that failed is let go of before anyone hears of it
  {
    const std::lock_guard lock(mutex_);
    threadEnded_ = true;
    failureReason_ = std::move(reason);
  }
  if (!finished && !failure) {
    return;  // told to quit: nobody is waiting for a report
  }
  // The delegate may destroy this output: only locals from here on.
  const std::shared_ptr<capture::RecordingOutputDelegate> delegate = delegate_;
  try {
    if (failure) {
      delegate->recordingOutputDidFail(*failure);
    } else {
      delegate->recordingOutputDidFinish();
    }
  } catch (...) {
    // The delegate's own exception has nowhere to go on this thread.
  }
}

bool Mp4RecordingOutput::encodeUntilEnd() {
  std::unique_lock lock(mutex_);
  while (true) {
    if (quit_) {
      return false;
    }
    if (pendingFailure_) {
      throw *pendingFailure_;
    }
    if (queueCount_ > 0) {
      const Item item = std::move(queue_[queueHead_]);
      queueHead_ = (queueHead_ + 1) % kQueueCapacity;
      --queueCount_;
      lock.unlock();
      encodeCaptured(item);
      lock.lock();
    } else if (endRequested_) {
      const capture::CaptureClock::time_point at = endAt_;
      lock.unlock();
      finishSegment(at);
      return true;
    } else if (!writer_) {
      wake_.wait(lock);
    } else if (const auto deadline = lastTime_ + kRepeatInterval;
               capture::CaptureClock::now() < deadline) {
      wake_.wait_until(lock, deadline);
    } else {
      lock.unlock();
      repeatUntil(capture::CaptureClock::now());
      lock.lock();
    }
  }
}

void Mp4RecordingOutput::encodeCaptured(const Item& item) {
  const bool firstFrame = !writer_;
  if (firstFrame) {
    writer_.emplace(configuration_.outputPath, item.frame->width, item.frame->height, settings_,
                    progress_);
    planner_.emplace(item.frame->width, item.frame->height, settings_);
    firstTime_ = item.capturedAt;
    lastTime_ = item.capturedAt;
  }
  encodeAt(*item.frame, item.capturedAt,
           item.changedAreas
               ? std::optional<std::span<const capture::ImageArea>>(*item.changedAreas)
               : std::nullopt);
  if (lastFrame_ != nullptr) {
    const std::lock_guard lock(mutex_);
    free_.push_back(lastFrame_);
  }
  lastFrame_ = item.frame;
  if (!startReported_ && writer_->hasWrittenPackets()) {
    // An encoder without delay gave the first frame's packet: put it in the file at once, so the
    // file plays from the moment we say it started.
    if (firstFrame) {
      writer_->flushFragment();
      bridgeAt_ = lastPts_ + kLatestFrameDuration;
    }
    startReported_ = true;
    delegate_->recordingOutputDidStart();
  }
}

void Mp4RecordingOutput::encodeAt(AVFrame& frame, capture::CaptureClock::time_point time,
                                  std::optional<std::span<const capture::ImageArea>> changedAreas) {
  // Timestamps must increase even when capture times repeat or step back.
  int64_t pts =
      std::max(std::chrono::duration_cast<Ticks>(time - firstTime_).count(), lastPts_ + 1);
  // The early fragment's single frame was given the default duration; if the next frame comes
  // later, the muxer would pull it forward to that end. The same picture fills the gap instead.
  if (bridgeAt_ >= 0 && pts - bridgeAt_ >= kShortestSpacing) {
    encodePicture(*lastFrame_, bridgeAt_, std::span<const capture::ImageArea>());
  }
  bridgeAt_ = -1;
  encodePicture(frame, std::max(pts, lastPts_ + 1), changedAreas);
  lastTime_ = std::max(lastTime_, time);
}

void Mp4RecordingOutput::encodePicture(
    AVFrame& frame, int64_t pts, std::optional<std::span<const capture::ImageArea>> changedAreas) {
  const auto time =
      firstTime_ + std::chrono::duration_cast<capture::CaptureClock::duration>(Ticks(pts));
  writer_->encode(frame, pts, planner_->next(changedAreas, lastFrame_, frame, time));
  lastPts_ = pts;
}

void Mp4RecordingOutput::repeatUntil(capture::CaptureClock::time_point time) {
  while (time - lastTime_ >= kRepeatInterval) {
    encodeAt(*lastFrame_,
             time - lastTime_ > kLongestFilledGap ? time : lastTime_ + kRepeatInterval);
  }
}

void Mp4RecordingOutput::finishSegment(capture::CaptureClock::time_point at) {
  if (!writer_) {
    return;  // no frame ever came: no file
  }
  repeatUntil(at);
  if (std::chrono::duration_cast<Ticks>(at - lastTime_).count() >= kShortestSpacing) {
    encodeAt(*lastFrame_, at);
  }
  writer_->finish();
}

}  // namespace darvo::recording::output
