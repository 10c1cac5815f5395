// A scripted stand-in for the capture service: every call is recorded, every completion and
// report is triggered by the test, on the test's thread.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
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
    if (refuseStreamOutput) return refuseStreamOutput;
    streamOutput = std::move(output);
    return std::nullopt;
  }
  std::optional<capture::CaptureError> addRecordingOutput(
      std::shared_ptr<capture::RecordingOutput> output) override {
    if (refuseRecordingOutput) return refuseRecordingOutput;
    recordingOutput = std::move(output);
    return std::nullopt;
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
  std::shared_ptr<capture::RecordingOutput> recordingOutput;
  std::optional<capture::CaptureError> refuseStreamOutput;
  std::optional<capture::CaptureError> refuseRecordingOutput;
  capture::Completion startCompletion;
  capture::Completion stopCompletion;
  int stopRequests = 0;
  bool throwOnStop = false;
};

class ScriptedWindowList : public capture::WindowListService {
 public:
  std::optional<capture::WindowListEntry> windowInfo(uint32_t windowID) override {
    const auto found = entries.find(windowID);
    if (found == entries.end()) return std::nullopt;
    return found->second;
  }
  std::optional<std::vector<uint32_t>> allWindowNumbers() override { return allNumbers; }

  std::map<uint32_t, capture::WindowListEntry> entries;
  std::optional<std::vector<uint32_t>> allNumbers = std::vector<uint32_t>{};
};

class ScriptedCaptureService : public capture::CaptureService {
 public:
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           capture::ContentCompletion completion) override {
    contentRequests.push_back({excludingDesktopWindows, onScreenWindowsOnly});
    if (content) {
      completion(*content);
    } else {
      completion(capture::CaptureError{"scripted", 1});
    }
  }
  capture::ContentFilter makeContentFilter(const capture::Window& window) override {
    return {window,
            filterRect.value_or(capture::Rect{0, 0, window.frame.width, window.frame.height}),
            pointPixelScale};
  }
  std::shared_ptr<capture::Stream> makeStream(
      const capture::ContentFilter& /*filter*/, const capture::StreamConfiguration& configuration,
      std::shared_ptr<capture::StreamDelegate> delegate) override {
    auto stream = std::make_shared<ScriptedStream>(configuration, std::move(delegate));
    stream->refuseStreamOutput = nextStreamRefusesOutput;
    stream->refuseRecordingOutput = nextStreamRefusesRecording;
    streams.push_back(stream);
    return stream;
  }
  std::shared_ptr<capture::RecordingOutput> makeRecordingOutput(
      const capture::RecordingOutputConfiguration& configuration,
      std::shared_ptr<capture::RecordingOutputDelegate> delegate) override {
    auto output = std::make_shared<ScriptedRecordingOutput>(configuration, std::move(delegate));
    outputs.push_back(output);
    return output;
  }
  capture::WindowListService& windowList() override { return windows; }

  std::optional<capture::ShareableContent> content;
  std::optional<capture::Rect> filterRect;
  float pointPixelScale = 1.0F;
  std::optional<capture::CaptureError> nextStreamRefusesOutput;
  std::optional<capture::CaptureError> nextStreamRefusesRecording;
  std::vector<std::pair<bool, bool>> contentRequests;
  std::vector<std::shared_ptr<ScriptedStream>> streams;
  std::vector<std::shared_ptr<ScriptedRecordingOutput>> outputs;
  ScriptedWindowList windows;
};

}  // namespace darvo::testing
