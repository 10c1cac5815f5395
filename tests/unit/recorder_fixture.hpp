// A recorder wired to the scripted capture service, a fake clock and captured output lines.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "app/json_lines.hpp"
#include "recorder/window_recorder.hpp"
#include "scripted_capture.hpp"
#include "supervision/health_monitor.hpp"

namespace darvo::testing {

struct FakeOutlinePanel : supervision::OutlinePanel {
  void setFrame(const capture::Rect& panelFrame) override { frames.push_back(panelFrame); }
  void orderFrontRegardless() override { ++frontings; }
  void close() override { closed = true; }
  std::vector<capture::Rect> frames;
  int frontings = 0;
  bool closed = false;
};

class RecorderTest : public ::testing::Test {
 protected:
  // The recorder is built to live until the process ends; here its signal sets and timer must go
  // with the test's main queue, and the reference cycles it forms must be cut so that it goes at
  // all: it owns its stream and output, which own it as their delegate, and the completions they
  // keep hold its suspended tasks. Tasks still queued on `io` go when `io` does.
  ~RecorderTest() override {
    for (const auto& made : recorders) {
      made->signals.clear();
      made->health.reset();
      made->stream.reset();
      made->recording.reset();
    }
    for (const auto& made : service.streams) {
      made->delegate.reset();
      made->streamOutput.reset();
      made->recordingOutput.reset();
      made->startCompletion = nullptr;
      made->stopCompletion = nullptr;
    }
    for (const auto& made : service.outputs) made->delegate.reset();
    inputStop = nullptr;
  }

  static constexpr uint32_t kWindowID = 0x1a2b;
  static constexpr int32_t kOwnerPID = 4242;

  static capture::Window recordedWindow() {
    return {
        kWindowID, {100, 50, 800, 600}, 0, capture::RunningApplication{"app", "app", kOwnerPID}};
  }

  void makeRecorder(std::optional<double> duration = std::nullopt, bool showOutline = false,
                    capture::Window window = recordedWindow()) {
    recorder::RecorderPorts ports;
    ports.emit = [this](const app::JsonObject& object) {
      lines.push_back(app::serialize(object).value_or("<unserialisable>"));
    };
    ports.exit = [this](int status) {
      exitStatus = status;
      throw app::ProcessEnded{status};
    };
    ports.now = [this] { return now; };
    ports.startInputReader = [this](std::function<void()> requestStop) {
      inputStop = std::move(requestStop);
    };
    ports.makeOutline = [this](const capture::Rect&) {
      auto panel = std::make_unique<FakeOutlinePanel>();
      outlinePanel = panel.get();
      return panel;
    };
    ports.healthPeriod = std::chrono::hours(24);
    ports.segmentFinishTimeout = segmentFinishTimeout;
    ports.environment = [this](const char* name) -> std::optional<std::string> {
      const auto found = environment.find(name);
      if (found == environment.end()) return std::nullopt;
      return found->second;
    };
    service.windows.entries[window.windowID] = {window.frame, kOwnerPID, true};
    recorder = std::make_shared<recorder::WindowRecorder>(window, duration, showOutline, io,
                                                          service, std::move(ports));
    recorders.push_back(recorder);
  }

  // Starts the recording; `startError` decides how segment 0's capture start completes.
  void start(std::optional<capture::CaptureError> startError = std::nullopt) {
    asio::co_spawn(
        io,
        [this]() -> asio::awaitable<void> { startResult = co_await recorder->start("/x/out.mp4"); },
        [](const std::exception_ptr& error) {
          if (error) std::rethrow_exception(error);
        });
    drain();
    if (!service.streams.empty() && service.streams.back()->startCompletion) {
      service.streams.back()->startCompletion(startError);
    }
    drain();
  }

  // Runs every handler that is ready; a process end stops it, as it would stop the process.
  void drain() {
    if (exitStatus) return;
    try {
      do {
        io.restart();
      } while (io.poll() > 0);
    } catch (const app::ProcessEnded&) {
    }
  }

  template <typename Action>
  void act(Action action) {
    if (exitStatus) return;
    try {
      action();
    } catch (const app::ProcessEnded&) {
    }
    drain();
  }

  void tick(std::optional<double> testStopAt = std::nullopt) {
    act([&] { supervision::checkHealth(*recorder, testStopAt); });
  }
  void advance(double seconds) {
    now += std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(seconds));
  }

  ScriptedStream& stream() { return *service.streams.back(); }
  ScriptedRecordingOutput& output() { return *service.outputs.back(); }

  void outputStarts(double recordedSeconds = 0.1) {
    output().duration = recordedSeconds;
    act([&] { output().delegate->recordingOutputDidStart(); });
  }
  void frameArrives() {
    act([&] {
      recorder->streamDidOutputSample({true, {capture::FrameInfo{0}}},
                                      capture::StreamOutputType::screen);
    });
  }
  // Segment 0 started, a frame in, recorded time above zero: the "ready" state.
  void startReady() {
    start();
    outputStarts();
    frameArrives();
  }
  void systemStop() {
    act([&] {
      stream().delegate->streamDidStop(
          {capture::kStreamErrorDomain, capture::kSystemStoppedStreamCode});
    });
  }
  void completeStop(std::optional<capture::CaptureError> error = std::nullopt) {
    act([&] { stream().stopCompletion(error); });
  }
  void outputFinishes() { outputFinishesAt(service.outputs.size() - 1); }
  void outputFinishesAt(std::size_t index) {
    act([&] { service.outputs.at(index)->delegate->recordingOutputDidFinish(); });
  }

  std::string lastLine() const { return lines.empty() ? "" : lines.back(); }
  int countLines(const std::string& fragment) const {
    int count = 0;
    for (const auto& line : lines) count += line.find(fragment) != std::string::npos ? 1 : 0;
    return count;
  }

  asio::io_context io;
  ScriptedCaptureService service;
  std::shared_ptr<recorder::WindowRecorder> recorder;
  std::vector<std::shared_ptr<recorder::WindowRecorder>> recorders;
  std::vector<std::string> lines;
  std::optional<int> exitStatus;
  std::chrono::system_clock::time_point now =
      std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000));
  std::function<void()> inputStop;
  FakeOutlinePanel* outlinePanel = nullptr;
  std::map<std::string, std::string> environment;
  std::chrono::steady_clock::duration segmentFinishTimeout = std::chrono::hours(24);
  std::optional<std::optional<capture::CaptureError>> startResult;
};

}  // namespace darvo::testing
