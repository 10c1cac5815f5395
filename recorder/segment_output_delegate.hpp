// Forwards one segment's recording-output reports to the recorder on the main queue.
#pragma once

#include <memory>

#include <asio/post.hpp>

#include "recorder/window_recorder.hpp"

namespace darvo::recorder {

// Called on the encoder thread; touches no recorder state there.
class SegmentOutputDelegate : public capture::RecordingOutputDelegate {
 public:
  SegmentOutputDelegate(std::shared_ptr<WindowRecorder> recorder, uint64_t generation)
      : recorder_(std::move(recorder)), generation_(generation) {}

  void recordingOutputDidStart() override {
    // The start time is taken here, before the hop, as the moment the output reported it.
    const double startedAtMs = recorder_->wallClockMilliseconds();
    asio::post(recorder_->mainQueue(),
               [recorder = recorder_, startedAtMs] { recorder->segmentDidStart(startedAtMs); });
  }

  void recordingOutputDidFinish() override {
    asio::post(recorder_->mainQueue(), [recorder = recorder_, generation = generation_] {
      recorder->segmentDidFinish(generation);
    });
  }

  void recordingOutputDidFail(const capture::CaptureError& /*error*/) override {
    asio::post(recorder_->mainQueue(), [recorder = recorder_, generation = generation_] {
      recorder->segmentDidFail(generation);
    });
  }

 private:
  std::shared_ptr<WindowRecorder> recorder_;
  uint64_t generation_;
};

}  // namespace darvo::recorder
