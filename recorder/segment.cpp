// Opening one segment: its own stream, recording output and file.
#include "recorder/main_queue.hpp"
#include "recorder/segment_geometry.hpp"
#include "recorder/segment_output_delegate.hpp"
#include "recorder/window_recorder.hpp"

namespace darvo::recorder {

asio::awaitable<std::optional<capture::CaptureError>> WindowRecorder::beginSegment() {
  const capture::ContentFilter filter = captureService_.makeContentFilter(window);
  const auto size = segmentPixelSize(filter.contentRect, filter.pointPixelScale);
  if (!size) fail("invalid_geometry");

  capture::StreamConfiguration configuration;
  configuration.width = size->width;
  configuration.height = size->height;
  configuration.minimumFrameInterval = {1, 15};
  configuration.showsCursor = true;
  configuration.capturesAudio = false;
  configuration.captureMicrophone = false;
  configuration.scalesToFit = true;
  configuration.ignoreShadowsSingleWindow = true;

  auto newStream = captureService_.makeStream(filter, configuration, shared_from_this());
  if (auto error = newStream->addStreamOutput(shared_from_this(), capture::StreamOutputType::screen,
                                              mainQueue_.get_executor())) {
    co_return error;
  }
  segmentPath = segmentFilePath(basePath, segment);
  const capture::RecordingOutputConfiguration outputConfiguration{
      segmentPath, capture::VideoCodec::h264, capture::FileType::mpeg4};
  const uint64_t generation = recordingGeneration_ + 1;
  auto output = captureService_.makeRecordingOutput(
      outputConfiguration, std::make_shared<SegmentOutputDelegate>(shared_from_this(), generation));
  if (auto error = newStream->addRecordingOutput(output)) co_return error;

  stream = newStream;
  recording = output;
  recordingGeneration_ = generation;
  unwrittenOutputs_.emplace(generation, output);
  auto error = co_await startCaptureOf(newStream);
  // A capture that never started never ends the output's stream: nothing to wait for.
  if (error) closeOutput(generation);
  co_return error;
}

}  // namespace darvo::recorder
