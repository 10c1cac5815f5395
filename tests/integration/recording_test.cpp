// Real recordings of real windows, checked with ffprobe.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "helper_process.hpp"

namespace darvo::test {
namespace {

// The colour of the pixel at the centre of the file's first frame, as "RRGGBB".
std::string centreColour(const std::string& path, int width, int height) {
  const auto result =
      runTool({"ffmpeg", "-v", "error", "-i", path, "-frames:v", "1", "-vf",
               "crop=2:2:" + std::to_string(width / 2) + ":" + std::to_string(height / 2), "-f",
               "rawvideo", "-pix_fmt", "rgb24", "-"});
  if (result.output.size() < 3) return "none";
  char text[8];
  std::snprintf(text, sizeof text, "%02x%02x%02x", static_cast<unsigned char>(result.output[0]),
                static_cast<unsigned char>(result.output[1]),
                static_cast<unsigned char>(result.output[2]));
  return text;
}

// Each channel within `tolerance` of the expected colour (H.264 is lossy).
bool closeColour(const std::string& actual, const std::string& expected, int tolerance = 24) {
  if (actual.size() != 6) return false;
  for (int channel = 0; channel < 3; ++channel) {
    const int a = std::stoi(actual.substr(channel * 2, 2), nullptr, 16);
    const int e = std::stoi(expected.substr(channel * 2, 2), nullptr, 16);
    if (std::abs(a - e) > tolerance) return false;
  }
  return true;
}

using RecordingTest = RecordingFixture;

TEST_F(RecordingTest, ChangingWindowMakesAnH264FileOfItsTime) {
  TestWindows windows(server.display(),
                      {{"--name", "movie", "--geometry", "321x241+20+20", "--animate"}});
  Recording recording(server, windows.id(0), path());
  recording.expectReady();
  const auto started = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(3s);  // the length of the recording under test
  recording.process().writeStdin("stop\n");
  const double recorded =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  recording.expectLine(kStoppedSummary);
  EXPECT_EQ(recording.expectExit(), 0);

  const auto probe = probeVideo(path());
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->codec, "h264");
  EXPECT_EQ(probe->width, 320);
  EXPECT_EQ(probe->height, 240);
  EXPECT_NEAR(probe->duration, recorded, 0.6);
  EXPECT_GE(probe->frameCount, static_cast<int64_t>(recorded * 10)) << "a changing window";
  EXPECT_LE(probe->frameCount, static_cast<int64_t>(probe->duration * 15) + 2) << "15 fps at most";
  struct stat status {};
  ASSERT_EQ(::stat(path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600);
}

TEST_F(RecordingTest, CoveredWindowIsRecordedWithItsOwnPixels) {
  TestWindows windows(server.display(),
                      {{"--name", "covered", "--geometry", "200x160+50+50", "--color", "d02020"},
                       {"--name", "cover", "--geometry", "300x300+0+0", "--color", "2040e0"}});
  Recording recording(server, windows.id(0), path());
  recording.expectReady();
  recording.process().signal(SIGTERM);
  recording.expectLine(kStoppedSummary);
  EXPECT_EQ(recording.expectExit(), 0);
  EXPECT_TRUE(closeColour(centreColour(path(), 200, 160), "d02020"))
      << centreColour(path(), 200, 160);
}

TEST_F(RecordingTest, IdleWindowStillLastsAsLongAsTheRecording) {
  TestWindows windows(server.display(), {{"--name", "idle", "--geometry", "200x100+0+0"}});
  Recording recording(server, windows.id(0), path(), "2");
  recording.expectReady();
  recording.expectLine(R"(\{"detail":"","event":"finished","reason":"duration","segments":1\})");
  EXPECT_EQ(recording.expectExit(), 0);
  const auto probe = probeVideo(path());
  ASSERT_TRUE(probe);
  EXPECT_NEAR(probe->duration, 2.0, 0.6);
  EXPECT_LE(probe->frameCount, 8) << "an idle window is not re-encoded 15 times a second";
}

class StopRequestTest : public RecordingTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(StopRequestTest, EachWayToStopGivesOneSummary) {
  TestWindows windows(server.display(), {{"--name", "stopme", "--geometry", "200x100+0+0"}});
  Recording recording(server, windows.id(0), path());
  recording.expectReady();
  const std::string& way = GetParam();
  if (way == "stop") recording.process().writeStdin("please stop\n");
  if (way == "eof") recording.process().closeStdin();
  if (way == "sigint") recording.process().signal(SIGINT);
  if (way == "sigterm") {
    for (int repeat = 0; repeat < 5; ++repeat) recording.process().signal(SIGTERM);
  }
  recording.expectLine(kStoppedSummary);
  EXPECT_EQ(recording.expectExit(), 0);
  EXPECT_TRUE(probeVideo(path()));
}

INSTANTIATE_TEST_SUITE_P(Ways, StopRequestTest,
                         ::testing::Values("stop", "eof", "sigint", "sigterm"));

TEST_F(RecordingTest, OtherInputIsIgnored) {
  TestWindows windows(server.display(), {{"--name", "words", "--geometry", "200x100+0+0"}});
  Recording recording(server, windows.id(0), path());
  recording.expectReady();
  recording.process().writeStdin("STOP\npause\nresume\nquit\n");
  EXPECT_FALSE(recording.process().readLine(1500ms));
  recording.process().writeStdin("stop");
  recording.expectLine(kStoppedSummary);
  EXPECT_EQ(recording.expectExit(), 0);
}

TEST_F(RecordingTest, StandardInputAtEndStopsAtOnce) {
  TestWindows windows(server.display(), {{"--name", "eof", "--geometry", "200x100+0+0"}});
  const auto run = runHelper({"record", hexId(windows.id(0)), path(), "none", "no-outline"},
                             server.clientOptions());
  ASSERT_FALSE(run.lines.empty());
  EXPECT_TRUE(std::regex_match(run.lines.back(), std::regex(kStoppedSummary))) << run.lines.back();
  EXPECT_EQ(run.status.exitCode(), 0);
}

}  // namespace
}  // namespace darvo::test
