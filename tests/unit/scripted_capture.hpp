// A scripted stand-in for the capture service: every call is recorded, every completion and
// report is triggered by the test, on the test's thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture.hpp"

namespace darvo::testing {

struct ScriptedRecordingOutput : capture::RecordingOutput {
  double recordedDuration() const override { return duration; }
  int64_t recordedFileSize() const override { return fileSize; }
  std::string path;
  std::shared_ptr<capture::RecordingOutputDelegate> delegate;
  double duration = 0;
  int64_t fileSize = 0;
};

struct ScriptedStream : capture::Stream {
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
  std::optional<capture::CaptureError> refuseStreamOutput, refuseRecordingOutput;
  capture::Completion startCompletion, stopCompletion;
  int stopRequests = 0;
  bool throwOnStop = false;
};

// The capture service and its window list in one.
struct ScriptedCaptureService : capture::CaptureService, capture::WindowListService {
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           capture::ContentCompletion completion) override {
    contentRequests.emplace_back(excludingDesktopWindows, onScreenWindowsOnly);
    content ? completion(*content) : completion(capture::CaptureError{"scripted", 1});
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
    auto& stream = streams.emplace_back(std::make_shared<ScriptedStream>());
    stream->configuration = configuration;
    stream->delegate = std::move(delegate);
    stream->refuseStreamOutput = std::exchange(nextStreamRefusesOutput, std::nullopt);
    stream->refuseRecordingOutput = std::exchange(nextStreamRefusesRecording, std::nullopt);
    return stream;
  }
  std::shared_ptr<capture::RecordingOutput> makeRecordingOutput(
      const capture::RecordingOutputConfiguration& configuration,
      std::shared_ptr<capture::RecordingOutputDelegate> delegate) override {
    auto& output = outputs.emplace_back(std::make_shared<ScriptedRecordingOutput>());
    output->path = configuration.outputPath;
    output->delegate = std::move(delegate);
    return output;
  }
  capture::WindowListService& windowList() override { return *this; }
  // Answered at once, unless the server is "stalled": then the completions are kept, unanswered.
  void windowInfo(uint32_t windowID,
                  std::function<void(capture::WindowInfoAnswer)> completion) override {
    ++windowQueries;
    if (stalled) return heldAnswers.push_back([completion] { completion({}); });
    const auto found = windowEntries.find(windowID);
    completion({true, found == windowEntries.end() ? std::nullopt : std::optional(found->second)});
  }
  void allWindowNumbers(std::function<void(capture::WindowNumbersAnswer)> completion) override {
    ++windowQueries;
    if (stalled) return heldAnswers.push_back([completion] { completion({}); });
    completion({true, windowNumbers});
  }

  std::optional<capture::ShareableContent> content;
  std::optional<capture::Rect> filterRect;
  float pointPixelScale = 1.0F;
  std::optional<capture::CaptureError> nextStreamRefusesOutput, nextStreamRefusesRecording;
  std::vector<std::pair<bool, bool>> contentRequests;
  std::vector<std::shared_ptr<ScriptedStream>> streams;
  std::vector<std::shared_ptr<ScriptedRecordingOutput>> outputs;
  std::map<uint32_t, capture::WindowListEntry> windowEntries;
  std::optional<std::vector<uint32_t>> windowNumbers = std::vector<uint32_t>{};
  bool stalled = false;
  int windowQueries = 0;
  std::vector<std::function<void()>> heldAnswers;  // each gives an answer of an empty list
};

}  // namespace darvo::testing
