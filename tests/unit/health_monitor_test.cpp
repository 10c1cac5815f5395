// The health tick's decisions, with the scripted window list and a fake clock.
#include <cmath>

#include "recorder_fixture.hpp"

namespace darvo::testing {
namespace {

class HealthTest : public RecorderTest {
 protected:
  void windowGone() {
    service.windows.entries.clear();
    service.windows.allNumbers = std::vector<uint32_t>{1, 2, 3};
  }
  std::string summary(const std::string& reason, const std::string& detail) {
    return R"({"detail":")" + detail + R"(","event":"finished","reason":")" + reason +
           R"(","segments":)" + std::to_string(recorder->segment + 1) + "}";
  }
  // Ends a stop that waits for the stream, as the capture layer would.
  void finishStop() {
    completeStop();
    outputFinishes();
  }
};

TEST_F(HealthTest, DurationEndsTheRecordingOnceReached) {
  makeRecorder(10.0);
  startReady();
  advance(9.9);
  tick();
  EXPECT_FALSE(recorder->stopping);
  advance(0.1);
  tick();
  EXPECT_TRUE(recorder->durationReached);
  finishStop();
  EXPECT_EQ(lastLine(), summary("duration", ""));
  EXPECT_EQ(exitStatus, 0);
}

TEST_F(HealthTest, NaNDurationAndNoDurationNeverEnd) {
  for (const auto duration : {std::optional<double>{}, std::optional<double>{std::nan("")}}) {
    makeRecorder(duration);
    startReady();
    advance(4000);
    tick();
    EXPECT_FALSE(recorder->durationReached);
    EXPECT_FALSE(recorder->stopping);
  }
}

TEST_F(HealthTest, FailureWinsOverDuration) {
  makeRecorder(5.0);
  startReady();
  act([&] { stream().delegate->streamDidStop({"other", 1}); });
  advance(6);
  tick();
  finishStop();
  EXPECT_EQ(lastLine(), summary("source_ended", "stream_error other 1"));
  EXPECT_EQ(exitStatus, 1);
}

TEST_F(HealthTest, OnscreenChangesAreReportedOncePerChange) {
  makeRecorder();
  startReady();
  tick();
  EXPECT_EQ(countLines("screen"), 0) << "a window on screen at the start is not reported";
  service.windows.entries[kWindowID].isOnscreen = false;
  advance(1);
  tick();
  tick();
  service.windows.entries[kWindowID].isOnscreen = true;
  advance(1);
  tick();
  tick();
  EXPECT_EQ(countLines(R"({"atSeconds":1,"event":"offscreen"})"), 1);
  EXPECT_EQ(countLines(R"({"atSeconds":2,"event":"onscreen"})"), 1);
  EXPECT_FALSE(recorder->paused) << "leaving the screen is only reported";
}

TEST_F(HealthTest, ClosedWindowReportsOffscreenThenWindowClosed) {
  makeRecorder();
  startReady();
  windowGone();
  tick();
  ASSERT_GE(lines.size(), 2U);
  EXPECT_NE(lines[lines.size() - 1].find("offscreen"), std::string::npos);
  finishStop();
  EXPECT_EQ(lastLine(), summary("source_ended", "window_closed"));
  EXPECT_EQ(exitStatus, 1);
  EXPECT_EQ(countLines("paused"), 0);
}

TEST_F(HealthTest, UnavailableWindowListMeansClosed) {
  makeRecorder();
  startReady();
  service.windows.entries[kWindowID].ownerPID.reset();
  service.windows.allNumbers.reset();
  tick();
  finishStop();
  EXPECT_EQ(lastLine(), summary("source_ended", "window_closed"));
}

TEST_F(HealthTest, UnknownOwnerGoesOnWhileTheWindowIsListed) {
  makeRecorder();
  startReady();
  service.windows.entries[kWindowID].ownerPID.reset();
  service.windows.allNumbers = std::vector<uint32_t>{7, kWindowID};
  tick();
  EXPECT_FALSE(recorder->stopping);
  EXPECT_EQ(service.windows.listQueries, 1);
}

TEST_F(HealthTest, KnownOwnerNeedsNoCompleteList) {
  makeRecorder();
  startReady();
  tick();
  EXPECT_EQ(service.windows.listQueries, 0);
}

TEST_F(HealthTest, WindowNumberOfAnotherProcessIsReuse) {
  makeRecorder();
  startReady();
  service.windows.entries[kWindowID].ownerPID = 999;
  tick();
  finishStop();
  EXPECT_EQ(lastLine(), summary("source_ended", "window_reused"));
  EXPECT_EQ(exitStatus, 1);

  // A window recorded without an owner, now listed with one.
  auto ownerless = recordedWindow();
  ownerless.owningApplication.reset();
  makeRecorder(std::nullopt, false, ownerless);
  exitStatus.reset();
  startReady();
  tick();
  EXPECT_EQ(recorder->stopDetail, "window_reused");
}

TEST_F(HealthTest, SizeLimitCountsEarlierSegments) {
  makeRecorder();
  startReady();
  recorder->completedBytes = 100;
  output().fileSize = supervision::kSizeLimitBytes - 101;
  tick();
  EXPECT_FALSE(recorder->stopping) << "268,435,455 bytes go on";
  output().fileSize += 1;
  tick();
  finishStop();
  EXPECT_EQ(lastLine(), summary("source_ended", "size_limit"));
  EXPECT_EQ(exitStatus, 1);
}

TEST_F(HealthTest, OutlineFollowsTheWindow) {
  makeRecorder(std::nullopt, true);
  startReady();
  service.windows.entries[kWindowID].bounds = capture::Rect{10, 20, 300, 200};
  tick();
  ASSERT_NE(outlinePanel, nullptr);
  EXPECT_DOUBLE_EQ(outlinePanel->frames.back().x, 7);
  EXPECT_DOUBLE_EQ(outlinePanel->frames.back().width, 306);
  service.windows.entries[kWindowID].bounds.reset();
  const auto placed = outlinePanel->frames.size();
  tick();
  EXPECT_EQ(outlinePanel->frames.size(), placed) << "no bounds, no move";
}

TEST_F(HealthTest, SimulatedStopWaitsForReadinessAndFiresOnce) {
  makeRecorder();
  start();
  advance(5);
  tick(3.0);
  EXPECT_FALSE(recorder->simulatedStopDone) << "not ready yet";
  outputStarts();
  frameArrives();
  service.windows.entries[kWindowID].isOnscreen = false;
  tick(3.0);
  EXPECT_TRUE(recorder->simulatedStopDone);
  EXPECT_TRUE(recorder->paused);
  EXPECT_EQ(stream().stopRequests, 1);
  EXPECT_FALSE(recorder->resuming) << "the window is off screen";
  completeStop();
  outputFinishes();
  EXPECT_FALSE(exitStatus);
  tick(3.0);
  EXPECT_EQ(countLines("paused"), 1);
}

TEST_F(HealthTest, SimulatedStopNeverFiresForUnusableValues) {
  for (const double at : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    makeRecorder();
    startReady();
    advance(100);
    tick(at);
    EXPECT_FALSE(recorder->simulatedStopDone);
  }
}

TEST_F(HealthTest, SimulatedStopOnScreenResumesInTheSameTick) {
  makeRecorder();
  startReady();
  output().fileSize = 1000;
  service.content = capture::ShareableContent{{recordedWindow()}};
  advance(3);
  tick(3.0);
  EXPECT_EQ(countLines("paused"), 1);
  EXPECT_EQ(service.streams.size(), 2U) << "the resume opened the next segment";
  stream().startCompletion(std::nullopt);
  drain();
  EXPECT_FALSE(recorder->paused);
  EXPECT_EQ(recorder->segment, 1);
  EXPECT_EQ(output().configuration.outputPath, "/x/out.mp4.1.mp4");
  // The first segment's file ends after the resume: it is not the current one, and its final
  // size counts from then on.
  output().fileSize = 30;
  EXPECT_EQ(recorder->recordedBytes(), 1030);
  service.outputs[0]->fileSize = 1200;  // its tail
  act([&] { service.outputs[0]->delegate->recordingOutputDidFinish(); });
  EXPECT_FALSE(exitStatus);
  EXPECT_EQ(recorder->completedBytes, 1200);
  EXPECT_EQ(recorder->recordedBytes(), 1230);
  outputStarts();
  EXPECT_NE(lastLine().find(R"("index":1)"), std::string::npos);
  EXPECT_EQ(countLines("ready"), 1);
}

TEST_F(HealthTest, ResumeRetriesUntilTheWindowIsFound) {
  makeRecorder();
  startReady();
  output().fileSize = 500;
  systemStop();
  service.content.reset();  // content request fails
  tick();
  EXPECT_FALSE(recorder->resuming);
  service.content = capture::ShareableContent{};  // window missing
  tick();
  EXPECT_FALSE(recorder->resuming);
  EXPECT_EQ(service.streams.size(), 1U);
  service.content = capture::ShareableContent{{recordedWindow()}};
  service.nextStreamRefusesRecording = capture::CaptureError{"scripted", 5};
  tick();
  EXPECT_EQ(recorder->segment, 0);
  EXPECT_TRUE(recorder->paused);
  service.nextStreamRefusesRecording.reset();
  tick();
  stream().startCompletion(std::nullopt);
  outputFinishesAt(0);
  EXPECT_EQ(recorder->recordedBytes(), 500) << "a closed segment counts once";
  drain();
  EXPECT_FALSE(recorder->paused);
  EXPECT_EQ(recorder->segment, 1);
  EXPECT_EQ(service.contentRequests.back(), std::make_pair(false, true));
}

TEST_F(HealthTest, StopDuringResumeWaitsForBothFilesAndCountsTheSegmentBeingOpened) {
  makeRecorder();
  startReady();
  systemStop();
  service.content = capture::ShareableContent{{recordedWindow()}};
  tick();
  EXPECT_TRUE(recorder->resuming);
  EXPECT_EQ(recorder->segment, 1);
  act([&] { inputStop(); });
  outputFinishesAt(0);
  EXPECT_FALSE(exitStatus) << "the segment being opened will write a file too";
  stream().startCompletion(std::nullopt);
  drain();
  EXPECT_EQ(stream().stopRequests, 1) << "its capture is stopped once it has started";
  completeStop();
  outputFinishes();
  EXPECT_EQ(lastLine(), R"({"detail":"","event":"finished","reason":"stopped","segments":2})");
  EXPECT_EQ(exitStatus, 0);
}

TEST_F(HealthTest, StopWhilePausedWaitsForThePausedFileWithoutTouchingTheStream) {
  for (const bool fileEnds : {true, false}) {
    segmentFinishTimeout = fileEnds ? std::chrono::hours(24) : std::chrono::seconds(0);
    makeRecorder();
    startReady();
    systemStop();
    service.windows.entries[kWindowID].isOnscreen = false;
    tick();
    act([&] { recorder->stop(); });
    EXPECT_EQ(stream().stopRequests, 0);
    if (fileEnds) {
      EXPECT_EQ(countLines("finished"), 0) << "the paused file is still being written";
      outputFinishes();
      EXPECT_EQ(lastLine(), R"({"detail":"","event":"finished","reason":"stopped","segments":1})");
      EXPECT_EQ(exitStatus, 0);
    } else {
      EXPECT_EQ(
          lastLine(),
          R"({"detail":"segment_unfinished","event":"finished","reason":"source_ended","segments":1})");
      EXPECT_EQ(exitStatus, 1);
    }
    lines.clear();
    exitStatus.reset();
  }
}

}  // namespace
}  // namespace darvo::testing
