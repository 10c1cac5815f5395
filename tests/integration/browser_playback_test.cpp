// Recordings played by a real browser (Chromium, headless) from a page on localhost
// (playback_page.js): the length a <video> element gives at once, the picture size, a seek near
// the end.
#include <csignal>
#include <sstream>
#include <string>
#include <vector>

#include "helper_process.hpp"

namespace darvo::test {
namespace {

constexpr double kFrame = 1.0 / 15;  // at the highest frame rate

std::vector<std::string> chromium(const std::filesystem::path& profile, const std::string& url) {
  return {"chromium",
          "--headless",
          "--no-sandbox",
          "--disable-gpu",
          "--disable-quic",
          "--no-first-run",
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--user-data-dir=" + profile.string(),
          url};
}

class BrowserPlaybackTest : public RecordingFixture {
 protected:
  void SetUp() override {
    if (runTool({"sh", "-c", "command -v chromium && command -v node"}).status.exitCode() != 0) {
      GTEST_SKIP() << "chromium or node is missing (tools/install-packages installs both)";
    }
    auto blank = chromium(directory.path() / "probe", "about:blank");
    blank.insert(blank.end() - 1, "--dump-dom");
    const auto result = runTool(blank, {}, 30s);
    if (result.output.find("<html>") == std::string::npos) {
      GTEST_SKIP() << "chromium cannot run here: " << result.errors.substr(0, 2000);
    }
  }
};

TEST_F(BrowserPlaybackTest, FinishedFilesGiveTheirWholeLengthAtOnce) {
  TestWindows windows(server.display(),
                      {{"--name", "played", "--geometry", "240x180+30+30", "--animate"}});
  // At once, each over 2 s (two fragments): stopped, ended by its duration, paused once, killed.
  Recording stopped(server, windows.id(0), path("stopped.mp4"));
  Recording timed(server, windows.id(0), path("timed.mp4"), "3");
  Recording paused(server, windows.id(0), path("paused.mp4"), "3", "no-outline",
                   {{"DARVO_HELPER_TEST_SYSTEM_STOP_AT", "1"}});
  Recording killed(server, windows.id(0), path("killed.mp4"));
  for (auto* recording : {&stopped, &timed, &paused, &killed}) recording->expectReady();
  paused.expectLine(R"(\{"atSeconds":[0-9.e+]+,"event":"paused","segment":0\})");
  paused.expectLine(R"(\{"event":"segment","file":".*","index":1,"startedAtMs":[0-9.e+]+\})");
  timed.expectLine(R"(\{"detail":"","event":"finished","reason":"duration","segments":1\})");
  paused.expectLine(R"(\{"detail":"","event":"finished","reason":"duration","segments":2\})");
  stopped.process().writeStdin("stop\n");
  killed.process().signal(SIGKILL);
  stopped.expectLine(kStoppedSummary);
  ASSERT_TRUE(killed.process().waitExit(5s));

  const std::vector<std::string> files = {path("stopped.mp4"), path("timed.mp4"),
                                          path("paused.mp4"), path("paused.mp4") + ".1.mp4",
                                          path("killed.mp4")};
  std::vector<std::string> serve = {"node", DARVO_SOURCE_DIR "/tests/integration/playback_page.js"};
  serve.insert(serve.end(), files.begin(), files.end());
  ChildProcess page(serve);
  const auto port = page.readLine(10s);
  ASSERT_TRUE(port) << page.stderrText();
  ChildProcess browser(chromium(directory.path() / "profile", "http://127.0.0.1:" + *port + "/"));
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    const auto line = page.readLine(i == 0 ? 60s : 1s);
    ASSERT_TRUE(line) << page.stderrText() << browser.stderrText();
    // The duration streamed and with byte ranges, width, height, where a seek to the end went.
    std::istringstream words(*line);
    std::vector<double> found;
    for (std::string word; words >> word;) found.push_back(std::stod(word));
    ASSERT_EQ(found.size(), 5U) << *line;
    const auto probe = probeVideo(files[i]);
    ASSERT_TRUE(probe);
    EXPECT_EQ(found[2], 240);
    EXPECT_EQ(found[3], 180);
    EXPECT_NEAR(found[1], probe->duration, kFrame) << "with byte ranges";
    EXPECT_NEAR(found[4], found[1] - 0.1, 0.01) << "the seek near the end";
    if (i + 1 < files.size()) {
      EXPECT_NEAR(found[0], probe->duration, kFrame) << "streamed";
    } else {
      // Its header says 0: the length is what the browser has read of it so far.
      EXPECT_GT(found[0], 0.5);
      EXPECT_LT(found[0], probe->duration + kFrame);
    }
  }
  browser.signal(SIGTERM);
  EXPECT_TRUE(browser.waitExit(10s));
}

}  // namespace
}  // namespace darvo::test
