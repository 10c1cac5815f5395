// The X11 queries on a private Xvfb: shareable content with the candidate filter, the window-list
// service, and the screen access check.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "capture/candidates.hpp"
#include "capture/x11/connection.hpp"
#include "capture/x11/window_query.hpp"
#include "tests/integration/harness.hpp"

namespace darvo::capture::x11 {
namespace {

using namespace darvo::test;

DisplayConnection connectTo(const XvfbServer& server) {
  auto result = connectToDisplay(server.display().c_str());
  auto* connection = std::get_if<DisplayConnection>(&result);
  if (connection == nullptr) {
    throw std::runtime_error("cannot connect to " + server.display());
  }
  return std::move(*connection);
}

ShareableContent contentOf(const XvfbServer& server, bool excludingDesktopWindows,
                           bool onScreenWindowsOnly) {
  auto result =
      queryShareableContent(excludingDesktopWindows, onScreenWindowsOnly, server.display().c_str());
  if (auto* error = std::get_if<CaptureError>(&result)) {
    throw std::runtime_error("content request failed with code " + std::to_string(error->code));
  }
  return std::get<ShareableContent>(std::move(result));
}

std::vector<uint32_t> idsOf(const std::vector<Window>& windows) {
  std::vector<uint32_t> ids;
  for (const auto& window : windows) {
    ids.push_back(window.windowID);
  }
  return ids;
}

const Window* findWindow(const ShareableContent& content, uint32_t id) {
  const auto found = std::find_if(content.windows.begin(), content.windows.end(),
                                  [&](const Window& window) { return window.windowID == id; });
  return found == content.windows.end() ? nullptr : &*found;
}

// Where xwininfo, an independent client, says the window's top left corner is on the root.
std::pair<double, double> absolutePosition(const XvfbServer& server, uint32_t id) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%x", id);
  const auto result = runTool({"xwininfo", "-id", hex}, server.clientOptions());
  double x = -1;
  double y = -1;
  std::istringstream lines(result.output);
  for (std::string line; std::getline(lines, line);) {
    if (const auto at = line.find("Absolute upper-left X:"); at != std::string::npos) {
      x = std::stod(line.substr(at + 22));
    } else if (const auto at = line.find("Absolute upper-left Y:"); at != std::string::npos) {
      y = std::stod(line.substr(at + 22));
    }
  }
  return {x, y};
}

// Sets (or unsets) an environment variable for one scope.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
    }
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Runs `action` with descriptor 2 pointing at a file; what was written there.
template <typename Action>
std::string standardErrorDuring(Action action) {
  TemporaryDirectory directory;
  const auto path = directory.path() / "stderr";
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(file, STDERR_FILENO);
  action();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  std::ifstream written(path);
  return {std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>()};
}

constexpr const char* kCookie = "0123456789abcdef0123456789abcdef";
// A display number nobody should be using; checked before use.
constexpr int kUnusedDisplay = 4711;

// --- Shareable content on a server without a window manager -------------------------------

class ShareableContentTest : public ::testing::Test {
 protected:
  XvfbServer server_;
};

TEST_F(ShareableContentTest, CandidatesAreTheNormalViewableWindowsWithFrameAndOwner) {
  TestWindows windows(server_.display(),
                      {{"--name", "alpha", "--geometry", "300x200+10+20"},
                       {"--name", "beta", "--geometry", "250x150+400+300"},
                       {"--name", "tiny", "--geometry", "1x1+5+5"},
                       {"--name", "hidden", "--geometry", "200x100+0+0", "--unmapped"},
                       {"--name", "popup", "--geometry", "100x100+50+50", "--override-redirect"}});
  const auto content = contentOf(server_, false, true);

  // Front to back: later windows are stacked above earlier ones.
  EXPECT_EQ(idsOf(content.windows),
            (std::vector<uint32_t>{windows.id(4), windows.id(2), windows.id(1), windows.id(0)}));
  const auto candidates = candidateWindows(content.windows);
  ASSERT_EQ(idsOf(candidates), (std::vector<uint32_t>{windows.id(1), windows.id(0)}));

  const Window& beta = candidates[0];
  EXPECT_EQ(beta.frame.x, 400);
  EXPECT_EQ(beta.frame.y, 300);
  EXPECT_EQ(beta.frame.width, 250);
  EXPECT_EQ(beta.frame.height, 150);
  EXPECT_EQ(beta.windowLayer, 0);
  ASSERT_TRUE(beta.owningApplication);
  EXPECT_EQ(beta.owningApplication->processID, windows.pid());
  EXPECT_EQ(beta.owningApplication->applicationName, "beta");
  EXPECT_EQ(beta.owningApplication->bundleIdentifier, "beta");

  const Window& alpha = candidates[1];
  EXPECT_EQ(alpha.frame.x, 10);
  EXPECT_EQ(alpha.frame.y, 20);
  EXPECT_EQ(alpha.frame.width, 300);
  EXPECT_EQ(alpha.frame.height, 200);

  const Window* popup = findWindow(content, windows.id(4));
  ASSERT_NE(popup, nullptr);
  EXPECT_NE(popup->windowLayer, 0);
  const Window* tiny = findWindow(content, windows.id(2));
  ASSERT_NE(tiny, nullptr);
  EXPECT_EQ(tiny->frame.width, 1);
}

TEST_F(ShareableContentTest, UnmappedWindowsAreListedOnlyWhenOffscreenOnesAreWanted) {
  TestWindows windows(server_.display(), {{"--name", "shown"}, {"--name", "hidden", "--unmapped"}});
  EXPECT_EQ(idsOf(contentOf(server_, false, true).windows), (std::vector<uint32_t>{windows.id(0)}));
  EXPECT_EQ(idsOf(contentOf(server_, false, false).windows),
            (std::vector<uint32_t>{windows.id(1), windows.id(0)}));

  ASSERT_EQ(windows.command("unmap 0"), "ok");
  EXPECT_TRUE(contentOf(server_, false, true).windows.empty());
  ASSERT_EQ(windows.command("map 1"), "ok");
  EXPECT_EQ(idsOf(contentOf(server_, false, true).windows), (std::vector<uint32_t>{windows.id(1)}));
}

TEST_F(ShareableContentTest, LayerFollowsWindowTypeStateAndOverrideRedirect) {
  TestWindows windows(server_.display(), {{"--name", "normal", "--type", "normal"},
                                          {"--name", "untyped"},
                                          {"--name", "dialog", "--type", "dialog"},
                                          {"--name", "dock", "--type", "dock"},
                                          {"--name", "utility", "--type", "utility"},
                                          {"--name", "tooltip", "--type", "tooltip"},
                                          {"--name", "above", "--above"},
                                          {"--name", "popup", "--override-redirect"},
                                          {"--name", "desktop", "--type", "desktop"}});
  const auto content = contentOf(server_, false, true);
  std::map<std::string, int64_t> layers;
  for (const auto& window : content.windows) {
    ASSERT_TRUE(window.owningApplication);
    layers[window.owningApplication->applicationName] = window.windowLayer;
  }
  ASSERT_EQ(layers.size(), 9U);
  EXPECT_EQ(layers["normal"], 0);
  EXPECT_EQ(layers["untyped"], 0);
  EXPECT_EQ(layers["dialog"], 0);
  for (const char* raised : {"dock", "utility", "tooltip", "above", "popup"}) {
    EXPECT_GT(layers[raised], 0) << raised;
  }
  EXPECT_LT(layers["desktop"], 0);

  const auto withoutDesktop = contentOf(server_, true, true);
  EXPECT_EQ(withoutDesktop.windows.size(), 8U);
  EXPECT_EQ(findWindow(withoutDesktop, windows.id(8)), nullptr);
  EXPECT_EQ(idsOf(candidateWindows(withoutDesktop.windows)),
            (std::vector<uint32_t>{windows.id(2), windows.id(1), windows.id(0)}));
}

TEST_F(ShareableContentTest, OwnerComesFromXResourceAndNamesFallBack) {
  TestWindows windows(server_.display(), {{"--name", "gamma", "--app-id", "org.example.Gamma"},
                                          {"--geometry", "120x90+0+0"},  // no WM_CLASS at all
                                          {"--name", "liar", "--pid-property=1"}});
  const auto content = contentOf(server_, false, true);
  ASSERT_EQ(content.windows.size(), 3U);
  for (const auto& window : content.windows) {
    ASSERT_TRUE(window.owningApplication) << window.windowID;
    // X-Resource knows the real process, whatever _NET_WM_PID claims.
    EXPECT_EQ(window.owningApplication->processID, windows.pid());
  }
  const auto& gamma = *findWindow(content, windows.id(0))->owningApplication;
  EXPECT_EQ(gamma.applicationName, "gamma");
  EXPECT_EQ(gamma.bundleIdentifier, "org.example.Gamma");

  std::ifstream comm("/proc/" + std::to_string(windows.pid()) + "/comm");
  std::string processName;
  std::getline(comm, processName);
  ASSERT_FALSE(processName.empty());
  const auto& unnamed = *findWindow(content, windows.id(1))->owningApplication;
  EXPECT_EQ(unnamed.applicationName, processName);  // the kernel's name, cut to 15 characters
}

TEST_F(ShareableContentTest, ManyWindowsComeBackEachWithItsOwnGeometry) {
  constexpr int kCount = 120;
  std::vector<std::vector<std::string>> options;
  for (int i = 0; i < kCount; ++i) {
    options.push_back({"--geometry", std::to_string(20 + i) + "x" + std::to_string(300 - i) + "+" +
                                         std::to_string(i * 7) + "+" + std::to_string(i * 3)});
  }
  TestWindows windows(server_.display(), options);
  const auto content = contentOf(server_, false, true);
  ASSERT_EQ(content.windows.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    const Window& window = content.windows[kCount - 1 - i];
    ASSERT_EQ(window.windowID, windows.id(i));
    EXPECT_EQ(window.frame.x, i * 7);
    EXPECT_EQ(window.frame.y, i * 3);
    EXPECT_EQ(window.frame.width, 20 + i);
    EXPECT_EQ(window.frame.height, 300 - i);
  }
}

TEST_F(ShareableContentTest, ShadowMarginsAreLeftOutOfFrameAndBounds) {
  struct Case {
    std::vector<std::string> options;
    std::array<double, 4> visible;  // x, y, width, height
  };
  const std::vector<Case> cases = {
      {{"--frame-extents", "20,20,10,30"}, {120, 60, 600, 440}},
      // The border lies outside the frame.
      {{"--frame-extents", "20,20,10,30", "--argb", "--border", "5"}, {125, 65, 600, 440}},
      {{"--frame-extents", "319,319,0,478"}, {419, 50, 2, 2}},
      {{"--frame-extents", "319,320,0,478"}, {100, 50, 640, 480}},  // less than 2x2 would be left
  };
  std::vector<std::vector<std::string>> options;
  for (const auto& testCase : cases) {
    options.push_back({"--geometry", "640x480+100+50"});
    options.back().insert(options.back().end(), testCase.options.begin(), testCase.options.end());
  }
  TestWindows windows(server_.display(), options);
  const auto fields = [](const Rect& rect) {
    return std::array<double, 4>{rect.x, rect.y, rect.width, rect.height};
  };
  const auto content = contentOf(server_, false, true);
  X11WindowList list(connectTo(server_));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Window* window = findWindow(content, windows.id(i));
    ASSERT_NE(window, nullptr) << i;
    EXPECT_EQ(fields(window->frame), cases[i].visible) << i;
    const auto info = list.windowInfo(windows.id(i));
    ASSERT_TRUE(info && info->bounds) << i;
    EXPECT_EQ(fields(*info->bounds), cases[i].visible) << i;
  }

  // Maximising removes the margins; the bounds follow.
  ASSERT_EQ(windows.command("extents 0 0 0 0 0"), "ok");
  const auto maximised = list.windowInfo(windows.id(0));
  ASSERT_TRUE(maximised && maximised->bounds);
  EXPECT_EQ(fields(*maximised->bounds), (std::array<double, 4>{100, 50, 640, 480}));
}

TEST_F(ShareableContentTest, FailsWithConnectionCodeOnceTheServerIsGone) {
  auto display = connectTo(server_);
  ASSERT_TRUE(
      std::holds_alternative<ShareableContent>(queryShareableContent(display, false, true)));
  server_.stop();
  const auto result = queryShareableContent(display, false, true);
  ASSERT_TRUE(std::holds_alternative<CaptureError>(result));
  EXPECT_EQ(std::get<CaptureError>(result).domain, kStreamErrorDomain);
  EXPECT_EQ(std::get<CaptureError>(result).code, kConnectionFailedCode);
}

TEST(ShareableContentFailures, UnreachableServerGivesConnectionFailed) {
  const std::string display = ":" + std::to_string(kUnusedDisplay);
  const auto result = queryShareableContent(false, true, display.c_str());
  ASSERT_TRUE(std::holds_alternative<CaptureError>(result));
  EXPECT_EQ(std::get<CaptureError>(result).code, kConnectionFailedCode);
}

TEST(ShareableContentFailures, ServerWithoutCompositeGivesSetupError) {
  XvfbServer server(XvfbOptions{.extraArguments = {"-extension", "Composite"}});
  const auto result = queryShareableContent(false, true, server.display().c_str());
  ASSERT_TRUE(std::holds_alternative<CaptureError>(result));
  EXPECT_EQ(std::get<CaptureError>(result).domain, kStreamErrorDomain);
  EXPECT_EQ(std::get<CaptureError>(result).code, kCaptureSetupCode);
}

TEST(ShareableContentWithoutXResource, OwnerComesFromNetWmPid) {
  XvfbServer server(XvfbOptions{.extraArguments = {"-extension", "X-Resource"}});
  TestWindows windows(server.display(),
                      {{"--name", "tells", "--pid-property"}, {"--name", "silent"}});
  const auto content = contentOf(server, false, true);
  ASSERT_EQ(content.windows.size(), 2U);
  const Window* tells = findWindow(content, windows.id(0));
  ASSERT_NE(tells, nullptr);
  ASSERT_TRUE(tells->owningApplication);
  EXPECT_EQ(tells->owningApplication->processID, windows.pid());
  const Window* silent = findWindow(content, windows.id(1));
  ASSERT_NE(silent, nullptr);
  EXPECT_FALSE(silent->owningApplication);
  EXPECT_EQ(idsOf(candidateWindows(content.windows)), (std::vector<uint32_t>{windows.id(0)}));

  X11WindowList list(connectTo(server));
  const auto info = list.windowInfo(windows.id(0));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->ownerPID, windows.pid());
  const auto silentInfo = list.windowInfo(windows.id(1));
  ASSERT_TRUE(silentInfo);
  EXPECT_FALSE(silentInfo->ownerPID);
}

// --- Under a reparenting window manager -----------------------------------------------------

TEST(ShareableContentUnderWindowManager, ListsClientWindowsNotFrames) {
  XvfbServer server;
  TestWindows windows(server.display(), {{"--name", "alpha", "--geometry", "300x200+10+20"},
                                         {"--name", "beta", "--geometry", "250x150+400+300"}});
  TemporaryDirectory home;
  ChildOptions openboxOptions = server.clientOptions();
  for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
    openboxOptions.environment.emplace_back(name, home.path().string());
  }
  ChildProcess openbox({"openbox", "--sm-disable"}, openboxOptions);
  ASSERT_TRUE(waitForProperty(server.display(), windows.ids(), "WM_STATE"))
      << "openbox did not manage the windows: " << openbox.stderrText();

  auto display = connectTo(server);
  std::set<uint32_t> frames;
  for (const uint32_t client : windows.ids()) {
    const XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(
        display.connection.get(), xcb_query_tree(display.connection.get(), client), nullptr));
    ASSERT_TRUE(tree);
    ASSERT_NE(tree->parent, display.screen->root) << "not reparented";
    frames.insert(tree->parent);
  }

  const auto content = contentOf(server, false, true);
  for (const auto& window : content.windows) {
    EXPECT_FALSE(frames.contains(window.windowID)) << "a frame was listed";
  }
  const auto candidates = candidateWindows(content.windows);
  const auto candidateIds = idsOf(candidates);
  EXPECT_EQ(std::set<uint32_t>(candidateIds.begin(), candidateIds.end()),
            std::set<uint32_t>(windows.ids().begin(), windows.ids().end()));
  for (const auto& window : candidates) {
    const auto [x, y] = absolutePosition(server, window.windowID);
    EXPECT_EQ(window.frame.x, x);
    EXPECT_EQ(window.frame.y, y);
  }
  const Window* alpha = findWindow(content, windows.id(0));
  ASSERT_NE(alpha, nullptr);
  EXPECT_EQ(alpha->frame.width, 300);
  EXPECT_EQ(alpha->frame.height, 200);

  // The window list walks the whole tree: frames and clients alike.
  X11WindowList list(std::move(display));
  const auto all = list.allWindowNumbers();
  ASSERT_TRUE(all);
  const std::set<uint32_t> everything(all->begin(), all->end());
  for (const uint32_t id : windows.ids()) {
    EXPECT_TRUE(everything.contains(id));
  }
  for (const uint32_t frame : frames) {
    EXPECT_TRUE(everything.contains(frame));
  }
  const auto info = list.windowInfo(windows.id(0));
  ASSERT_TRUE(info && info->bounds);
  EXPECT_EQ(info->bounds->x, alpha->frame.x);
  EXPECT_EQ(info->bounds->y, alpha->frame.y);
}

// --- The window-list service ----------------------------------------------------------------

class WindowListTest : public ::testing::Test {
 protected:
  XvfbServer server_;
};

TEST_F(WindowListTest, ReportsBoundsOwnerAndVisibilityUntilTheWindowIsDestroyed) {
  TestWindows windows(server_.display(), {{"--name", "alpha", "--geometry", "300x200+10+20"},
                                          {"--name", "beta", "--geometry", "50x40+600+500"}});
  X11WindowList list(connectTo(server_));

  const auto info = list.windowInfo(windows.id(0));
  ASSERT_TRUE(info);
  ASSERT_TRUE(info->bounds);
  EXPECT_EQ(info->bounds->x, 10);
  EXPECT_EQ(info->bounds->y, 20);
  EXPECT_EQ(info->bounds->width, 300);
  EXPECT_EQ(info->bounds->height, 200);
  EXPECT_EQ(info->ownerPID, windows.pid());
  EXPECT_TRUE(info->isOnscreen);

  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%x", windows.id(0));
  const auto unmapped = runTool({"xdotool", "windowunmap", "--sync", hex}, server_.clientOptions());
  ASSERT_EQ(unmapped.status.exitCode(), 0) << unmapped.errors;
  const auto hidden = list.windowInfo(windows.id(0));
  ASSERT_TRUE(hidden);
  EXPECT_FALSE(hidden->isOnscreen);
  EXPECT_TRUE(hidden->bounds);

  const auto before = list.allWindowNumbers();
  ASSERT_TRUE(before);
  EXPECT_NE(std::find(before->begin(), before->end(), windows.id(0)), before->end());
  EXPECT_NE(std::find(before->begin(), before->end(), windows.id(1)), before->end());

  ASSERT_EQ(windows.command("destroy 0"), "ok");
  EXPECT_FALSE(list.windowInfo(windows.id(0)));
  const auto after = list.allWindowNumbers();
  ASSERT_TRUE(after);
  EXPECT_EQ(std::find(after->begin(), after->end(), windows.id(0)), after->end());
  EXPECT_NE(std::find(after->begin(), after->end(), windows.id(1)), after->end());
  EXPECT_TRUE(list.windowInfo(windows.id(1)));
}

TEST_F(WindowListTest, AnswersNothingForUnknownIdsAndOnceTheServerIsGone) {
  TestWindows windows(server_.display(), {{"--name", "alpha"}});
  X11WindowList list(connectTo(server_));
  EXPECT_FALSE(list.windowInfo(0));
  EXPECT_FALSE(list.windowInfo(0x7ffffff0));
  ASSERT_TRUE(list.windowInfo(windows.id(0)));

  server_.stop();
  EXPECT_FALSE(list.windowInfo(windows.id(0)));
  EXPECT_FALSE(list.allWindowNumbers());
}

// --- Screen access --------------------------------------------------------------------------

TEST(ScreenAccess, GrantedWhenTheServerAcceptsUs) {
  XvfbServer server;
  EXPECT_EQ(preflightScreenCaptureAccess(server.display().c_str()), ScreenAccess::granted);
  const ScopedEnvironment display("DISPLAY", server.display().c_str());
  EXPECT_EQ(preflightScreenCaptureAccess(), ScreenAccess::granted);
}

TEST(ScreenAccess, RefusedByAServerThatDemandsACookieWeLack) {
  XvfbServer server(XvfbOptions{.cookie = kCookie});
  TemporaryDirectory empty;
  {
    const ScopedEnvironment authority("XAUTHORITY", (empty.path() / "none").c_str());
    // libxcb prints the server's reason to descriptor 2; none of it may show.
    const std::string errors = standardErrorDuring([&] {
      EXPECT_EQ(preflightScreenCaptureAccess(server.display().c_str()), ScreenAccess::refused);
    });
    EXPECT_EQ(errors, "");
    const auto result = connectToDisplay(server.display().c_str());
    ASSERT_TRUE(std::holds_alternative<ConnectFailure>(result));
    EXPECT_EQ(std::get<ConnectFailure>(result), ConnectFailure::refused);
  }
  // With the cookie the same server lets us in: the refusal was about authorization.
  const ScopedEnvironment authority("XAUTHORITY", server.authorityFile().c_str());
  EXPECT_EQ(preflightScreenCaptureAccess(server.display().c_str()), ScreenAccess::granted);
}

TEST(ScreenAccess, RefusedOverTcpToo) {
  XvfbServer server(XvfbOptions{.cookie = kCookie, .extraArguments = {"-listen", "tcp"}});
  TemporaryDirectory empty;
  const ScopedEnvironment authority("XAUTHORITY", (empty.path() / "none").c_str());
  const std::string display = "127.0.0.1:" + std::to_string(server.number());
  EXPECT_EQ(preflightScreenCaptureAccess(display.c_str()), ScreenAccess::refused);
}

TEST(ScreenAccess, UnavailableWithoutAListeningServer) {
  ASSERT_FALSE(std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(kUnusedDisplay)));
  EXPECT_EQ(preflightScreenCaptureAccess(":99x"), ScreenAccess::unavailable);
  const std::string unused = ":" + std::to_string(kUnusedDisplay);
  EXPECT_EQ(preflightScreenCaptureAccess(unused.c_str()), ScreenAccess::unavailable);
  {
    const ScopedEnvironment display("DISPLAY", nullptr);
    EXPECT_EQ(preflightScreenCaptureAccess(), ScreenAccess::unavailable);
  }
  {
    const ScopedEnvironment display("DISPLAY", ":99x");
    EXPECT_EQ(preflightScreenCaptureAccess(), ScreenAccess::unavailable);
  }
  // A server without TCP: nothing listens at its port.
  XvfbServer server;
  const std::string overTcp = "127.0.0.1:" + std::to_string(server.number());
  EXPECT_EQ(preflightScreenCaptureAccess(overTcp.c_str()), ScreenAccess::unavailable);
  // A screen the server does not have.
  const std::string noScreen = server.display() + ".3";
  EXPECT_EQ(preflightScreenCaptureAccess(noScreen.c_str()), ScreenAccess::unavailable);
}

}  // namespace
}  // namespace darvo::capture::x11
