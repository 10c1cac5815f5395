// Nothing recorded is lost when the process is killed, the parent stops listening, the disk
// fills up, or stop requests pile up.
#include <sys/mount.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "helper_process.hpp"

namespace darvo::test {
namespace {

using ReliabilityTest = RecordingFixture;

TEST_F(ReliabilityTest, KilledHelperLeavesAFilePlayableToItsLastSecond) {
  TestWindows windows(server.display(),
                      {{"--name", "killed", "--geometry", "320x240+0+0", "--animate"}});
  Recording recording(server, windows.id(0), path());
  recording.expectReady();
  const auto ready = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(3500ms);  // the length of the recording under test
  recording.process().signal(SIGKILL);
  const double recorded =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - ready).count();
  ASSERT_TRUE(recording.process().waitExit(5s));
  const auto probe = probeVideo(path());
  ASSERT_TRUE(probe) << "the file must stay readable";
  EXPECT_EQ(probe->codec, "h264");
  EXPECT_GE(probe->duration, recorded - 1.3) << "at most about a second is lost";
  EXPECT_GT(probe->frameCount, 20);
  EXPECT_TRUE(decodesCleanly(path()));
}

TEST_F(ReliabilityTest, ParentThatStopsListeningStillGetsACompleteFile) {
  TestWindows windows(server.display(), {{"--name", "deaf", "--geometry", "200x100+0+0"}});
  Recording recording(server, windows.id(0), path());
  recording.expectReady();
  recording.process().closeStdout();
  std::this_thread::sleep_for(700ms);  // health ticks write nothing, but must not end it
  recording.process().writeStdin("stop\n");
  const auto status = recording.process().waitExit(15s);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->exitCode(), 0);
  EXPECT_TRUE(decodesCleanly(path()));
}

TEST_F(ReliabilityTest, StormOfSignalsGivesOneSummary) {
  TestWindows windows(server.display(), {{"--name", "storm", "--geometry", "200x100+0+0"}});
  Recording recording(server, windows.id(0), path());
  recording.expectReady();
  for (int round = 0; round < 100; ++round) {
    recording.process().signal(round % 2 == 0 ? SIGINT : SIGTERM);
    if (round == 10 || round == 60) recording.process().writeStdin("stop\n");
  }
  recording.expectLine(kStoppedSummary);
  EXPECT_EQ(recording.expectExit(), 0);
  EXPECT_TRUE(probeVideo(path()));
}

// A small tmpfs of the test's own; skipped where mounting is not allowed.
class FullDiskTest : public ReliabilityTest {
 protected:
  void SetUp() override {
    mountPoint = directory.path() / "small";
    std::filesystem::create_directory(mountPoint);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=2m,mode=0700") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    mounted = true;
  }
  void TearDown() override {
    if (mounted) ::umount2(mountPoint.c_str(), MNT_DETACH);
  }
  // Fills the file system to the last byte.
  void fillUp() {
    std::ofstream filler(mountPoint / "filler", std::ios::binary);
    const std::string block(64 * 1024, 'x');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
    filler.close();
    std::ofstream rest(mountPoint / "rest", std::ios::binary);
    while (rest.put('x')) {
    }
  }
  std::filesystem::path mountPoint;
  bool mounted = false;
};

TEST_F(FullDiskTest, FullDiskFailsTheRecordingAndKeepsEarlierSegments) {
  TestWindows windows(server.display(), {{"--name", "full", "--geometry", "320x240+0+0"}});
  const std::string first = (mountPoint / "out.mp4").string();
  Recording recording(server, windows.id(0), first);
  recording.expectReady();
  ASSERT_EQ(windows.command("unmap 0"), "ok");
  recording.expectLinesInAnyOrder({R"(\{"atSeconds":[0-9.e+-]+,"event":"paused","segment":0\})",
                                   R"(\{"atSeconds":[0-9.e+-]+,"event":"offscreen"\})"});
  // The paused segment is complete once its file is synced; give the encoder its moment.
  std::this_thread::sleep_for(500ms);
  fillUp();
  ASSERT_EQ(windows.command("map 0"), "ok");
  recording.expectLine(R"(\{"atSeconds":[0-9.e+-]+,"event":"onscreen"\})");
  recording.expectLine(R"(\{"error":"recording_failed"\})");
  EXPECT_EQ(recording.expectExit(), 1);
  std::filesystem::remove(mountPoint / "filler");
  EXPECT_TRUE(decodesCleanly(first)) << "segment 0 intact";
}

TEST_F(FullDiskTest, DiskFillingDuringASegmentFailsWithoutHanging) {
  TestWindows windows(server.display(),
                      {{"--name", "filling", "--geometry", "640x480+0+0", "--animate"}});
  const std::string output = (mountPoint / "out.mp4").string();
  Recording recording(server, windows.id(0), output);
  recording.expectReady();
  fillUp();
  recording.expectLine(R"(\{"error":"recording_failed"\})", 20s);
  EXPECT_EQ(recording.expectExit(), 1);
}

}  // namespace
}  // namespace darvo::test
