// A scripted stand-in for the capture service: every call is recorded, every completion and
// report is triggered by the test, on the test's thread.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "capture/capture.hpp"

namespace darvo::testing {

class ScriptedRecordingOutput : public capture::RecordingOutput {
 public:
  ScriptedRecordingOutput(capture::RecordingOutputConfiguration configuration,
                          std::shared_ptr<capture::RecordingOutputDelegate> delegate)
      : configuration(std::move(configuration)), delegate(std::move(delegate)) {}
  double recordedDuration() const override { return duration; }
  int64_t recordedFileSize() const override { return fileSize; }

  capture::RecordingOutputConfiguration configuration;
  std::shared_ptr<capture::RecordingOutputDelegate> delegate;
  double duration = 0;
  int64_t fileSize = 0;
};

class ScriptedStream : public capture::Stream {
 public:
  ScriptedStream(capture::StreamConfiguration configuration,
                 std::shared_ptr<capture::StreamDelegate> delegate)
      : configuration(configuration), delegate(std::move(delegate)) {}

  std::optional<capture::CaptureError> addStreamOutput(
      std::shared_ptr<capture::StreamOutput> output, asio::any_io_executor /*queue*/) override {
    if (!refuseStreamOutput) streamOutput = std::move(output);
    return refuseStreamOutput;
  }
  std::optional<capture::CaptureError> addRecordingOutput(
      std::shared_ptr<capture::RecordingOutput> /*output*/) override {
    return refuseRecordingOutput;
  }
  void startCapture(capture::Completion completion) override {
    startCompletion = std::move(completion);
  }
  void stopCapture(capture::Completion completion) override {
    ++stopRequests;
    if (throwOnStop) throw std::runtime_error("scripted");
    stopCompletion = std::move(completion);
  }

  capture::StreamConfiguration configuration;
  std::shared_ptr<capture::StreamDelegate> delegate;
  std::shared_ptr<capture::StreamOutput> streamOutput;
  std::optional<capture::CaptureError> refuseStreamOutput;
  std::optional<capture::CaptureError> refuseRecordingOutput;
  capture::Completion startCompletion;
  capture::Completion stopCompletion;
  int stopRequests = 0;
  bool throwOnStop = false;
};

// The capture service and its window list in one.
class ScriptedCaptureService : public capture::CaptureService, public capture::WindowListService {
 public:
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           capture::ContentCompletion completion) override {
    contentRequests.emplace_back(excludingDesktopWindows, onScreenWindowsOnly);
    if (content) return completion(*content);
    completion(capture::CaptureError{"scripted", 1});
  }
  capture::ContentFilter makeContentFilter(const capture::Window& window) override {
    return {window,
            filterRect.value_or(capture::Rect{0, 0, window.frame.width, window.frame.height}),
            pointPixelScale};
  }
  // The refusals set for the next stream are that stream's alone.
  std::shared_ptr<capture::Stream> makeStream(
      const capture::ContentFilter& /*filter*/, const capture::StreamConfiguration& configuration,
      std::shared_ptr<capture::StreamDelegate> delegate) override {
    auto stream = std::make_shared<ScriptedStream>(configuration, std::move(delegate));
    stream->refuseStreamOutput = std::exchange(nextStreamRefusesOutput, std::nullopt);
    stream->refuseRecordingOutput = std::exchange(nextStreamRefusesRecording, std::nullopt);
    return streams.emplace_back(stream);
  }
  std::shared_ptr<capture::RecordingOutput> makeRecordingOutput(
      const capture::RecordingOutputConfiguration& configuration,
      std::shared_ptr<capture::RecordingOutputDelegate> delegate) override {
    return outputs.emplace_back(
        std::make_shared<ScriptedRecordingOutput>(configuration, std::move(delegate)));
  }
  capture::WindowListService& windowList() override { return *this; }
  std::optional<capture::WindowListEntry> windowInfo(uint32_t windowID) override {
    const auto found = windowEntries.find(windowID);
    if (found == windowEntries.end()) return std::nullopt;
    return found->second;
  }
  std::optional<std::vector<uint32_t>> allWindowNumbers() override { return windowNumbers; }

  std::optional<capture::ShareableContent> content;
  std::optional<capture::Rect> filterRect;
  float pointPixelScale = 1.0F;
  std::optional<capture::CaptureError> nextStreamRefusesOutput;
  std::optional<capture::CaptureError> nextStreamRefusesRecording;
  std::vector<std::pair<bool, bool>> contentRequests;
  std::vector<std::shared_ptr<ScriptedStream>> streams;
  std::vector<std::shared_ptr<ScriptedRecordingOutput>> outputs;
  std::map<uint32_t, capture::WindowListEntry> windowEntries;
  std::optional<std::vector<uint32_t>> windowNumbers = std::vector<uint32_t>{};
};

}  // namespace darvo::testing
