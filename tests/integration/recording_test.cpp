// Real recordings of real windows, checked with ffprobe.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include <xcb/xcb.h>

#include "capture/x11/xcb_handles.hpp"
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

// The presentation times of the file's video packets, in ascending order.
std::vector<double> packetTimes(const std::string& path) {
  const auto result = runTool({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                               "packet=pts_time", "-of", "csv=p=0", path});
  std::vector<double> times;
  std::istringstream lines(result.output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) times.push_back(std::stod(line));
  }
  std::sort(times.begin(), times.end());
  return times;
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

TEST_F(RecordingTest, AChangingWindowDraggedPartlyOffScreenDoesNotFreeze) {
  TestWindows windows(server.display(),
                      {{"--name", "dragged", "--geometry", "320x240+20+20", "--animate"}});
  Recording recording(server, windows.id(0), path());
  recording.expectReady();
  // Over the bottom-right corner of the 1280x1024 screen and back, in steps as a drag does.
  auto drag = [&](int fromX, int fromY, int toX, int toY) {
    for (int step = 1; step <= 8; ++step) {
      ASSERT_EQ(windows.command("move 0 " + std::to_string(fromX + (toX - fromX) * step / 8) + " " +
                                std::to_string(fromY + (toY - fromY) * step / 8)),
                "ok");
      std::this_thread::sleep_for(60ms);
    }
  };
  drag(20, 20, 1100, 900);
  std::this_thread::sleep_for(1s);
  drag(1100, 900, 20, 20);
  std::this_thread::sleep_for(300ms);
  recording.process().writeStdin("stop\n");
  recording.expectLine(kStoppedSummary);
  EXPECT_EQ(recording.expectExit(), 0);

  const auto times = packetTimes(path());
  ASSERT_GE(times.size(), 10U);
  for (std::size_t i = 1; i < times.size(); ++i) {
    EXPECT_LE(times[i] - times[i - 1], 0.5) << "frozen before " << times[i] << " s";
  }
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

// A desktop with a window manager and a compositing manager, and a window drawing its own
// decorations: 32-bit ARGB, with shadow margins announced in _GTK_FRAME_EXTENTS.
TEST_F(RecordingTest, ShadowedWindowIsListedRecordedAndOutlinedAtItsVisibleSize) {
  ChildProcess windowManager({"openbox", "--sm-disable"}, server.clientOptions());
  ChildProcess compositor({"picom", "--backend", "xrender"}, server.clientOptions());
  ASSERT_TRUE(waitForWindowManager(server.display()));
  TestWindows windows(server.display(),
                      {{"--name", "shadowed", "--geometry", "640x480+100+50", "--argb",
                        "--frame-extents", "20,20,10,30", "--color", "d02020"}});
  ASSERT_TRUE(waitForProperty(server.display(), windows.ids(), "WM_STATE"));
  const auto listing = runHelper({"windows"}, server.clientOptions());
  ASSERT_EQ(listing.lines.size(), 1U);
  EXPECT_NE(listing.lines[0].find(R"("height":440,)"), std::string::npos) << listing.lines[0];
  EXPECT_NE(listing.lines[0].find(R"("width":600})"), std::string::npos) << listing.lines[0];

  Recording recording(server, windows.id(0), path(), "none", "outline");
  recording.expectReady();
  // The outline lies 3 pixels outside the visible area, wherever the window manager put it.
  const auto client = runTool({"xwininfo", "-id", hexId(windows.id(0))}, server.clientOptions());
  const auto outline =
      runTool({"xdotool", "search", "--classname", "darvo-helper-outline"}, server.clientOptions());
  const auto panel =
      runTool({"xwininfo", "-id", outline.output.substr(0, outline.output.find('\n'))},
              server.clientOptions());
  const auto absolute = [](const std::string& info, const std::string& axis) {
    const std::string key = "Absolute upper-left " + axis + ":";
    return std::stoi(info.substr(info.find(key) + key.size()));
  };
  EXPECT_EQ(absolute(panel.output, "X"), absolute(client.output, "X") + 20 - 3) << panel.output;
  EXPECT_EQ(absolute(panel.output, "Y"), absolute(client.output, "Y") + 10 - 3) << panel.output;
  EXPECT_NE(panel.output.find("Width: 606"), std::string::npos) << panel.output;
  EXPECT_NE(panel.output.find("Height: 446"), std::string::npos) << panel.output;
  recording.process().writeStdin("stop\n");
  recording.expectLine(kStoppedSummary);
  EXPECT_EQ(recording.expectExit(), 0);
  const auto probe = probeVideo(path());
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->width, 600);
  EXPECT_EQ(probe->height, 440);
  EXPECT_TRUE(closeColour(centreColour(path(), 600, 440), "d02020"));
}

// On a 2560x1440 screen, windows reaching beyond its edge.
struct PlacedWindow {
  std::string name;
  std::vector<std::string> options;
  int width = 0;
  int height = 0;
  friend void PrintTo(const PlacedWindow& placed, std::ostream* out) { *out << placed.name; }
};

// Xvfb starts the pointer at the screen's centre, where the drawn-in cursor would hide the centre
// of a screen-sized window.
void movePointerToTheCorner(const XvfbServer& server) {
  using capture::x11::takeReply;
  const capture::x11::XcbConnection connection(xcb_connect(server.display().c_str(), nullptr));
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection.get())).data->root;
  xcb_warp_pointer(connection.get(), XCB_NONE, root, 0, 0, 0, 0, 0, 0);
  takeReply(xcb_get_input_focus_reply, connection.get(), xcb_get_input_focus(connection.get()));
}

class OffScreenRecordingTest : public ::testing::TestWithParam<PlacedWindow> {
 protected:
  XvfbServer server{XvfbOptions{"2560x1440x24"}};
  TemporaryDirectory directory;
};

TEST_P(OffScreenRecordingTest, RecordsTheWindowsOwnPixelsFromTheFirstFrame) {
  const PlacedWindow& placed = GetParam();
  movePointerToTheCorner(server);
  std::vector<std::string> options = placed.options;
  options.insert(options.end(), {"--name", placed.name, "--color", "d02020"});
  TestWindows windows(server.display(), {options});
  const std::string path = (directory.path() / "out.mp4").string();
  Recording recording(server, windows.id(0), path);
  recording.expectReady();
  recording.process().signal(SIGTERM);
  recording.expectLine(kStoppedSummary);
  EXPECT_EQ(recording.expectExit(), 0);
  const auto probe = probeVideo(path);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->width, placed.width);
  EXPECT_EQ(probe->height, placed.height);
  const std::string centre = centreColour(path, placed.width, placed.height);
  EXPECT_TRUE(closeColour(centre, "d02020")) << centre;
}

INSTANTIATE_TEST_SUITE_P(
    Placements, OffScreenRecordingTest,
    ::testing::Values(
        PlacedWindow{"PartlyOff", {"--geometry", "640x480+2000+1000"}, 640, 480},
        PlacedWindow{
            "ScreenSizedWithBorder", {"--geometry", "2560x1440+0+0", "--border", "1"}, 2560, 1440},
        PlacedWindow{"LargerThanTheScreen", {"--geometry", "3000x2000+0+0"}, 3000, 2000},
        PlacedWindow{"WhollyOff", {"--geometry", "640x480+3000+0"}, 640, 480},
        PlacedWindow{"WiderThanTheLongestSide", {"--geometry", "5000x1000+0+0"}, 4096, 818}),
    [](const ::testing::TestParamInfo<PlacedWindow>& info) { return info.param.name; });

}  // namespace
}  // namespace darvo::test
