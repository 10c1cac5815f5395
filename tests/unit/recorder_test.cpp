// The recorder's state machine against the scripted capture service.
#include <cmath>
#include <csignal>

#include "recorder_fixture.hpp"

namespace darvo::testing {
namespace {

TEST_F(RecorderTest, FreshRecorderStartsQuietWithDefaults) {
  makeRecorder();
  EXPECT_TRUE(recorder->onscreen);
  EXPECT_FALSE(recorder->stopping || recorder->durationReached || recorder->failed ||
               recorder->hasFrame || recorder->recordingStarted || recorder->ready ||
               recorder->paused || recorder->resuming || recorder->simulatedStopDone);
  EXPECT_EQ(recorder->segment, 0);
  EXPECT_EQ(recorder->completedBytes, 0);
  EXPECT_TRUE(recorder->basePath.empty() && recorder->segmentPath.empty() &&
              recorder->stopDetail.empty());
  EXPECT_FALSE(recorder->stream || recorder->recording || recorder->health || recorder->outline);
  EXPECT_TRUE(recorder->signals.empty());
  EXPECT_DOUBLE_EQ(recorder->elapsed(), 0.0);
  advance(20);
  EXPECT_DOUBLE_EQ(recorder->elapsed(), 20.0);
  EXPECT_TRUE(lines.empty());
}

TEST_F(RecorderTest, StartOpensSegmentZeroWithCappedConfiguration) {
  makeRecorder();
  service.filterRect = capture::Rect{0, 0, 5000, 3000};
  start();
  ASSERT_EQ(service.streams.size(), 1U);
  EXPECT_EQ(stream().configuration.width, 4096);
  EXPECT_EQ(stream().configuration.height, 2456);
  EXPECT_EQ(stream().configuration.minimumFrameInterval.value, 1);
  EXPECT_EQ(stream().configuration.minimumFrameInterval.timescale, 15);
  EXPECT_EQ(output().configuration.outputPath, "/x/out.mp4");
  EXPECT_EQ(recorder->segmentPath, "/x/out.mp4");
  EXPECT_EQ(recorder->signals.size(), 2U);
  ASSERT_TRUE(startResult.has_value());
  EXPECT_FALSE(startResult->has_value());
  EXPECT_TRUE(lines.empty()) << "the segment event waits for the output's start";
}

TEST_F(RecorderTest, UnusableGeometryEndsWithInvalidGeometry) {
  makeRecorder();
  service.pointPixelScale = 0.0F;
  start();
  EXPECT_EQ(lines, std::vector<std::string>{R"({"error":"invalid_geometry"})"});
  EXPECT_EQ(exitStatus, 1);
}

TEST_F(RecorderTest, CaptureRefusalsReachTheCaller) {
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    service.streams.clear();
    makeRecorder();
    startResult.reset();
    const capture::CaptureError refusal{"scripted", 7};
    if (variant == 0) service.nextStreamRefusesOutput = refusal;
    if (variant == 1) service.nextStreamRefusesRecording = refusal;
    start(variant == 2 ? std::optional(refusal) : std::nullopt);
    ASSERT_TRUE(startResult.has_value());
    ASSERT_TRUE(startResult->has_value());
    EXPECT_EQ((*startResult)->code, 7);
    // Only a started capture leaves the new stream in place.
    EXPECT_EQ(recorder->stream != nullptr, variant == 2);
    service.nextStreamRefusesOutput.reset();
    service.nextStreamRefusesRecording.reset();
  }
}

TEST_F(RecorderTest, ReadyNeedsFrameStartedOutputAndRecordedTime) {
  makeRecorder();
  start();
  outputStarts(0.0);
  EXPECT_EQ(lines.size(), 1U);
  EXPECT_NE(lines[0].find(R"("event":"segment","file":"\/x\/out.mp4","index":0,"startedAtMs":)"),
            std::string::npos)
      << lines[0];
  frameArrives();
  EXPECT_EQ(countLines("ready"), 0) << "no recorded time yet";
  output().duration = std::nan("");
  tick();
  EXPECT_EQ(countLines("ready"), 0);
  output().duration = 0.07;
  tick();
  EXPECT_EQ(lastLine(), R"({"event":"ready"})");
  frameArrives();
  tick();
  EXPECT_EQ(countLines("ready"), 1);
}

TEST_F(RecorderTest, IncompleteFramesNeverMakeItReady) {
  makeRecorder();
  start();
  outputStarts();
  act([&] {
    recorder->streamDidOutputSample({true, {capture::FrameInfo{1}}},
                                    capture::StreamOutputType::screen);
    recorder->streamDidOutputSample({true, {capture::FrameInfo{}}},
                                    capture::StreamOutputType::screen);
    recorder->streamDidOutputSample({true, {}}, capture::StreamOutputType::screen);
    recorder->streamDidOutputSample({false, {capture::FrameInfo{0}}},
                                    capture::StreamOutputType::screen);
    recorder->streamDidOutputSample({true, {capture::FrameInfo{0}}},
                                    capture::StreamOutputType::audio);
  });
  EXPECT_FALSE(recorder->hasFrame);
  EXPECT_EQ(countLines("ready"), 0);
}

TEST_F(RecorderTest, SegmentStartWhileStoppingReportsSegmentButNotReady) {
  makeRecorder();
  start();
  frameArrives();
  act([&] { recorder->stop(); });
  outputStarts();
  EXPECT_EQ(countLines(R"("event":"segment")"), 1);
  EXPECT_EQ(countLines("ready"), 0);
}

TEST_F(RecorderTest, StopWaitsForTheOutputToFinish) {
  makeRecorder();
  startReady();
  act([&] { inputStop(); });
  EXPECT_EQ(stream().stopRequests, 1);
  completeStop();
  EXPECT_FALSE(exitStatus) << "the summary waits for the file";
  outputFinishes();
  EXPECT_EQ(lastLine(), R"({"detail":"","event":"finished","reason":"stopped","segments":1})");
  EXPECT_EQ(exitStatus, 0);
}

TEST_F(RecorderTest, SecondStopAndSignalsAfterStopChangeNothing) {
  makeRecorder();
  startReady();
  act([&] { recorder->stop(); });
  act([&] { recorder->stop(); });
  act([&] { ::raise(SIGINT); });
  act([&] { ::raise(SIGTERM); });
  drain();
  EXPECT_EQ(stream().stopRequests, 1);
  completeStop();
  outputFinishes();
  EXPECT_EQ(countLines("finished"), 1);
  EXPECT_EQ(exitStatus, 0);
}

class SignalTest : public RecorderTest, public ::testing::WithParamInterface<int> {};

TEST_P(SignalTest, SignalBecomesAStopRequest) {
  makeRecorder();
  startReady();
  act([&] { ::raise(GetParam()); });
  EXPECT_TRUE(recorder->stopping);
  EXPECT_EQ(stream().stopRequests, 1);
}

INSTANTIATE_TEST_SUITE_P(InterruptAndTerminate, SignalTest, ::testing::Values(SIGINT, SIGTERM));

TEST_F(RecorderTest, StopBeforeAnyStreamFinishesAtOnce) {
  makeRecorder();
  act([&] { recorder->stop(); });
  EXPECT_EQ(lines, std::vector<std::string>{
                       R"({"detail":"","event":"finished","reason":"stopped","segments":1})"});
  EXPECT_EQ(exitStatus, 0);
}

TEST_F(RecorderTest, FailedStopCaptureFinishesWithCurrentFlags) {
  makeRecorder();
  startReady();
  act([&] { recorder->stop(); });
  completeStop(capture::CaptureError{"scripted", 3});
  EXPECT_EQ(lastLine(), R"({"detail":"","event":"finished","reason":"stopped","segments":1})");
  EXPECT_EQ(exitStatus, 0);
}

TEST_F(RecorderTest, ExceptionInTheStopTaskStillEndsWithASummary) {
  segmentFinishTimeout = std::chrono::seconds(0);
  makeRecorder();
  startReady();
  stream().throwOnStop = true;
  act([&] { recorder->stop(); });
  EXPECT_EQ(
      lastLine(),
      R"({"detail":"internal_error","event":"finished","reason":"source_ended","segments":1})");
  EXPECT_EQ(exitStatus, 1);
}

TEST_F(RecorderTest, StopClosesOutlineAndCancelsHealth) {
  makeRecorder(std::nullopt, true);
  start();
  ASSERT_NE(outlinePanel, nullptr);
  ASSERT_FALSE(outlinePanel->frames.empty());
  EXPECT_DOUBLE_EQ(outlinePanel->frames[0].x, 97);
  EXPECT_DOUBLE_EQ(outlinePanel->frames[0].y, 47);
  EXPECT_DOUBLE_EQ(outlinePanel->frames[0].width, 806);
  EXPECT_DOUBLE_EQ(outlinePanel->frames[0].height, 606);
  EXPECT_EQ(outlinePanel->frontings, 1);
  act([&] { recorder->stop(); });
  EXPECT_TRUE(outlinePanel->closed);
}

TEST_F(RecorderTest, UnrequestedSegmentEndIsSourceEnded) {
  makeRecorder();
  startReady();
  outputFinishes();
  EXPECT_EQ(lastLine(),
            R"({"detail":"stream_ended","event":"finished","reason":"source_ended","segments":1})");
  EXPECT_EQ(exitStatus, 1);
}

TEST_F(RecorderTest, RecordingFailureEndsUnlessPaused) {
  makeRecorder();
  startReady();
  systemStop();
  act([&] { output().delegate->recordingOutputDidFail({"scripted", 9}); });
  EXPECT_FALSE(exitStatus) << "ignored while paused";
  makeRecorder();
  startReady();
  act([&] { output().delegate->recordingOutputDidFail({"scripted", 9}); });
  EXPECT_EQ(lastLine(), R"({"error":"recording_failed"})");
  EXPECT_EQ(exitStatus, 1);
  // Stopped while paused, the paused file's failure is the recording's, not a normal end.
  exitStatus.reset();
  makeRecorder();
  startReady();
  systemStop();
  act([&] { recorder->stop(); });
  act([&] { output().delegate->recordingOutputDidFail({"scripted", 9}); });
  EXPECT_EQ(lastLine(), R"({"error":"recording_failed"})");
  EXPECT_EQ(exitStatus, 1);
}

TEST_F(RecorderTest, SystemStopPausesOnceAndIgnoresTheSegmentEnd) {
  makeRecorder();
  startReady();
  advance(2.5);
  systemStop();
  EXPECT_EQ(lastLine(), R"({"atSeconds":2.5,"event":"paused","segment":0})");
  systemStop();
  EXPECT_EQ(countLines("paused"), 1);
  outputFinishes();
  EXPECT_FALSE(exitStatus);
}

TEST_F(RecorderTest, OtherStreamErrorsEndTheRecording) {
  // The system-stop code in another domain is just another error.
  makeRecorder();
  startReady();
  act([&] { stream().delegate->streamDidStop({"other", capture::kSystemStoppedStreamCode}); });
  EXPECT_TRUE(recorder->stopping);
  completeStop();
  outputFinishes();
  EXPECT_EQ(
      lastLine(),
      R"({"detail":"stream_error other -3821","event":"finished","reason":"source_ended","segments":1})");
  EXPECT_EQ(exitStatus, 1);
}

TEST_F(RecorderTest, SystemStopWhileStoppingIsAFailure) {
  makeRecorder();
  startReady();
  act([&] { recorder->stop(); });
  systemStop();
  completeStop();
  outputFinishes();
  EXPECT_EQ(
      lastLine(),
      R"({"detail":"stream_error x11_capture -3821","event":"finished","reason":"source_ended","segments":1})");
  EXPECT_EQ(exitStatus, 1);
}

TEST_F(RecorderTest, StreamErrorWhilePausedFinishesOnceThePausedFileIs) {
  makeRecorder();
  startReady();
  systemStop();
  act([&] { stream().delegate->streamDidStop({capture::kStreamErrorDomain, 2}); });
  EXPECT_EQ(countLines("finished"), 0);
  outputFinishes();
  EXPECT_EQ(
      lastLine(),
      R"({"detail":"stream_error x11_capture 2","event":"finished","reason":"source_ended","segments":1})");
  EXPECT_EQ(exitStatus, 1);
}

}  // namespace
}  // namespace darvo::testing
