// The recorder's state machine against the scripted capture service and a fake clock: every
// check is on the lines it writes, its exit status and what it asks of the capture service.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "protocol/json_lines.hpp"
#include "recording/window_recorder.hpp"
#include "scripted_capture.hpp"

namespace darvo::testing {
namespace {

using namespace std::chrono_literals;

struct FakeOutlinePanel : recording::OutlinePanel {
  void setFrame(const capture::Rect& panelFrame) override { frames.push_back(panelFrame); }
  void orderFrontRegardless() override { ++frontings; }
  void close() override { closed = true; }
  std::vector<capture::Rect> frames;
  int frontings = 0;
  bool closed = false;
};

constexpr uint32_t kWindowID = 0x1a2b;
constexpr int32_t kOwnerPID = 4242;
constexpr const char* kReady = R"({"event":"ready"} exit none)";

capture::Window recordedWindow() {
  return {kWindowID, {100, 50, 800, 600}, 0, capture::RunningApplication{"app", "app", kOwnerPID}};
}

// The summary line and the exit status that must follow it, as `ending()` gives them.
std::string summary(const std::string& reason, const std::string& detail, int segments = 1) {
  return R"({"detail":")" + detail + R"(","event":"finished","reason":")" + reason +
         R"(","segments":)" + std::to_string(segments) + "} exit " +
         (reason == "source_ended" ? "1" : "0");
}

class RecorderTest : public ::testing::Test {
 public:
  RecorderTest() {
    ports.emit = [this](const protocol::JsonObject& object) {
      lines.push_back(protocol::serialize(object).value_or("<unserialisable>"));
    };
    ports.exit = [this](int status) {
      exitStatus = status;
      throw protocol::ProcessEnded{status};
    };
    ports.now = [this] { return now; };
    ports.makeOutline = [this](const capture::Rect&) {
      return std::unique_ptr<recording::OutlinePanel>(outline = new FakeOutlinePanel);
    };
    ports.healthPeriod = ports.segmentFinishTimeout = 24h;  // the test ticks; no wait runs out
  }
  // A completion never called holds its suspended task, and the task holds the stream.
  ~RecorderTest() override {
    for (const auto& made : service.streams) made->startCompletion = made->stopCompletion = nullptr;
  }

  // Starts a new recorder of `window`, listed on screen; the lines and exit status start anew.
  void start(std::optional<double> duration = std::nullopt, bool showOutline = false,
             capture::Window window = recordedWindow()) {
    lines.clear();
    exitStatus.reset();
    startResult.reset();
    service.windowEntries[window.windowID] = {window.frame, kOwnerPID, true};
    service.content = capture::ShareableContent{{window}};
    recorder = std::make_shared<recording::WindowRecorder>(window, duration, showOutline, io,
                                                           service, ports);
    asio::co_spawn(io, recorder->start("/x/out.mp4"),
                   [this](std::exception_ptr error, auto result) {
                     if (error) std::rethrow_exception(error);
                     startResult = result;
                   });
    act();
    captureStarts(captureStartError);
  }

  // Runs `action`, then every ready handler; a process end stops both, as it would the process.
  void act(const std::function<void()>& action = [] {}) {
    if (exitStatus) return;
    try {
      action();
      io.restart();
      while (io.poll() > 0) io.restart();
    } catch (const protocol::ProcessEnded&) {
    }
  }

  void tick() { act(std::bind_front(&recording::WindowRecorder::checkHealth, recorder)); }
  void stop() { act(std::bind_front(&recording::WindowRecorder::stop, recorder)); }
  ScriptedStream& stream() { return *service.streams.back(); }
  ScriptedRecordingOutput& output() { return *service.outputs.back(); }
  // The newest stream's capture start completes, once.
  void captureStarts(std::optional<capture::CaptureError> error = std::nullopt) {
    if (service.streams.empty() || !stream().startCompletion) return;
    act([&] { std::exchange(stream().startCompletion, nullptr)(error); });
  }
  void outputStarts(double recordedSeconds = 0.1) {
    output().duration = recordedSeconds;
    act([&] { output().delegate->recordingOutputDidStart(); });
  }
  // By default a complete frame.
  void sampleArrives(capture::SampleBuffer buffer = {true, {capture::FrameInfo{0}}}) {
    act([&] { stream().streamOutput->streamDidOutputSample(buffer); });
  }
  // A new recorder whose segment 0 started, with a frame in and recorded time: "ready".
  void startReady(std::optional<double> duration = std::nullopt, bool showOutline = false,
                  capture::Window window = recordedWindow()) {
    start(duration, showOutline, std::move(window));
    outputStarts();
    sampleArrives();
  }
  // By default the system's stop, which pauses.
  void streamStops(
      capture::CaptureError error = capture::streamError(capture::kSystemStoppedStreamCode)) {
    act([&] { stream().delegate->streamDidStop(error); });
  }
  void outputFinishes(std::size_t index) {
    act([&] { service.outputs.at(index)->delegate->recordingOutputDidFinish(); });
  }
  void outputFinishes() { outputFinishes(service.outputs.size() - 1); }
  void outputFails() {
    act([&] { output().delegate->recordingOutputDidFail({"scripted", 9}); });
  }
  // The stream's stop completes and, unless it failed, its file ends: as the capture layer does.
  void finishStop(std::optional<capture::CaptureError> error = std::nullopt) {
    act([&] { stream().stopCompletion(error); });
    if (!error) outputFinishes();
  }
  // The last line and the exit status after it.
  std::string ending() const {
    return (lines.empty() ? "" : lines.back()) + " exit " +
           (exitStatus ? std::to_string(*exitStatus) : "none");
  }
  auto countLines(const std::string& fragment) const {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const auto& line) { return line.find(fragment) != line.npos; });
  }

  asio::io_context io;
  ScriptedCaptureService service;
  std::shared_ptr<recording::WindowRecorder> recorder;
  std::vector<std::string> lines;
  std::optional<int> exitStatus;
  std::chrono::system_clock::time_point now{1'800'000'000s};
  FakeOutlinePanel* outline = nullptr;
  recording::RecorderPorts ports;
  std::optional<capture::CaptureError> captureStartError;
  std::optional<std::optional<capture::CaptureError>> startResult;
};

TEST_F(RecorderTest, StartOpensSegmentZeroAtACappedSizeWithItsOutline) {
  service.filterRect = capture::Rect{0, 0, 5000, 3000};
  start(std::nullopt, true);
  ASSERT_EQ(service.streams.size(), 1U);
  const auto& made = stream().configuration;
  EXPECT_EQ(std::tuple(made.width, made.height, made.minimumFrameInterval.timescale),
            std::tuple(4096, 2456, 15));
  EXPECT_EQ(output().path, "/x/out.mp4");
  EXPECT_TRUE(startResult && !*startResult);
  EXPECT_TRUE(lines.empty()) << "the segment line waits for the output's start";
  ASSERT_NE(outline, nullptr);
  EXPECT_EQ(std::pair(outline->frames.at(0).x, outline->frames.at(0).height), std::pair(97., 606.));
  EXPECT_EQ(outline->frontings, 1);
  stop();
  EXPECT_TRUE(outline->closed);
}

TEST_F(RecorderTest, CaptureRefusalsAndUnusableGeometryEndTheStart) {
  recorder = std::make_shared<recording::WindowRecorder>(recordedWindow(), std::nullopt, false, io,
                                                         service, ports);
  stop();  // before the start: nothing to stop or wait for
  EXPECT_EQ(lines.size(), 1U);
  EXPECT_EQ(ending(), summary("stopped", ""));

  // Refused: the stream output, the recording output, the capture's start.
  for (auto* refused : {&service.nextStreamRefusesOutput, &service.nextStreamRefusesRecording,
                        &captureStartError}) {
    *refused = capture::CaptureError{"scripted", 7};
    start();
    ASSERT_TRUE(startResult && *startResult);
    EXPECT_EQ((*startResult)->code, 7);
    if (refused == &captureStartError) continue;  // its stream was made: a stop would wait
    stop();  // nothing was started, so nothing is stopped or waited for
    EXPECT_EQ(lines.size(), 1U);
    EXPECT_EQ(ending(), summary("stopped", ""));
  }

  service.pointPixelScale = 0.0F;
  start();
  EXPECT_EQ(lines.size(), 1U);
  EXPECT_EQ(ending(), R"({"error":"invalid_geometry"} exit 1)");
}

TEST_F(RecorderTest, ReadyNeedsACompleteFrameAStartedSegmentAndRecordedTime) {
  start();
  outputStarts(0.0);
  EXPECT_EQ(lines.size(), 1U);
  EXPECT_EQ(countLines(R"({"event":"segment","file":"\/x\/out.mp4","index":0,"startedAtMs":)"), 1);
  sampleArrives({true, {capture::FrameInfo{1}}});
  sampleArrives({true, {capture::FrameInfo{}}});
  sampleArrives({true, {}});
  sampleArrives({false, {capture::FrameInfo{0}}});
  output().duration = 0.07;
  tick();
  EXPECT_EQ(countLines("ready"), 0) << "no complete frame yet";
  output().duration = 0.0;
  sampleArrives();
  output().duration = std::nan("");
  tick();
  EXPECT_EQ(countLines("ready"), 0) << "no recorded time yet";
  output().duration = 0.07;
  tick();
  EXPECT_EQ(ending(), kReady);
  sampleArrives();
  tick();
  EXPECT_EQ(countLines("ready"), 1);

  // A frame before the segment's start: ready as soon as the segment starts, unless stopping.
  for (const bool stopping : {false, true}) {
    start();
    sampleArrives();
    if (stopping) stop();
    outputStarts();
    EXPECT_EQ(countLines(R"("event":"segment")"), 1);
    EXPECT_EQ(ending() == kReady, !stopping);
  }

  // Paused before ready: the next segment is ready only once it has started itself.
  start();
  outputStarts(0.0);
  sampleArrives();
  streamStops();
  tick();
  captureStarts();
  sampleArrives();
  output().duration = 0.1;
  tick();
  EXPECT_EQ(countLines("ready"), 0) << "segment 1 has not started";
  outputStarts();
  EXPECT_EQ(ending(), kReady);
}

TEST_F(RecorderTest, AStopWaitsForTheFileAndEndsOnce) {
  startReady();
  EXPECT_EQ(ending(), kReady) << "with the first frame, not at the next tick";
  stop();
  stop();
  EXPECT_EQ(stream().stopRequests, 1);
  act([&] { stream().stopCompletion(std::nullopt); });
  EXPECT_FALSE(exitStatus) << "the summary waits for the file";
  outputFinishes();
  EXPECT_EQ(ending(), summary("stopped", ""));
  EXPECT_EQ(countLines("finished"), 1);

  // A capture that cannot be stopped never ends its file: the summary comes at once.
  startReady();
  stop();
  finishStop(capture::CaptureError{"scripted", 3});
  EXPECT_EQ(ending(), summary("stopped", ""));
}

TEST_F(RecorderTest, EndsThatNobodyAskedFor) {
  // Past the wait for the file, the first reason given stays the reason.
  ports.segmentFinishTimeout = 0s;
  const capture::Window ownerless{kWindowID, recordedWindow().frame, 0, {}};  // listed with one
  const capture::CaptureError otherDomain{"other", capture::kSystemStoppedStreamCode};
  const auto failed = [](const char* detail) { return summary("source_ended", detail); };
  const std::vector<std::pair<std::function<void()>, std::string>> causes = {
      {[&] { outputFinishes(); }, failed("stream_ended")},
      {[&] { outputFails(); }, R"({"error":"recording_failed"} exit 1)"},
      {[&] { streamStops(otherDomain); }, failed("stream_error other -3821")},
      {[&] {
         stop();
         streamStops();
       },
       failed("stream_error x11_capture -3821")},
      {[&] {
         stream().throwOnStop = true;
         stop();
       },
       failed("internal_error")},
      {[&] { service.windowEntries.clear(); }, failed("window_closed")},  // nor in the numbers
      {[&] {
         service.windowEntries[kWindowID].ownerPID.reset();
         service.windowNumbers.reset();
       },
       failed("window_closed")},
      {[&] { service.windowEntries[kWindowID].ownerPID = 999; }, failed("window_reused")},
      {[&] { startReady(std::nullopt, false, ownerless); }, failed("window_reused")},
  };
  for (const auto& [cause, expected] : causes) {
    startReady(5.0);
    cause();
    tick();
    finishStop();
    EXPECT_EQ(ending(), expected);
    EXPECT_EQ(countLines("paused"), 0) << expected;
  }
}

TEST_F(RecorderTest, ASystemStopPausesOnceAndTheNextSegmentFollowsTheWindowBack) {
  startReady();
  now += 2500ms;
  streamStops(capture::portalError(capture::kSystemStoppedStreamCode));  // either backend's
  streamStops();
  EXPECT_EQ(ending(), R"({"atSeconds":2.5,"event":"paused","segment":0} exit none)");
  EXPECT_EQ(countLines("paused"), 1);

  // No content, then no window: the pause goes on, and each tick tries again.
  service.content.reset();
  tick();
  service.content = capture::ShareableContent{};
  tick();
  service.content = capture::ShareableContent{{recordedWindow()}};
  service.nextStreamRefusesRecording = capture::CaptureError{"scripted", 5};
  tick();
  EXPECT_EQ(service.streams.size(), 2U) << "only the refused attempt made a stream";
  tick();
  EXPECT_EQ(service.contentRequests.back(), std::pair(false, true));
  captureStarts();
  EXPECT_EQ(output().path, "/x/out.mp4.1.mp4");
  outputStarts();
  EXPECT_EQ(countLines(R"("file":"\/x\/out.mp4.1.mp4","index":1)"), 1);
  EXPECT_EQ(countLines("ready"), 1) << "ready is said once per recording";

  // The first file ends after the resume: not the current segment, so no end of recording.
  outputFinishes(0);
  EXPECT_FALSE(exitStatus);
  stop();
  finishStop();
  EXPECT_EQ(ending(), summary("stopped", "", 2));
}

TEST_F(RecorderTest, TheSizeLimitCountsEveryFileOnce) {
  startReady();
  output().fileSize = recording::kSizeLimitBytes / 2 + 1;
  streamStops();
  outputFinishes();  // closed while paused: counted now, and never again
  tick();
  captureStarts();
  output().fileSize = recording::kSizeLimitBytes / 2 - 2;
  tick();
  EXPECT_EQ(countLines("finished"), 0) << "268,435,455 bytes go on";
  output().fileSize += 1;
  tick();
  finishStop();
  EXPECT_EQ(ending(), summary("source_ended", "size_limit", 2));
}

TEST_F(RecorderTest, StopsDuringAPauseWaitForEveryFile) {
  // Stopped while paused: the paused file is awaited, the stream left alone.
  startReady();
  streamStops();
  stop();
  EXPECT_EQ(stream().stopRequests, 0);
  EXPECT_EQ(countLines("finished"), 0);
  outputFinishes();
  EXPECT_EQ(ending(), summary("stopped", ""));

  // Stopped while the next segment opens: both files, and the segment being opened counts.
  startReady();
  streamStops();
  tick();
  stop();
  outputFinishes(service.outputs.size() - 2);
  EXPECT_FALSE(exitStatus);
  captureStarts();
  EXPECT_EQ(stream().stopRequests, 1) << "its capture is stopped once it has started";
  finishStop();
  EXPECT_EQ(ending(), summary("stopped", "", 2));

  // A paused file's failure waits for the next segment; once stopped, it is the recording's.
  startReady();
  streamStops();
  outputFails();
  EXPECT_FALSE(exitStatus);
  stop();
  EXPECT_EQ(ending(), summary("stopped", "")) << "the failed file is no longer awaited";
  startReady();
  streamStops();
  stop();
  outputFails();
  EXPECT_EQ(ending(), R"({"error":"recording_failed"} exit 1)");

  // A file that never ends fails the recording once the wait is over.
  ports.segmentFinishTimeout = 0s;
  startReady();
  streamStops();
  stop();
  EXPECT_EQ(ending(), summary("source_ended", "segment_unfinished"));
}

TEST_F(RecorderTest, TheDurationAndTheTestHookActOnceReached) {
  startReady(10.0);
  now += 9900ms;
  tick();
  EXPECT_EQ(stream().stopRequests, 0);
  now += 100ms;
  tick();
  finishStop();
  EXPECT_EQ(ending(), summary("duration", ""));

  // Unset or not finite: never.
  const std::vector<std::pair<std::optional<double>, double>> limits = {
      {std::nullopt, std::nan("")}, {std::nan(""), HUGE_VAL}, {std::nullopt, -HUGE_VAL}};
  for (const auto& [duration, stopAt] : limits) {
    ports.simulatedStopAt = stopAt;
    startReady(duration);
    now += 4000s;
    tick();
    EXPECT_EQ(stream().stopRequests, 0);
    EXPECT_EQ(countLines("paused"), 0) << stopAt;
  }

  // The test hook simulates one system stop, once ready.
  ports.simulatedStopAt = 3.0;
  start();
  now += 5s;
  tick();
  EXPECT_EQ(countLines("paused"), 0) << "not ready yet";
  outputStarts();
  sampleArrives();
  service.windowEntries[kWindowID].isOnscreen = false;
  tick();
  EXPECT_EQ(countLines("paused"), 1);
  EXPECT_EQ(stream().stopRequests, 1);
  finishStop();
  EXPECT_FALSE(exitStatus);
  tick();
  EXPECT_EQ(countLines("paused"), 1);
  EXPECT_TRUE(service.contentRequests.empty()) << "off screen: no resume";
}

TEST_F(RecorderTest, TheWindowListDecidesOnScreenAndTheOutline) {
  startReady(std::nullopt, true);
  tick();
  EXPECT_EQ(countLines("screen"), 0) << "a window on screen at the start is not reported";
  auto& listed = service.windowEntries[kWindowID];
  listed = {capture::Rect{10, 20, 300, 200}, kOwnerPID, false};
  now += 1s;
  tick();
  tick();
  EXPECT_EQ(std::pair(outline->frames.back().x, outline->frames.back().width), std::pair(7., 306.));
  listed = {std::nullopt, kOwnerPID, true};
  const auto placed = outline->frames.size();
  now += 1s;
  tick();
  EXPECT_EQ(outline->frames.size(), placed) << "no bounds, no move";
  EXPECT_EQ(countLines(R"({"atSeconds":1,"event":"offscreen"})"), 1);
  EXPECT_EQ(countLines(R"({"atSeconds":2,"event":"onscreen"})"), 1);
  // Without a known owner the window goes on while it is listed.
  listed.ownerPID.reset();
  service.windowNumbers = std::vector<uint32_t>{7, kWindowID};
  tick();
  EXPECT_EQ(countLines("paused") + countLines("finished"), 0);
}

TEST_F(RecorderTest, AWindowListThatDoesNotAnswerIsNoNews) {
  // Questions still out: the next tick asks nothing more, and a stop is answered all the same.
  startReady(std::nullopt, true);
  service.stalled = true;
  tick();
  tick();
  EXPECT_EQ(service.windowQueries, 1);
  stop();
  finishStop();
  EXPECT_EQ(ending(), summary("stopped", ""));

  // Past the deadline nothing is reported, moved or decided, and the answers that come late
  // (of a window that is gone) are dropped; the size limit still holds.
  ports.windowQueryTimeout = 0s;
  startReady(std::nullopt, true);
  service.windowEntries.clear();
  const auto placed = outline->frames.size();
  now += 1s;
  tick();
  tick();
  for (const auto& answer : std::exchange(service.heldAnswers, {})) act(answer);
  EXPECT_EQ(countLines("screen") + countLines("finished"), 0);
  EXPECT_EQ(outline->frames.size(), placed);
  output().fileSize = recording::kSizeLimitBytes;
  tick();
  finishStop();
  EXPECT_EQ(ending(), summary("source_ended", "size_limit"));

  // A paused recording resumes only when the window list says the window is back.
  startReady();
  streamStops();
  tick();
  EXPECT_TRUE(service.contentRequests.empty());
  service.stalled = false;
  tick();
  EXPECT_EQ(service.contentRequests.size(), 1U);
}

}  // namespace
}  // namespace darvo::testing
