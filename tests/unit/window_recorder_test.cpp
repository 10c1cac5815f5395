// The recorder's state machine against the scripted capture service and a fake clock: every
// check is on the lines it writes, its exit status and what it asks of the capture service.
#include <gtest/gtest.h>

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
constexpr const char* kReady = R"({"event":"ready"})";
constexpr const char* kRecordingFailed = R"({"error":"recording_failed"} exit 1)";

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
  // A completion never called holds its suspended task, and the task holds the stream.
  ~RecorderTest() override {
    for (const auto& made : service.streams) {
      made->startCompletion = nullptr;
      made->stopCompletion = nullptr;
    }
  }

  // A new recorder of `window`, listed on screen; the lines and exit status start anew.
  void makeRecorder(std::optional<double> duration = std::nullopt, bool showOutline = false,
                    capture::Window window = recordedWindow()) {
    lines.clear();
    exitStatus.reset();
    startResult.reset();
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
    service.windowEntries[window.windowID] = {window.frame, kOwnerPID, true};
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
    act();
    captureStarts(startError);
  }

  // Runs `action`, then every ready handler; a process end stops both, as it would the process.
  void act(const std::function<void()>& action = [] {}) {
    if (exitStatus) return;
    try {
      action();
      do {
        io.restart();
      } while (io.poll() > 0);
    } catch (const protocol::ProcessEnded&) {
    }
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
    makeRecorder(duration, showOutline, std::move(window));
    start();
    outputStarts();
    sampleArrives();
  }
  // By default the system's stop, which pauses.
  void streamStops(capture::CaptureError error = {capture::kStreamErrorDomain,
                                                  capture::kSystemStoppedStreamCode}) {
    act([&] { stream().delegate->streamDidStop(error); });
  }
  // Negative indices count from the newest output.
  void outputFinishes(int index = -1) {
    const auto at = index < 0 ? service.outputs.size() + index : std::size_t(index);
    act([&] { service.outputs.at(at)->delegate->recordingOutputDidFinish(); });
  }
  void outputFails() {
    act([&] { output().delegate->recordingOutputDidFail({"scripted", 9}); });
  }
  // The end of a stop that waits for the stream, as the capture layer gives it; a stop that
  // fails never ends the file.
  void finishStop(std::optional<capture::CaptureError> error = std::nullopt) {
    act([&] { stream().stopCompletion(error); });
    if (!error) outputFinishes();
  }
  std::string lastLine() const { return lines.empty() ? "" : lines.back(); }
  // The last line and the exit status after it.
  std::string ending() const {
    return lastLine() + " exit " + (exitStatus ? std::to_string(*exitStatus) : "none");
  }
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
  const auto& configuration = stream().configuration;
  EXPECT_EQ(std::tuple(configuration.width, configuration.height,
                       configuration.minimumFrameInterval.timescale),
            std::tuple(4096, 2456, 15));
  EXPECT_EQ(output().configuration.outputPath, "/x/out.mp4");
  EXPECT_TRUE(startResult && !*startResult);
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
  EXPECT_EQ(lines.size(), 1U);
  EXPECT_EQ(ending(), R"({"error":"invalid_geometry"} exit 1)");
  service.pointPixelScale = 1.0F;

  // Refused: the stream output, the recording output, the capture's start.
  const capture::CaptureError refusal{"scripted", 7};
  for (int step = 0; step < 3; ++step) {
    SCOPED_TRACE(step);
    makeRecorder();
    if (step == 0) service.nextStreamRefusesOutput = refusal;
    if (step == 1) service.nextStreamRefusesRecording = refusal;
    start(step == 2 ? std::optional(refusal) : std::nullopt);
    ASSERT_TRUE(startResult && *startResult);
    EXPECT_EQ((*startResult)->code, 7);
    if (step == 2) continue;  // the stream was made: stopping it is asked for
    // Nothing was started, so nothing is stopped or waited for.
    stop();
    EXPECT_EQ(ending(), summary("stopped", ""));
  }
}

TEST_F(RecorderTest, ReadyNeedsACompleteFrameAStartedSegmentAndRecordedTime) {
  makeRecorder();
  start();
  outputStarts(0.0);
  EXPECT_EQ(lines.size(), 1U);
  EXPECT_EQ(countLines(R"({"event":"segment","file":"\/x\/out.mp4","index":0,"startedAtMs":)"), 1);
  for (const capture::SampleBuffer& incomplete :
       std::vector<capture::SampleBuffer>{{true, {capture::FrameInfo{1}}},
                                          {true, {capture::FrameInfo{}}},
                                          {true, {}},
                                          {false, {capture::FrameInfo{0}}}}) {
    sampleArrives(incomplete);
  }
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
  EXPECT_EQ(lastLine(), kReady);
  sampleArrives();
  tick();
  EXPECT_EQ(countLines("ready"), 1);

  // A frame before the segment's start: ready as soon as the segment starts.
  makeRecorder();
  start();
  sampleArrives();
  outputStarts();
  EXPECT_EQ(lastLine(), kReady);
}

TEST_F(RecorderTest, AStopWaitsForTheFileAndEndsOnce) {
  startReady();
  EXPECT_EQ(lastLine(), kReady) << "with the first frame, not at the next tick";
  stop();
  stop();
  EXPECT_EQ(stream().stopRequests, 1);
  act([&] { stream().stopCompletion(std::nullopt); });
  EXPECT_FALSE(exitStatus) << "the summary waits for the file";
  outputFinishes();
  EXPECT_EQ(ending(), summary("stopped", ""));
  EXPECT_EQ(countLines("finished"), 1);
}

TEST_F(RecorderTest, StopsThatFindNothingToWaitFor) {
  makeRecorder();
  stop();  // before any stream
  EXPECT_EQ(lines.size(), 1U);
  EXPECT_EQ(ending(), summary("stopped", ""));

  makeRecorder();
  start();
  sampleArrives();
  stop();
  outputStarts();
  EXPECT_EQ(countLines(R"("event":"segment")"), 1);
  EXPECT_EQ(countLines("ready"), 0) << "no ready once stopping";

  // A capture that cannot be stopped never ends its file: the summary comes at once.
  startReady();
  stop();
  finishStop(capture::CaptureError{"scripted", 3});
  EXPECT_EQ(ending(), summary("stopped", ""));
}

TEST_F(RecorderTest, AnExceptionInATaskStillEndsWithASummary) {
  segmentFinishTimeout = std::chrono::seconds(0);
  startReady();
  stream().throwOnStop = true;
  stop();
  EXPECT_EQ(ending(), summary("source_ended", "internal_error"));
}

TEST_F(RecorderTest, EndsThatNobodyAskedFor) {
  auto& listed = service.windowEntries;
  auto ownerless = recordedWindow();
  ownerless.owningApplication.reset();
  const std::vector<std::pair<std::function<void()>, std::string>> causes = {
      {[&] { outputFinishes(); }, "stream_ended"},
      {[&] {
         streamStops({"other", -3821});
       },
       "stream_error other -3821"},
      {[&] {
         stop();
         streamStops();
       },
       "stream_error x11_capture -3821"},
      {[&] {
         listed.clear();
         tick();
       },
       "window_closed"},  // and not among the window numbers
      {[&] {
         listed[kWindowID].ownerPID.reset();
         service.windowNumbers.reset();
         tick();
       },
       "window_closed"},
      {[&] {
         listed[kWindowID].ownerPID = 999;
         tick();
       },
       "window_reused"},
      // Recorded without an owner, now listed with one.
      {[&] {
         startReady(std::nullopt, false, ownerless);
         tick();
       },
       "window_reused"},
  };
  for (const auto& [cause, detail] : causes) {
    SCOPED_TRACE(detail);
    startReady(5.0);
    cause();
    finishStop();
    EXPECT_EQ(ending(), summary("source_ended", detail));
    EXPECT_EQ(countLines("paused"), 0);
  }
}

TEST_F(RecorderTest, ARecordingFailureEndsAtOnceUnlessTheFileIsPaused) {
  startReady();
  outputFails();
  EXPECT_EQ(ending(), kRecordingFailed);

  startReady();
  streamStops();
  outputFails();
  EXPECT_FALSE(exitStatus) << "a paused file's failure waits for the next segment";
  stop();
  EXPECT_EQ(ending(), summary("stopped", "")) << "the failed file is no longer awaited";

  // Once stopped, the paused file's failure is the recording's.
  startReady();
  streamStops();
  stop();
  outputFails();
  EXPECT_EQ(ending(), kRecordingFailed);
}

TEST_F(RecorderTest, ASystemStopPausesOnceAndTheNextSegmentFollowsTheWindowBack) {
  startReady();
  advance(2.5);
  streamStops();
  streamStops();
  EXPECT_EQ(lastLine(), R"({"atSeconds":2.5,"event":"paused","segment":0})");
  EXPECT_EQ(countLines("paused"), 1);

  // No content (the scripted default), then no window: the pause goes on, each tick tries again.
  tick();
  service.content = capture::ShareableContent{};
  tick();
  service.content = capture::ShareableContent{{recordedWindow()}};
  service.nextStreamRefusesRecording = capture::CaptureError{"scripted", 5};
  tick();
  EXPECT_EQ(service.streams.size(), 2U) << "only the refused attempt made a stream";
  tick();
  EXPECT_EQ(service.contentRequests.back(), std::make_pair(false, true));
  captureStarts();
  EXPECT_EQ(output().configuration.outputPath, "/x/out.mp4.1.mp4");
  outputStarts();
  EXPECT_NE(lastLine().find(R"("file":"\/x\/out.mp4.1.mp4","index":1)"), std::string::npos);
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
  output().fileSize = kLimit / 2 + 1;
  streamStops();
  outputFinishes();  // closed while paused: counted now, and never again
  service.content = capture::ShareableContent{{recordedWindow()}};
  tick();
  captureStarts();
  output().fileSize = kLimit / 2 - 2;
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
  service.content = capture::ShareableContent{{recordedWindow()}};
  tick();
  stop();
  outputFinishes(-2);
  EXPECT_FALSE(exitStatus);
  captureStarts();
  EXPECT_EQ(stream().stopRequests, 1) << "its capture is stopped once it has started";
  finishStop();
  EXPECT_EQ(ending(), summary("stopped", "", 2));

  // A file that never ends fails the recording once the wait is over.
  segmentFinishTimeout = std::chrono::seconds(0);
  startReady();
  streamStops();
  stop();
  EXPECT_EQ(ending(), summary("source_ended", "segment_unfinished"));
}

TEST_F(RecorderTest, TheDurationEndsTheRecordingOnceReached) {
  startReady(10.0);
  advance(9.9);
  tick();
  EXPECT_EQ(stream().stopRequests, 0);
  advance(0.1);
  tick();
  finishStop();
  EXPECT_EQ(ending(), summary("duration", ""));

  for (const auto never : {std::optional<double>{}, std::optional<double>{std::nan("")}}) {
    startReady(never);
    advance(4000);
    tick();
    EXPECT_EQ(stream().stopRequests, 0);
  }
}

TEST_F(RecorderTest, TheWindowListDecidesOnScreenAndTheOutline) {
  startReady(std::nullopt, true);
  tick();
  EXPECT_EQ(countLines("screen"), 0) << "a window on screen at the start is not reported";
  auto& listed = service.windowEntries[kWindowID];
  listed.isOnscreen = false;
  listed.bounds = capture::Rect{10, 20, 300, 200};
  advance(1);
  tick();
  tick();
  EXPECT_DOUBLE_EQ(outline->frames.back().x, 7);
  EXPECT_DOUBLE_EQ(outline->frames.back().width, 306);
  listed.isOnscreen = true;
  listed.bounds.reset();
  const auto placed = outline->frames.size();
  advance(1);
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

TEST_F(RecorderTest, TheTestHookSimulatesOneSystemStopOnceReady) {
  simulatedStopAt = 3.0;
  makeRecorder();
  start();
  advance(5);
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
  EXPECT_EQ(service.streams.size(), 1U) << "off screen: no resume";

  for (const double never : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    simulatedStopAt = never;
    startReady();
    advance(100);
    tick();
    EXPECT_EQ(countLines("paused"), 0) << never;
  }
}

}  // namespace
}  // namespace darvo::testing
