// A recording through the life of its window: pauses, new segments, a closed window, the test
// hook, and minimising under a window manager.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "helper_process.hpp"

namespace darvo::test {
namespace {

constexpr const char* kAtSeconds = R"("atSeconds":[0-9.e+-]+)";
const std::string kPausedAtZero =
    std::string(R"(\{)") + kAtSeconds + R"(,"event":"paused","segment":0\})";
const std::string kOffscreen = std::string(R"(\{)") + kAtSeconds + R"(,"event":"offscreen"\})";

class SupervisionTest : public RecordingFixture {
 protected:
  std::string secondSegment() { return path() + ".1.mp4"; }
};

// A changing window's file holds every second recorded, at a steady rate.
void expectWholeFile(const std::string& file, double seconds) {
  const auto probe = probeVideo(file);
  ASSERT_TRUE(probe) << file;
  EXPECT_GE(probe->duration, seconds) << file;
  EXPECT_GE(probe->frameCount, static_cast<int64_t>(seconds * 10)) << file;
  EXPECT_TRUE(decodesCleanly(file));
}

TEST_F(SupervisionTest, UnmapPausesAndMapContinuesInTheNextSegment) {
  TestWindows windows(server.display(),
                      {{"--name", "comeback", "--geometry", "240x180+0+0", "--animate"}});
  Recording recording(server, windows.id(0), path());
  recording.expectReady();
  ASSERT_EQ(windows.command("unmap 0"), "ok");
  recording.expectLinesInAnyOrder({kPausedAtZero, kOffscreen});
  ASSERT_EQ(windows.command("map 0"), "ok");
  recording.expectLine(std::string(R"(\{)") + kAtSeconds + R"(,"event":"onscreen"\})");
  recording.expectLine(
      R"(\{"event":"segment","file":".*\.mp4\.1\.mp4","index":1,"startedAtMs":[0-9.e+]+\})");
  recording.process().writeStdin("stop\n");
  recording.expectLine(R"(\{"detail":"","event":"finished","reason":"stopped","segments":2\})");
  EXPECT_EQ(recording.expectExit(), 0);
  for (const auto& file : {path(), secondSegment()}) {
    const auto probe = probeVideo(file);
    ASSERT_TRUE(probe) << file;
    EXPECT_EQ(probe->width, 240);
    EXPECT_GT(probe->frameCount, 0);
  }
}

TEST_F(SupervisionTest, StopRightAfterAPauseKeepsThePausedFileWhole) {
  TestWindows windows(server.display(),
                      {{"--name", "paused", "--geometry", "800x600+0+0", "--animate"}});
  Recording recording(server, windows.id(0), path());
  recording.expectReady();
  std::this_thread::sleep_for(2s);
  ASSERT_EQ(windows.command("unmap 0"), "ok");
  // The health check may report the window leaving at any moment until the stop.
  const auto nextBesidesOffscreen = [&] {
    const auto line = recording.expectLine(R"(\{.*\})");
    return std::regex_match(line, std::regex(kOffscreen)) ? recording.expectLine(R"(\{.*\})")
                                                          : line;
  };
  EXPECT_TRUE(std::regex_match(nextBesidesOffscreen(), std::regex(kPausedAtZero)));
  recording.process().writeStdin("stop\n");
  EXPECT_EQ(nextBesidesOffscreen(),
            R"({"detail":"","event":"finished","reason":"stopped","segments":1})");
  EXPECT_EQ(recording.expectExit(), 0);
  expectWholeFile(path(), 1.9);
}

TEST_F(SupervisionTest, KilledWindowOwnerEndsWithWindowClosed) {
  TestWindows windows(server.display(),
                      {{"--name", "doomed", "--geometry", "240x180+0+0", "--animate"}});
  Recording recording(server, windows.id(0), path());
  recording.expectReady();
  ::kill(windows.pid(), SIGKILL);
  recording.expectLine(kOffscreen);
  recording.expectLine(
      R"(\{"detail":"window_closed","event":"finished","reason":"source_ended","segments":1\})");
  EXPECT_EQ(recording.expectExit(), 1);
  const auto probe = probeVideo(path());
  ASSERT_TRUE(probe);
  EXPECT_GT(probe->frameCount, 0);
}

TEST_F(SupervisionTest, TestHookSimulatesOneSystemStopAndBothFilesAreWhole) {
  TestWindows windows(server.display(),
                      {{"--name", "hooked", "--geometry", "200x100+0+0", "--animate"}});
  Recording recording(server, windows.id(0), path(), "none", "no-outline",
                      {{"DARVO_HELPER_TEST_SYSTEM_STOP_AT", "1"}});
  recording.expectReady();
  recording.expectLine(kPausedAtZero);
  recording.expectLine(
      R"(\{"event":"segment","file":".*\.1\.mp4","index":1,"startedAtMs":[0-9.e+]+\})");
  EXPECT_FALSE(recording.process().readLine(2s)) << "the hook fires once";
  recording.process().closeStdin();
  recording.expectLine(R"(\{"detail":"","event":"finished","reason":"stopped","segments":2\})");
  EXPECT_EQ(recording.expectExit(), 0);
  // The pause comes at the first health check past one second, about 0.9 s after "ready".
  expectWholeFile(path(), 0.7);
  expectWholeFile(secondSegment(), 1.5);
}

TEST_F(SupervisionTest, TakenSegmentNameFailsWithoutTouchingIt) {
  TestWindows windows(server.display(), {{"--name", "taken", "--geometry", "200x100+0+0"}});
  { std::ofstream(secondSegment()) << "precious"; }
  Recording recording(server, windows.id(0), path(), "none", "no-outline",
                      {{"DARVO_HELPER_TEST_SYSTEM_STOP_AT", "1"}});
  recording.expectReady();
  recording.expectLine(kPausedAtZero);
  recording.expectLine(R"(\{"error":"recording_failed"\})");
  EXPECT_EQ(recording.expectExit(), 1);
  std::ifstream kept(secondSegment());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "precious");
  EXPECT_TRUE(probeVideo(path()));
}

TEST_F(SupervisionTest, MinimisingUnderAWindowManagerPausesAndRestoringResumes) {
  TestWindows windows(server.display(), {{"--name", "managed", "--geometry", "240x180+40+40"}});
  ChildProcess windowManager({"openbox", "--sm-disable"}, server.clientOptions());
  ASSERT_TRUE(waitForProperty(server.display(), windows.ids(), "WM_STATE"));
  Recording recording(server, windows.id(0), path());
  recording.expectReady();
  const auto window = std::to_string(windows.id(0));
  ASSERT_EQ(
      runTool({"xdotool", "windowminimize", window}, server.clientOptions()).status.exitCode(), 0);
  recording.expectLinesInAnyOrder({kPausedAtZero, kOffscreen});
  ASSERT_EQ(runTool({"xdotool", "windowmap", window}, server.clientOptions()).status.exitCode(), 0);
  recording.expectLine(std::string(R"(\{)") + kAtSeconds + R"(,"event":"onscreen"\})");
  recording.expectLine(
      R"(\{"event":"segment","file":".*\.1\.mp4","index":1,"startedAtMs":[0-9.e+]+\})");
  recording.process().signal(SIGINT);
  recording.expectLine(R"(\{"detail":"","event":"finished","reason":"stopped","segments":2\})");
  EXPECT_EQ(recording.expectExit(), 0);
}

TEST_F(SupervisionTest, OutlineFollowsTheRecordedWindow) {
  TestWindows windows(server.display(), {{"--name", "outlined", "--geometry", "300x200+100+50"}});
  Recording recording(server, windows.id(0), path(), "none", "outline");
  recording.expectReady();
  ASSERT_EQ(windows.command("move 0 200 150"), "ok");
  std::this_thread::sleep_for(1200ms);  // two health ticks
  const auto tree = runTool({"xwininfo", "-root", "-children"}, server.clientOptions());
  const auto byClass =
      runTool({"xdotool", "search", "--classname", "darvo-helper-outline"}, server.clientOptions());
  ASSERT_EQ(byClass.status.exitCode(), 0) << tree.output;
  const auto info =
      runTool({"xwininfo", "-id", byClass.output.substr(0, byClass.output.find('\n'))},
              server.clientOptions());
  EXPECT_NE(info.output.find("Absolute upper-left X:  197"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("Absolute upper-left Y:  147"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("Width: 306"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("Map State: IsViewable"), std::string::npos) << info.output;
  recording.process().closeStdin();
  recording.expectLine(kStoppedSummary);
  EXPECT_EQ(recording.expectExit(), 0);
}

}  // namespace
}  // namespace darvo::test
