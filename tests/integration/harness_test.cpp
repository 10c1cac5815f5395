// The test harness itself: the other integration tests trust its waits and readings.
#include "tests/integration/harness.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "capture/x11/xcb_handles.hpp"

namespace darvo::test {
namespace {

TEST(ChildProcess, TalksOverPipesAndReportsHowItEnded) {
  ChildProcess cat({"cat"});
  ASSERT_TRUE(cat.writeStdin("one\ntwo\npart"));
  EXPECT_EQ(cat.readLine(5s), "one");
  EXPECT_EQ(cat.readLine(5s), "two");
  cat.closeStdin();
  EXPECT_EQ(cat.readLine(5s), "part");  // the last line needs no newline
  EXPECT_EQ(cat.readLine(5s), std::nullopt);
  const auto status = cat.waitExit(5s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->exited());
  EXPECT_EQ(status->exitCode(), 0);
  EXPECT_FALSE(cat.writeStdin("late"));

  ChildProcess failing({"sh", "-c", "echo oops >&2; exit 3"});
  const auto failed = failing.waitExit(5s);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->exitCode(), 3);
  EXPECT_EQ(failing.stderrText(), "oops\n");
}

TEST(ChildProcess, EnvironmentChangesSetAndUnset) {
  ::setenv("DARVO_HARNESS_REMOVED", "still here", 1);
  ChildProcess shell({"sh", "-c", "echo \"$DARVO_HARNESS_SET|${DARVO_HARNESS_REMOVED-unset}\""},
                     ChildOptions{{{"DARVO_HARNESS_SET", "value"}, {"DARVO_HARNESS_REMOVED", {}}}});
  EXPECT_EQ(shell.readLine(5s), "value|unset");
  ::unsetenv("DARVO_HARNESS_REMOVED");
}

TEST(ChildProcess, TimesOutSignalsAndKillsOnDestruction) {
  pid_t pid = 0;
  {
    ChildProcess sleeper({"sleep", "30"});
    pid = sleeper.pid();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(sleeper.readLine(100ms), std::nullopt);
    EXPECT_FALSE(sleeper.waitExit(100ms));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  }
  EXPECT_EQ(::kill(pid, 0), -1);  // killed and reaped
  EXPECT_EQ(errno, ESRCH);

  ChildProcess sleeper({"sleep", "30"});
  sleeper.signal(SIGTERM);
  const auto status = sleeper.waitExit(5s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->signaled());
  EXPECT_EQ(status->termSignal(), SIGTERM);
}

TEST(ProbeVideo, ReadsCodecSizeDurationAndFrames) {
  TemporaryDirectory directory;
  const std::string video = (directory.path() / "clip.mp4").string();
  const auto made =
      runTool({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=10",
               "-frames:v", "12", "-c:v", "libx264", "-pix_fmt", "yuv420p", video},
              {}, 30s);
  ASSERT_EQ(made.status.exitCode(), 0) << made.errors;
  const auto probe = probeVideo(video);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->codec, "h264");
  EXPECT_EQ(probe->width, 64);
  EXPECT_EQ(probe->height, 48);
  EXPECT_EQ(probe->frameCount, 12);
  EXPECT_NEAR(probe->duration, 1.2, 0.05);

  const std::string text = (directory.path() / "note.txt").string();
  std::ofstream(text) << "not a video\n";
  EXPECT_FALSE(probeVideo(text));
  EXPECT_FALSE(probeVideo((directory.path() / "missing.mp4").string()));
}

TEST(TestWindowProgram, ClosesOnWmDeleteWindowAndOnClosedStdin) {
  XvfbServer server;
  TestWindows window(server.display(), {{"--name", "closable"}});
  const capture::x11::XcbConnection connection(xcb_connect(server.display().c_str(), nullptr));
  ASSERT_EQ(xcb_connection_has_error(connection.get()), 0);
  auto atom = [&](const char* name) {
    const auto reply = capture::x11::takeReply(
        xcb_intern_atom_reply, connection.get(),
        xcb_intern_atom(connection.get(), 0, static_cast<uint16_t>(std::strlen(name)), name));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  };
  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = window.id(0);
  message.type = atom("WM_PROTOCOLS");
  message.data.data32[0] = atom("WM_DELETE_WINDOW");
  message.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(connection.get(), 0, window.id(0), XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char*>(&message));
  xcb_flush(connection.get());
  const auto closed = window.process().waitExit(5s);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->exitCode(), 0);

  TestWindows other(server.display(), {{"--name", "a"}, {"--name", "b", "--unmapped"}});
  EXPECT_EQ(other.ids().size(), 2U);
  EXPECT_EQ(other.command("frobnicate 0").rfind("error", 0), 0U);
  other.process().closeStdin();
  const auto ended = other.process().waitExit(5s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exitCode(), 0);
}

TEST(TestWindowProgram, AnimatedWindowKeepsChanging) {
  XvfbServer server;
  TestWindows window(server.display(), {{"--geometry", "120x40+0+0", "--animate"}});
  const capture::x11::XcbConnection connection(xcb_connect(server.display().c_str(), nullptr));
  ASSERT_EQ(xcb_connection_has_error(connection.get()), 0);
  auto snapshot = [&] {
    const auto image =
        capture::x11::takeReply(xcb_get_image_reply, connection.get(),
                                xcb_get_image(connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP,
                                              window.id(0), 0, 0, 120, 40, ~0U));
    if (!image) {
      return std::string();
    }
    return std::string(reinterpret_cast<const char*>(xcb_get_image_data(image.get())),
                       static_cast<std::size_t>(xcb_get_image_data_length(image.get())));
  };
  // Without a window manager the window is viewable once its id is printed; about 30 frames a
  // second means a few distinct pictures within half a second.
  std::set<std::string> pictures;
  const auto until = std::chrono::steady_clock::now() + 500ms;
  while (std::chrono::steady_clock::now() < until) {
    pictures.insert(snapshot());
    ::poll(nullptr, 0, 20);
  }
  EXPECT_GE(pictures.size(), 5U);
}

}  // namespace
}  // namespace darvo::test
