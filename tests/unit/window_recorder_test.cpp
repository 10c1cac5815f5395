// The recorder's state machine against the scripted capture service and a fake clock: every
// check is on the lines it writes, its exit status and what it asks of the capture service.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "protocol/json_lines.hpp"
#include "recording/window_recorder.hpp"
#include "scripted_capture.hpp"

namespace darvo::testing {
namespace {

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
constexpr int64_t kLimit = recording::kSizeLimitBytes;

capture::Window recordedWindow() {
  return {kWindowID, {100, 50, 800, 600}, 0, capture::RunningApplication{"app", "app", kOwnerPID}};
}

std::string summary(const std::string& reason, const std::string& detail, int segments = 1) {
  return R"({"detail":")" + detail + R"(","event":"finished","reason":")" + reason +
         R"(","segments":)" + std::to_string(segments) + "}";
}

class RecorderTest : public ::testing::Test {
 public:
  // A completion never called holds its suspended task, and the task holds the stream.
  ~RecorderTest() override {
    for (const auto& made : service.streams) {
      made->startCompletion = nullptr;
      made->stopCompletion = nullptr;
    }
  }

  void makeRecorder(std::optional<double> duration = std::nullopt, bool showOutline = false,
                    capture::Window window = recordedWindow()) {
    recording::RecorderPorts ports;
    ports.emit = [this](const protocol::JsonObject& object) {
      lines.push_back(protocol::serialize(object).value_or("<unserialisable>"));
    };
    ports.exit = [this](int status) {
      exitStatus = status;
      throw protocol::ProcessEnded{status};
    };
    ports.now = [this] { return now; };
    ports.makeOutline = [this](const capture::Rect&) {
      auto panel = std::make_unique<FakeOutlinePanel>();
      outline = panel.get();
      return panel;
    };
    ports.healthPeriod = std::chrono::hours(24);
    ports.segmentFinishTimeout = segmentFinishTimeout;
    ports.simulatedStopAt = simulatedStopAt;
    service.windows.entries[window.windowID] = {window.frame, kOwnerPID, true};
    recorder = std::make_shared<recording::WindowRecorder>(window, duration, showOutline, io,
                                                           service, std::move(ports));
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
    if (!service.streams.empty() && stream().startCompletion) {
      stream().startCompletion(startError);
    }
    drain();
  }

  // Runs every ready handler; a process end stops it, as it would stop the process.
  void drain() {
    if (exitStatus) return;
    try {
      do {
        io.restart();
      } while (io.poll() > 0);
    } catch (const protocol::ProcessEnded&) {
    }
  }

  template <typename Action>
  void act(Action action) {
    if (exitStatus) return;
    try {
      action();
    } catch (const protocol::ProcessEnded&) {
    }
    drain();
  }

  void tick() {
    act([&] { recorder->checkHealth(); });
  }
  void stop() {
    act([&] { recorder->stop(); });
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
  void sample(capture::SampleBuffer buffer) {
    act([&] { stream().streamOutput->streamDidOutputSample(buffer); });
  }
  void frameArrives() { sample({true, {capture::FrameInfo{0}}}); }
  // Segment 0 started, a frame in, recorded time above zero: the "ready" state.
  void startReady() {
    start();
    outputStarts();
    frameArrives();
  }
  void streamStops(const capture::CaptureError& error) {
    act([&] { stream().delegate->streamDidStop(error); });
  }
  void systemStop() {
    streamStops({capture::kStreamErrorDomain, capture::kSystemStoppedStreamCode});
  }
  void completeStop(std::optional<capture::CaptureError> error = std::nullopt) {
    act([&] { stream().stopCompletion(error); });
  }
  void outputFinishes() { outputFinishesAt(service.outputs.size() - 1); }
  void outputFinishesAt(std::size_t index) {
    act([&] { service.outputs.at(index)->delegate->recordingOutputDidFinish(); });
  }
  void outputFails() {
    act([&] { output().delegate->recordingOutputDidFail({"scripted", 9}); });
  }
  // The end of a stop that waits for the stream, as the capture layer gives it.
  void finishStop() {
    completeStop();
    outputFinishes();
  }
  std::string lastLine() const { return lines.empty() ? "" : lines.back(); }
  int countLines(const std::string& fragment) const {
    int count = 0;
    for (const auto& line : lines) count += line.find(fragment) != std::string::npos ? 1 : 0;
    return count;
  }

  asio::io_context io;
  ScriptedCaptureService service;
  std::shared_ptr<recording::WindowRecorder> recorder;
  std::vector<std::string> lines;
  std::optional<int> exitStatus;
  std::chrono::system_clock::time_point now{std::chrono::seconds(1'800'000'000)};
  FakeOutlinePanel* outline = nullptr;
  std::chrono::steady_clock::duration segmentFinishTimeout = std::chrono::hours(24);
  std::optional<double> simulatedStopAt;
  std::optional<std::optional<capture::CaptureError>> startResult;
};

TEST_F(RecorderTest, StartOpensSegmentZeroAtACappedSizeWithItsOutline) {
  makeRecorder(std::nullopt, true);
  service.filterRect = capture::Rect{0, 0, 5000, 3000};
  start();
  ASSERT_EQ(service.streams.size(), 1U);
  EXPECT_EQ(stream().configuration.width, 4096);
  EXPECT_EQ(stream().configuration.height, 2456);
  EXPECT_EQ(stream().configuration.minimumFrameInterval.timescale, 15);
  EXPECT_EQ(output().configuration.outputPath, "/x/out.mp4");
  ASSERT_TRUE(startResult);
  EXPECT_FALSE(startResult->has_value());
  EXPECT_TRUE(lines.empty()) << "the segment line waits for the output's start";
  ASSERT_NE(outline, nullptr);
  EXPECT_DOUBLE_EQ(outline->frames.at(0).x, 97);
  EXPECT_DOUBLE_EQ(outline->frames.at(0).height, 606);
  EXPECT_EQ(outline->frontings, 1);
  stop();
  EXPECT_TRUE(outline->closed);
}

TEST_F(RecorderTest, UnusableGeometryAndCaptureRefusalsEndTheStart) {
  makeRecorder();
  service.pointPixelScale = 0.0F;
  start();
  EXPECT_EQ(lines, std::vector<std::string>{R"({"error":"invalid_geometry"})"});
  EXPECT_EQ(exitStatus, 1);
  service.pointPixelScale = 1.0F;

  for (int refusal = 0; refusal < 3; ++refusal) {
    SCOPED_TRACE(refusal);
    exitStatus.reset();
    lines.clear();
    makeRecorder();
    const capture::CaptureError error{"scripted", 7};
    if (refusal == 0) service.nextStreamRefusesOutput = error;
    if (refusal == 1) service.nextStreamRefusesRecording = error;
    start(refusal == 2 ? std::optional(error) : std::nullopt);
    ASSERT_TRUE(startResult && *startResult);
    EXPECT_EQ((*startResult)->code, 7);
    service.nextStreamRefusesOutput.reset();
    service.nextStreamRefusesRecording.reset();
    if (refusal == 2) continue;  // the stream was made: stopping it is asked for
    // Nothing was started, so nothing is stopped or waited for.
    stop();
    EXPECT_EQ(lastLine(), summary("stopped", ""));
  }
}

TEST_F(RecorderTest, ReadyNeedsACompleteFrameAStartedSegmentAndRecordedTime) {
  makeRecorder();
  start();
  outputStarts(0.0);
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_NE(lines[0].find(R"("event":"segment","file":"\/x\/out.mp4","index":0,"startedAtMs":)"),
            std::string::npos)
      << lines[0];
  for (const capture::SampleBuffer& incomplete :
       std::vector<capture::SampleBuffer>{{true, {capture::FrameInfo{1}}},
                                          {true, {capture::FrameInfo{}}},
                                          {true, {}},
                                          {false, {capture::FrameInfo{0}}}}) {
    sample(incomplete);
  }
  output().duration = 0.07;
  tick();
  EXPECT_EQ(countLines("ready"), 0) << "no complete frame yet";
  output().duration = 0.0;
  frameArrives();
  output().duration = std::nan("");
  tick();
  EXPECT_EQ(countLines("ready"), 0) << "no recorded time yet";
  output().duration = 0.07;
  tick();
  EXPECT_EQ(lastLine(), R"({"event":"ready"})");
  frameArrives();
  tick();
  EXPECT_EQ(countLines("ready"), 1);

  // A frame before the segment's start: ready as soon as the segment starts.
  lines.clear();
  makeRecorder();
  start();
  frameArrives();
  outputStarts();
  EXPECT_EQ(lastLine(), R"({"event":"ready"})");
}

TEST_F(RecorderTest, AStopWaitsForTheFileAndEndsOnce) {
  makeRecorder();
  startReady();
  EXPECT_EQ(lastLine(), R"({"event":"ready"})") << "with the first frame, not at the next tick";
  stop();
  stop();
  EXPECT_EQ(stream().stopRequests, 1);
  completeStop();
  EXPECT_FALSE(exitStatus) << "the summary waits for the file";
  outputFinishes();
  EXPECT_EQ(lastLine(), summary("stopped", ""));
  EXPECT_EQ(countLines("finished"), 1);
  EXPECT_EQ(exitStatus, 0);
}

TEST_F(RecorderTest, StopsThatFindNothingToWaitFor) {
  makeRecorder();
  stop();  // before any stream
  EXPECT_EQ(lines, std::vector<std::string>{summary("stopped", "")});
  EXPECT_EQ(exitStatus, 0);

  exitStatus.reset();
  makeRecorder();
  start();
  frameArrives();
  stop();
  outputStarts();
  EXPECT_EQ(countLines(R"("event":"segment")"), 1);
  EXPECT_EQ(countLines("ready"), 0) << "no ready once stopping";

  // A capture that cannot be stopped never ends its file: the summary comes at once.
  exitStatus.reset();
  makeRecorder();
  startReady();
  stop();
  completeStop(capture::CaptureError{"scripted", 3});
  EXPECT_EQ(lastLine(), summary("stopped", ""));
  EXPECT_EQ(exitStatus, 0);
}

TEST_F(RecorderTest, AnExceptionInATaskStillEndsWithASummary) {
  segmentFinishTimeout = std::chrono::seconds(0);
  makeRecorder();
  startReady();
  stream().throwOnStop = true;
  stop();
  EXPECT_EQ(lastLine(), summary("source_ended", "internal_error"));
  EXPECT_EQ(exitStatus, 1);
}

TEST_F(RecorderTest, EndsThatNobodyAskedFor) {
  struct Case {
    const char* name;
    std::function<void(RecorderTest&)> cause;
    std::string summary;
  };
  const std::vector<Case> cases = {
      {"segment ended", [](RecorderTest& t) { t.outputFinishes(); },
       summary("source_ended", "stream_ended")},
      {"stream error",
       [](RecorderTest& t) {
         t.streamStops({"other", -3821});
       },
       summary("source_ended", "stream_error other -3821")},
      {"system stop while stopping",
       [](RecorderTest& t) {
         t.stop();
         t.systemStop();
       },
       summary("source_ended", "stream_error x11_capture -3821")},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(each.name);
    exitStatus.reset();
    makeRecorder(5.0);
    startReady();
    each.cause(*this);
    if (!exitStatus) finishStop();
    EXPECT_EQ(lastLine(), each.summary);
    EXPECT_EQ(exitStatus, 1);
  }
}

TEST_F(RecorderTest, ARecordingFailureEndsAtOnceUnlessTheFileIsPaused) {
  makeRecorder();
  startReady();
  outputFails();
  EXPECT_EQ(lastLine(), R"({"error":"recording_failed"})");
  EXPECT_EQ(exitStatus, 1);

  exitStatus.reset();
  makeRecorder();
  startReady();
  systemStop();
  outputFails();
  EXPECT_FALSE(exitStatus) << "a paused file's failure waits for the next segment";
  stop();
  EXPECT_EQ(lastLine(), summary("stopped", "")) << "the failed file is no longer awaited";
  exitStatus.reset();
  // Once stopped, the paused file's failure is the recording's.
  makeRecorder();
  startReady();
  systemStop();
  stop();
  outputFails();
  EXPECT_EQ(lastLine(), R"({"error":"recording_failed"})");
  EXPECT_EQ(exitStatus, 1);
}

TEST_F(RecorderTest, ASystemStopPausesOnceAndTheNextSegmentFollowsTheWindowBack) {
  makeRecorder();
  startReady();
  output().fileSize = 1000;
  advance(2.5);
  systemStop();
  systemStop();
  EXPECT_EQ(lines.back(), R"({"atSeconds":2.5,"event":"paused","segment":0})");
  EXPECT_EQ(countLines("paused"), 1);

  // No content, then no window: the pause goes on and every tick tries again.
  service.content.reset();
  tick();
  service.content = capture::ShareableContent{};
  tick();
  service.content = capture::ShareableContent{{recordedWindow()}};
  service.nextStreamRefusesRecording = capture::CaptureError{"scripted", 5};
  tick();
  service.nextStreamRefusesRecording.reset();
  EXPECT_EQ(service.streams.size(), 2U) << "only the refused attempt made a stream";
  tick();
  EXPECT_EQ(service.contentRequests.back(), std::make_pair(false, true));
  stream().startCompletion(std::nullopt);
  drain();
  EXPECT_EQ(output().configuration.outputPath, "/x/out.mp4.1.mp4");
  outputStarts();
  EXPECT_NE(lastLine().find(R"("file":"\/x\/out.mp4.1.mp4","index":1)"), std::string::npos);
  EXPECT_EQ(countLines("ready"), 1) << "ready is said once per recording";

  // The first file ends after the resume: not the current segment, so no end of recording.
  outputFinishesAt(0);
  EXPECT_FALSE(exitStatus);
  stop();
  finishStop();
  EXPECT_EQ(lastLine(), summary("stopped", "", 2));
}

TEST_F(RecorderTest, TheSizeLimitCountsEveryFileOnce) {
  makeRecorder();
  startReady();
  output().fileSize = kLimit / 2 + 1;
  systemStop();
  outputFinishesAt(0);  // closed while paused: counted now, and never again
  service.content = capture::ShareableContent{{recordedWindow()}};
  service.nextStreamRefusesRecording = capture::CaptureError{"scripted", 5};
  tick();
  service.nextStreamRefusesRecording.reset();
  tick();
  stream().startCompletion(std::nullopt);
  drain();
  output().fileSize = kLimit / 2 - 2;
  tick();
  EXPECT_EQ(countLines("finished"), 0) << "268,435,455 bytes go on";
  output().fileSize += 1;
  tick();
  finishStop();
  EXPECT_EQ(lastLine(), summary("source_ended", "size_limit", 2));
}

TEST_F(RecorderTest, StopsDuringAPauseWaitForEveryFile) {
  // Stopped while paused: the paused file is awaited, the stream left alone.
  makeRecorder();
  startReady();
  systemStop();
  stop();
  EXPECT_EQ(stream().stopRequests, 0);
  EXPECT_EQ(countLines("finished"), 0);
  outputFinishes();
  EXPECT_EQ(lastLine(), summary("stopped", ""));

  // Stopped while the next segment opens: both files, and the segment being opened counts.
  exitStatus.reset();
  makeRecorder();
  startReady();
  systemStop();
  service.content = capture::ShareableContent{{recordedWindow()}};
  tick();
  stop();
  outputFinishesAt(service.outputs.size() - 2);
  EXPECT_FALSE(exitStatus);
  stream().startCompletion(std::nullopt);
  drain();
  EXPECT_EQ(stream().stopRequests, 1) << "its capture is stopped once it has started";
  finishStop();
  EXPECT_EQ(lastLine(), summary("stopped", "", 2));

  // A file that never ends fails the recording once the wait is over.
  exitStatus.reset();
  segmentFinishTimeout = std::chrono::seconds(0);
  makeRecorder();
  startReady();
  systemStop();
  stop();
  EXPECT_EQ(lastLine(), summary("source_ended", "segment_unfinished"));
  EXPECT_EQ(exitStatus, 1);
}

TEST_F(RecorderTest, TheDurationEndsTheRecordingOnceReached) {
  makeRecorder(10.0);
  startReady();
  advance(9.9);
  tick();
  EXPECT_EQ(stream().stopRequests, 0);
  advance(0.1);
  tick();
  finishStop();
  EXPECT_EQ(lastLine(), summary("duration", ""));
  EXPECT_EQ(exitStatus, 0);

  for (const auto never : {std::optional<double>{}, std::optional<double>{std::nan("")}}) {
    exitStatus.reset();
    makeRecorder(never);
    startReady();
    advance(4000);
    tick();
    EXPECT_EQ(stream().stopRequests, 0);
  }
}

TEST_F(RecorderTest, TheWindowListDecidesOnScreenClosedAndReused) {
  makeRecorder(std::nullopt, true);
  startReady();
  tick();
  EXPECT_EQ(countLines("screen"), 0) << "a window on screen at the start is not reported";
  service.windows.entries[kWindowID].isOnscreen = false;
  service.windows.entries[kWindowID].bounds = capture::Rect{10, 20, 300, 200};
  advance(1);
  tick();
  tick();
  EXPECT_DOUBLE_EQ(outline->frames.back().x, 7);
  EXPECT_DOUBLE_EQ(outline->frames.back().width, 306);
  service.windows.entries[kWindowID].isOnscreen = true;
  service.windows.entries[kWindowID].bounds.reset();
  const auto placed = outline->frames.size();
  advance(1);
  tick();
  EXPECT_EQ(outline->frames.size(), placed) << "no bounds, no move";
  EXPECT_EQ(countLines(R"({"atSeconds":1,"event":"offscreen"})"), 1);
  EXPECT_EQ(countLines(R"({"atSeconds":2,"event":"onscreen"})"), 1);
  // Without a known owner the window goes on while it is listed.
  service.windows.entries[kWindowID].ownerPID.reset();
  service.windows.allNumbers = std::vector<uint32_t>{7, kWindowID};
  tick();
  EXPECT_EQ(countLines("paused") + countLines("finished"), 0);

  auto ownerless = recordedWindow();
  ownerless.owningApplication.reset();
  const std::vector<std::pair<std::function<void()>, std::string>> ends = {
      {[&] { service.windows.entries.clear(); }, "window_closed"},
      {[&] { service.windows.allNumbers.reset(); }, "window_closed"},
      {[&] { service.windows.entries[kWindowID].ownerPID = 999; }, "window_reused"},
      {[] {}, "window_reused"},  // recorded without an owner, now listed with one
  };
  for (std::size_t i = 0; i < ends.size(); ++i) {
    SCOPED_TRACE(i);
    exitStatus.reset();
    makeRecorder(std::nullopt, false, i == 3 ? ownerless : recordedWindow());
    service.windows.allNumbers = std::vector<uint32_t>{};
    startReady();
    if (i == 1) service.windows.entries[kWindowID].ownerPID.reset();
    ends[i].first();
    tick();
    finishStop();
    EXPECT_EQ(lastLine(), summary("source_ended", ends[i].second));
    EXPECT_EQ(exitStatus, 1);
  }
  EXPECT_EQ(countLines("paused"), 0);
}

TEST_F(RecorderTest, TheTestHookSimulatesOneSystemStopOnceReady) {
  simulatedStopAt = 3.0;
  makeRecorder();
  start();
  advance(5);
  tick();
  EXPECT_EQ(countLines("paused"), 0) << "not ready yet";
  outputStarts();
  frameArrives();
  service.windows.entries[kWindowID].isOnscreen = false;
  tick();
  EXPECT_EQ(countLines("paused"), 1);
  EXPECT_EQ(stream().stopRequests, 1);
  completeStop();
  outputFinishes();
  EXPECT_FALSE(exitStatus);
  tick();
  EXPECT_EQ(countLines("paused"), 1);
  EXPECT_EQ(service.streams.size(), 1U) << "off screen: no resume";

  for (const double never : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    simulatedStopAt = never;
    lines.clear();
    makeRecorder();
    startReady();
    advance(100);
    tick();
    EXPECT_EQ(countLines("paused"), 0) << never;
  }
}

}  // namespace
}  // namespace darvo::testing
