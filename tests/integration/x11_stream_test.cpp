// The X11 capture stream against a private Xvfb: frames, their pixels and pace, and the ways a
// capture ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <xcb/xcb.h>
#include <asio/thread_pool.hpp>

#include "capture/x11/cursor_overlay.hpp"
#include "capture/x11/x11_stream.hpp"
#include "capture/x11/xcb_handles.hpp"
#include "harness.hpp"

namespace darvo::capture::x11 {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using capture::x11::takeReply;

constexpr uint32_t kRed = 0xff0000;
constexpr uint32_t kGreen = 0x00ff00;
constexpr uint32_t kBlue = 0x0000ff;

// Everything the fakes saw, in order, behind one lock; tests wait on it with timeouts.
class Journal {
 public:
  struct Frame {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> rgb;  // 0xRRGGBB, row after row
    Clock::time_point capturedAt;
    [[nodiscard]] uint32_t at(int x, int y) const {
      return rgb[static_cast<std::size_t>(y) * width + x];
    }
    [[nodiscard]] uint32_t center() const { return at(width / 2, height / 2); }
  };

  void add(std::string event, std::optional<Frame> frame = std::nullopt) {
    const std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    if (frame) {
      frames_.push_back(std::move(*frame));
    }
    changed_.notify_all();
  }

  // Waits until `condition` holds for the frames and events; false after the timeout.
  bool waitFor(const std::function<bool(const std::vector<Frame>&,
                                        const std::vector<std::string>&)>& condition,
               std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return condition(frames_, events_); });
  }
  bool waitForEvent(const std::string& event, std::chrono::milliseconds timeout = 5s) {
    return waitFor([&](auto&, auto& events) { return count(events, event) > 0; }, timeout);
  }
  bool waitForFrames(std::size_t number, std::chrono::milliseconds timeout = 5s) {
    return waitFor([&](auto& frames, auto&) { return frames.size() >= number; }, timeout);
  }
  // The first frame after `skip` frames whose center has `rgb`.
  bool waitForCenter(uint32_t rgb, std::size_t skip = 0, std::chrono::milliseconds timeout = 5s) {
    return waitFor(
        [&](auto& frames, auto&) {
          for (std::size_t i = skip; i < frames.size(); ++i) {
            if (frames[i].center() == rgb) return true;
          }
          return false;
        },
        timeout);
  }

  std::vector<Frame> frames() {
    const std::lock_guard lock(mutex_);
    return frames_;
  }
  std::vector<std::string> events() {
    const std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t frameCount() {
    const std::lock_guard lock(mutex_);
    return frames_.size();
  }
  std::size_t countOf(const std::string& event) {
    const std::lock_guard lock(mutex_);
    return count(events_, event);
  }

 private:
  static std::size_t count(const std::vector<std::string>& events, const std::string& event) {
    return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  std::vector<Frame> frames_;
};

uint32_t channel(uint32_t pixel, uint32_t mask) {
  return mask == 0 ? 0 : (pixel & mask) >> std::countr_zero(mask);
}

class FakeSink final : public RecordingOutput, public VideoSink {
 public:
  explicit FakeSink(Journal& journal) : journal_(journal) {}
  [[nodiscard]] double recordedDuration() const override { return 0; }
  [[nodiscard]] int64_t recordedFileSize() const override { return 0; }

  void prepare(int width, int height) override {
    journal_.add("prepare " + std::to_string(width) + "x" + std::to_string(height));
  }
  bool hasRoom() override {
    if (room_.load()) return true;
    journal_.add("refused");
    return false;
  }
  void submit(const PixelImage& image, CaptureClock::time_point capturedAt) override {
    Journal::Frame frame{image.width, image.height, {}, capturedAt};
    frame.rgb.reserve(static_cast<std::size_t>(image.width) * image.height);
    for (int y = 0; y < image.height; ++y) {
      for (int x = 0; x < image.width; ++x) {
        uint32_t pixel = 0;
        std::memcpy(&pixel, image.data + static_cast<std::ptrdiff_t>(y) * image.stride + x * 4, 4);
        frame.rgb.push_back(channel(pixel, image.redMask) << 16 |
                            channel(pixel, image.greenMask) << 8 | channel(pixel, image.blueMask));
      }
    }
    journal_.add("frame", std::move(frame));
  }
  void endOfStream(CaptureClock::time_point) override { journal_.add("end"); }

  void setRoom(bool room) { room_.store(room); }

 private:
  Journal& journal_;
  std::atomic<bool> room_{true};
};

class FakeDelegate final : public StreamDelegate {
 public:
  explicit FakeDelegate(Journal& journal) : journal_(journal) {}
  void streamDidStop(const CaptureError& error) override {
    journal_.add("stop " + error.domain + " " + std::to_string(error.code));
  }

 private:
  Journal& journal_;
};

class FakeScreenOutput final : public StreamOutput {
 public:
  explicit FakeScreenOutput(Journal& journal) : journal_(journal) {}
  void streamDidOutputSample(const SampleBuffer& sample) override {
    const bool complete = sample.valid && sample.attachments.size() == 1 &&
                          sample.attachments[0].status == int64_t{0};
    journal_.add(complete ? "sample" : "odd sample");
  }

 private:
  Journal& journal_;
};

class NotASink final : public RecordingOutput {
 public:
  [[nodiscard]] double recordedDuration() const override { return 0; }
  [[nodiscard]] int64_t recordedFileSize() const override { return 0; }
};

const std::string kSystemStop = "stop x11_capture -3821";

// A completion that lands in the journal as "<name> ok" or "<name> error <code>".
Completion journaled(Journal& journal, const std::string& name) {
  return [&journal, name](std::optional<CaptureError> error) {
    journal.add(error ? name + " error " + std::to_string(error->code) : name + " ok");
  };
}

std::size_t indexOf(const std::vector<std::string>& events, const std::string& event) {
  return static_cast<std::size_t>(std::find(events.begin(), events.end(), event) - events.begin());
}

class X11StreamTest : public testing::Test {
 protected:
  explicit X11StreamTest(test::XvfbOptions options = {}) : server_(std::move(options)) {}

  void SetUp() override {
    if (const char* previous = std::getenv("DISPLAY")) previousDisplay_ = previous;
    setenv("DISPLAY", server_.display().c_str(), 1);  // the stream connects to DISPLAY
  }
  void TearDown() override {
    stream_.reset();  // its thread ends before the server does
    if (previousDisplay_) {
      setenv("DISPLAY", previousDisplay_->c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
  }

  StreamConfiguration configuration(MediaTime interval = {1, 15}, bool cursor = false) {
    StreamConfiguration result;
    result.width = 320;
    result.height = 240;
    result.minimumFrameInterval = interval;
    result.showsCursor = cursor;
    return result;
  }

  X11Stream& makeStream(uint32_t window, const StreamConfiguration& config) {
    ContentFilter filter;
    filter.window.windowID = window;
    stream_ = std::make_unique<X11Stream>(filter, config, delegate_);
    EXPECT_EQ(stream_->addRecordingOutput(sink_), std::nullopt);
    EXPECT_EQ(stream_->addStreamOutput(screen_, pool_.get_executor()), std::nullopt);
    return *stream_;
  }

  // Starts capturing `window` and waits for the start and the first frame.
  X11Stream& startOn(uint32_t window, const StreamConfiguration& config) {
    X11Stream& stream = makeStream(window, config);
    stream.startCapture(journaled(journal_, "start"));
    EXPECT_TRUE(journal_.waitForEvent("start ok")) << testing::PrintToString(journal_.events());
    EXPECT_TRUE(journal_.waitForFrames(1));
    return stream;
  }

  void stopAndWait() {
    stream_->stopCapture(journaled(journal_, "stopped"));
    ASSERT_TRUE(journal_.waitForEvent("stopped ok"));
  }

  test::XvfbServer server_;
  std::optional<std::string> previousDisplay_;
  Journal journal_;
  std::shared_ptr<FakeSink> sink_ = std::make_shared<FakeSink>(journal_);
  std::shared_ptr<FakeDelegate> delegate_ = std::make_shared<FakeDelegate>(journal_);
  std::shared_ptr<FakeScreenOutput> screen_ = std::make_shared<FakeScreenOutput>(journal_);
  asio::thread_pool pool_{1};
  std::unique_ptr<X11Stream> stream_;
};

TEST_F(X11StreamTest, FirstFrameComesAtOnceWithTheWindowsOwnPixelsEvenWhenCovered) {
  // The blue window is mapped later, so it lies on top of the red one.
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "200x150+50+50", "--color", "ff0000"},
                             {"--geometry", "400x400+0+0", "--color", "0000ff"}});
  startOn(windows.id(0), configuration());

  const auto frames = journal_.frames();
  ASSERT_GE(frames.size(), 1U);
  EXPECT_EQ(frames[0].width, 200);
  EXPECT_EQ(frames[0].height, 150);
  EXPECT_EQ(frames[0].center(), kRed);
  EXPECT_EQ(frames[0].at(0, 0), kRed);
  EXPECT_EQ(frames[0].at(199, 149), kRed);
  const auto events = journal_.events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "prepare 320x240"), 1);
  EXPECT_LT(indexOf(events, "prepare 320x240"), indexOf(events, "frame"));

  stopAndWait();
  EXPECT_EQ(journal_.countOf("end"), 1U);
  pool_.join();  // every posted sample has been handled
  EXPECT_EQ(journal_.countOf("sample"), journal_.frameCount());
  EXPECT_EQ(journal_.countOf("odd sample"), 0U);
}

TEST_F(X11StreamTest, ChangesBecomeFramesAndAnIdleWindowGivesNone) {
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "120x90+10+10", "--color", "ff0000"}});
  startOn(windows.id(0), configuration({1, 5}));
  // Whatever the redirect made the client repaint has settled by now.
  std::this_thread::sleep_for(400ms);
  const std::size_t settled = journal_.frameCount();
  EXPECT_LE(settled, 2U);

  // Two changes within one interval: the later one must not be lost to the rate limit.
  ASSERT_EQ(windows.command("color 0 00ff00"), "ok");
  ASSERT_EQ(windows.command("color 0 0000ff"), "ok");
  ASSERT_TRUE(journal_.waitForCenter(kBlue, settled));
  const std::size_t afterChange = journal_.frameCount();
  EXPECT_EQ(journal_.frames().back().center(), kBlue);

  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(journal_.frameCount(), afterChange) << "frames without any change";
}

TEST_F(X11StreamTest, WithoutARecordingOutputChangesStillBecomeSamples) {
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "120x90+10+10", "--color", "ff0000"}});
  ContentFilter filter;
  filter.window.windowID = windows.id(0);
  stream_ = std::make_unique<X11Stream>(filter, configuration({1, 30}), delegate_);
  ASSERT_EQ(stream_->addStreamOutput(screen_, pool_.get_executor()), std::nullopt);
  stream_->startCapture(journaled(journal_, "start"));
  ASSERT_TRUE(journal_.waitForEvent("sample"));
  for (const char* color : {"00ff00", "0000ff"}) {  // each change re-arms the damage
    const std::size_t before = journal_.countOf("sample");
    ASSERT_EQ(windows.command(std::string("color 0 ") + color), "ok");
    ASSERT_TRUE(journal_.waitFor([&](auto&, auto& events) {
      return static_cast<std::size_t>(std::count(events.begin(), events.end(), "sample")) > before;
    })) << color;
  }
}

TEST_F(X11StreamTest, AnAnimatingWindowIsCapturedAtMostOncePerInterval) {
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "160x120+0+0", "--color", "202020", "--animate"}});
  startOn(windows.id(0), configuration({1, 15}));
  // The test window may sit in poll() until some event comes, animation or not: give it one.
  ASSERT_EQ(windows.command("raise 0"), "ok");
  const std::size_t before = journal_.frameCount();
  std::this_thread::sleep_for(1s);
  const auto frames = journal_.frames();
  const std::size_t inOneSecond = frames.size() - before;
  EXPECT_LE(inOneSecond, 16U);
  EXPECT_GE(inOneSecond, 8U) << "the window changes 30 times a second";
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_GE(frames[i].capturedAt - frames[i - 1].capturedAt, 1s / 15 - 2ms) << "frame " << i;
  }
}

TEST_F(X11StreamTest, AFullQueueDropsFramesWithoutReadingAndRetriesTheChange) {
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "120x90+10+10", "--color", "ff0000"}});
  startOn(windows.id(0), configuration({1, 20}));
  sink_->setRoom(false);
  const std::size_t before = journal_.frameCount();
  ASSERT_EQ(windows.command("color 0 00ff00"), "ok");
  ASSERT_TRUE(journal_.waitFor([](auto&, auto& events) {
    return std::count(events.begin(), events.end(), "refused") >= 2;
  }));
  EXPECT_EQ(journal_.frameCount(), before);
  sink_->setRoom(true);
  EXPECT_TRUE(journal_.waitForCenter(kGreen, before));
}

TEST_F(X11StreamTest, ResizedWindowsGiveFramesOfTheirNewSize) {
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "100x80+10+10", "--color", "00ff00"}});
  startOn(windows.id(0), configuration({1, 30}));
  ASSERT_EQ(windows.command("resize 0 500 300"), "ok");  // larger than the first SHM segment
  ASSERT_TRUE(journal_.waitFor([](auto& frames, auto&) {
    return !frames.empty() && frames.back().width == 500 && frames.back().height == 300;
  })) << journal_.frames().back().width;
  EXPECT_EQ(journal_.frames().back().at(499, 299), kGreen);
  ASSERT_EQ(windows.command("resize 0 60 40"), "ok");
  ASSERT_TRUE(journal_.waitFor([](auto& frames, auto&) {
    return !frames.empty() && frames.back().width == 60 && frames.back().height == 40;
  }));
  EXPECT_EQ(journal_.frames().back().center(), kGreen);
}

// The masks leave out the alpha channel; the border and the invisible margins announced in
// _GTK_FRAME_EXTENTS stay out of the picture, and the margins are followed as they change.
TEST_F(X11StreamTest, ThirtyTwoBitWindowsGiveOnlyTheirVisiblePixels) {
  test::TestWindows windows(
      server_.display(), {{"--geometry", "640x480+10+10", "--color", "3366cc", "--argb", "--border",
                           "3", "--frame-extents", "20,20,10,30"}});
  startOn(windows.id(0), configuration({1, 30}));
  auto windowColourOnly = [](const Journal::Frame& frame) {
    return std::all_of(frame.rgb.begin(), frame.rgb.end(),
                       [](uint32_t rgb) { return rgb == 0x3366ccU; });
  };
  const auto first = journal_.frames().front();
  EXPECT_EQ(first.width, 600);
  EXPECT_EQ(first.height, 440);
  EXPECT_TRUE(windowColourOnly(first));

  ASSERT_EQ(windows.command("extents 0 0 0 0 0"), "ok");  // as when maximised
  ASSERT_TRUE(journal_.waitFor([](auto& frames, auto&) {
    return frames.back().width == 640 && frames.back().height == 480;
  }));
  EXPECT_TRUE(windowColourOnly(journal_.frames().back())) << "the border is not part of it";
}

TEST_F(X11StreamTest, TheCursorIsDrawnInWhileThePointerIsOverTheWindow) {
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "200x150+100+100", "--color", "ff0000"}});
  const XcbConnection pointer(xcb_connect(server_.display().c_str(), nullptr));
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(pointer.get())).data->root;
  auto warp = [&](int16_t x, int16_t y) {
    xcb_warp_pointer(pointer.get(), XCB_NONE, root, 0, 0, 0, 0, x, y);
    takeReply(xcb_get_input_focus_reply, pointer.get(), xcb_get_input_focus(pointer.get()));
  };
  warp(10, 10);
  startOn(windows.id(0), configuration({1, 30}, true));
  EXPECT_EQ(journal_.frames().back().center(), kRed);

  auto cursorNearCenter = [](const Journal::Frame& frame) {
    for (int y = frame.height / 2 - 8; y <= frame.height / 2 + 8; ++y) {
      for (int x = frame.width / 2 - 8; x <= frame.width / 2 + 8; ++x) {
        if (frame.at(x, y) != kRed) return true;
      }
    }
    return false;
  };
  warp(200, 175);  // the window's center
  ASSERT_TRUE(journal_.waitFor(
      [&](auto& frames, auto&) { return !frames.empty() && cursorNearCenter(frames.back()); }));
  warp(10, 10);  // out again: the cursor leaves the picture
  ASSERT_TRUE(journal_.waitFor(
      [&](auto& frames, auto&) { return !frames.empty() && !cursorNearCenter(frames.back()); }));
}

TEST_F(X11StreamTest, UnmappingIsASystemStopReportedBeforeTheEndOfStream) {
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "120x90+10+10", "--color", "ff0000"}});
  startOn(windows.id(0), configuration());
  ASSERT_EQ(windows.command("unmap 0"), "ok");
  ASSERT_TRUE(journal_.waitForEvent("end"));
  const auto events = journal_.events();
  EXPECT_EQ(std::count(events.begin(), events.end(), kSystemStop), 1);
  EXPECT_LT(indexOf(events, kSystemStop), indexOf(events, "end"));

  stopAndWait();  // completes at once: the capture has ended
  EXPECT_EQ(journal_.countOf("end"), 1U);
}

TEST_F(X11StreamTest, ADestroyedOrKilledWindowEndsFramesButNotTheStream) {
  enum class Ending { destroyed, killed, unmappedThenDestroyed };
  for (const Ending ending : {Ending::destroyed, Ending::killed, Ending::unmappedThenDestroyed}) {
    SCOPED_TRACE(static_cast<int>(ending));
    Journal journal;
    auto sink = std::make_shared<FakeSink>(journal);
    test::TestWindows windows(server_.display(),
                              {{"--geometry", "120x90+10+10", "--color", "ff0000"}});
    ContentFilter filter;
    filter.window.windowID = windows.id(0);
    X11Stream stream(filter, configuration(), std::make_shared<FakeDelegate>(journal));
    ASSERT_EQ(stream.addRecordingOutput(sink), std::nullopt);
    stream.startCapture(journaled(journal, "start"));
    ASSERT_TRUE(journal.waitForFrames(1));
    switch (ending) {
      case Ending::destroyed:
        ASSERT_EQ(windows.command("destroy 0"), "ok");
        break;
      case Ending::killed:
        windows.process().signal(SIGKILL);
        break;
      case Ending::unmappedThenDestroyed:  // two requests, as toolkits closing a window send
        ASSERT_EQ(windows.command("unmap 0"), "ok");
        ASSERT_EQ(windows.command("destroy 0"), "ok");
        break;
    }
    // Well past the grace period in which an unmap waits for the destroy.
    EXPECT_FALSE(journal.waitFor(
        [](auto&, auto& events) {
          return std::any_of(events.begin(), events.end(), [](const std::string& event) {
            return event == "end" || event.starts_with("stop");
          });
        },
        500ms));
    stream.stopCapture(journaled(journal, "stopped"));
    ASSERT_TRUE(journal.waitForEvent("stopped ok"));
    const auto events = journal.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "end"), 1);
    EXPECT_LT(indexOf(events, "end"), indexOf(events, "stopped ok"));
  }
}

TEST_F(X11StreamTest, StoppingEndsTheStreamAndWorksBeforeTheStartCompleted) {
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "120x90+10+10", "--color", "ff0000"}});
  X11Stream& stream = makeStream(windows.id(0), configuration());
  stream.startCapture(journaled(journal_, "start"));
  stream.stopCapture(journaled(journal_, "stopped"));
  ASSERT_TRUE(journal_.waitForEvent("stopped ok"));
  const auto events = journal_.events();
  EXPECT_LT(indexOf(events, "start ok"), indexOf(events, "end"));
  EXPECT_LT(indexOf(events, "end"), indexOf(events, "stopped ok"));
  EXPECT_EQ(std::count(events.begin(), events.end(), "end"), 1);
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const std::string& event) { return event.starts_with("stop "); }),
            0);

  stream.stopCapture(journaled(journal_, "again"));  // a second stop completes at once
  EXPECT_TRUE(journal_.waitForEvent("again ok", 0ms));
  EXPECT_EQ(journal_.countOf("end"), 1U);
}

TEST_F(X11StreamTest, DestroyingARunningStreamReportsNothing) {
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "120x90+10+10", "--color", "ff0000"}});
  startOn(windows.id(0), configuration());
  stream_.reset();
  EXPECT_EQ(journal_.countOf("end"), 0U);
  EXPECT_EQ(journal_.frameCount(), journal_.countOf("frame"));
  const auto events = journal_.events();
  EXPECT_TRUE(std::none_of(events.begin(), events.end(),
                           [](const std::string& event) { return event.starts_with("stop"); }));
}

TEST_F(X11StreamTest, ALostServerIsAStreamStopBeforeTheEndOfStream) {
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "120x90+10+10", "--color", "ff0000"}});
  startOn(windows.id(0), configuration());
  server_.stop();
  ASSERT_TRUE(journal_.waitForEvent("end"));
  const auto events = journal_.events();
  const std::string lost = "stop x11_capture " + std::to_string(kConnectionLostCode);
  EXPECT_LT(indexOf(events, lost), indexOf(events, "end"));
}

// A child reaching beyond its top-level parent does not fit in the parent's pixmap, so no read
// ever succeeds: the stream ends with an error instead of staying silent.
TEST_F(X11StreamTest, ReadsThatKeepFailingAreAStreamStopBeforeTheEndOfStream) {
  const XcbConnection connection(xcb_connect(server_.display().c_str(), nullptr));
  xcb_connection_t* c = connection.get();
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_window_t parent = xcb_generate_id(c);
  const xcb_window_t child = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, parent, screen->root, 0, 0, 100, 100, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL, &kRed);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, child, parent, 50, 50, 200, 200, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL, &kGreen);
  xcb_map_window(c, child);
  xcb_map_window(c, parent);
  takeReply(xcb_get_input_focus_reply, c, xcb_get_input_focus(c));

  makeStream(child, configuration()).startCapture(journaled(journal_, "start"));
  ASSERT_TRUE(journal_.waitForEvent("end"));
  const auto events = journal_.events();
  const std::string unreadable = "stop x11_capture " + std::to_string(kImageReadCode);
  EXPECT_LT(indexOf(events, "start ok"), indexOf(events, unreadable));
  EXPECT_LT(indexOf(events, unreadable), indexOf(events, "end"));
  EXPECT_EQ(journal_.frameCount(), 0U);
}

TEST_F(X11StreamTest, StartFailsForAMissingWindowOrServerAndMisuseIsRefused) {
  X11Stream& early = makeStream(0x3fffff, configuration());
  early.stopCapture(journaled(journal_, "early stop"));
  EXPECT_TRUE(journal_.waitForEvent("early stop error " + std::to_string(kInternalErrorCode), 0ms));

  early.startCapture(journaled(journal_, "missing"));
  EXPECT_TRUE(journal_.waitForEvent("missing error " + std::to_string(kWindowGoneCode)));
  early.stopCapture(journaled(journal_, "after failure"));
  EXPECT_TRUE(journal_.waitForEvent("after failure ok"));
  early.startCapture(journaled(journal_, "twice"));
  EXPECT_TRUE(journal_.waitForEvent("twice error " + std::to_string(kInternalErrorCode), 0ms));

  setenv("DISPLAY", ":4999", 1);  // nothing listens there
  makeStream(0x3fffff, configuration()).startCapture(journaled(journal_, "no server"));
  EXPECT_TRUE(journal_.waitForEvent("no server error " + std::to_string(kConnectionFailedCode)));
  EXPECT_EQ(journal_.countOf("end"), 0U);
  EXPECT_EQ(journal_.frameCount(), 0U);

  ContentFilter filter;
  X11Stream outputs(filter, configuration(), delegate_);
  const auto mismatch = outputs.addRecordingOutput(std::make_shared<NotASink>());
  ASSERT_TRUE(mismatch.has_value());
  EXPECT_EQ(mismatch->code, kOutputMismatchCode);
  EXPECT_EQ(outputs.addRecordingOutput(sink_), std::nullopt);
  EXPECT_TRUE(outputs.addRecordingOutput(std::make_shared<FakeSink>(journal_)).has_value());
}

// Plain GetImage when the server has no MIT-SHM.
class X11StreamWithoutShmTest : public X11StreamTest {
 protected:
  X11StreamWithoutShmTest()
      : X11StreamTest(test::XvfbOptions{"1280x1024x24", {}, {"-extension", "MIT-SHM"}}) {}
};

TEST_F(X11StreamWithoutShmTest, FramesAreReadWithPlainGetImage) {
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "100x80+10+10", "--color", "00ff00"}});
  startOn(windows.id(0), configuration({1, 30}));
  EXPECT_EQ(journal_.frames().front().center(), kGreen);
  ASSERT_EQ(windows.command("resize 0 300 200"), "ok");
  ASSERT_TRUE(journal_.waitFor([](auto& frames, auto&) {
    return !frames.empty() && frames.back().width == 300 && frames.back().at(299, 199) == kGreen;
  }));
}

// Under a reparenting window manager the frame is redirected and its unmap counts too.
TEST_F(X11StreamTest, UnderAWindowManagerCoveredCaptureHideAndCloseBehave) {
  test::ChildProcess openbox({"openbox", "--sm-disable"}, server_.clientOptions());
  ASSERT_TRUE(test::waitForWindowManager(server_.display()));
  test::TestWindows windows(server_.display(),
                            {{"--geometry", "160x120+40+40", "--color", "ff0000"},
                             {"--geometry", "160x120+300+40", "--color", "00ff00"},
                             {"--geometry", "500x400+0+0", "--color", "0000ff"}});
  ASSERT_TRUE(test::waitForProperty(server_.display(), windows.ids(), "WM_STATE"));
  // Managed means reparented and mapped again: the first frame follows once that has happened.
  const XcbConnection connection(xcb_connect(server_.display().c_str(), nullptr));
  auto viewable = [&](uint32_t window) {
    const auto attributes = takeReply(xcb_get_window_attributes_reply, connection.get(),
                                      xcb_get_window_attributes(connection.get(), window));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  };
  const auto deadline = Clock::now() + 5s;
  while (!(viewable(windows.id(0)) && viewable(windows.id(1))) && Clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }

  // Hidden (withdrawn): the manager unmaps, reparents to the root and destroys its frame.
  startOn(windows.id(0), configuration());
  EXPECT_EQ(journal_.frames().front().center(), kRed);
  EXPECT_EQ(journal_.frames().front().width, 160);
  ASSERT_EQ(windows.command("unmap 0"), "ok");
  ASSERT_TRUE(journal_.waitForEvent("end"));
  EXPECT_LT(indexOf(journal_.events(), kSystemStop), indexOf(journal_.events(), "end"));
  stream_.reset();

  // Closed: no stream error.
  Journal journal;
  auto sink = std::make_shared<FakeSink>(journal);
  ContentFilter filter;
  filter.window.windowID = windows.id(1);
  X11Stream stream(filter, configuration(), std::make_shared<FakeDelegate>(journal));
  ASSERT_EQ(stream.addRecordingOutput(sink), std::nullopt);
  stream.startCapture(journaled(journal, "start"));
  ASSERT_TRUE(journal.waitForCenter(kGreen));
  ASSERT_EQ(windows.command("destroy 1"), "ok");
  EXPECT_FALSE(journal.waitForEvent("end", 500ms));
  EXPECT_EQ(journal.countOf(kSystemStop), 0U);
  stream.stopCapture(journaled(journal, "stopped"));
  EXPECT_TRUE(journal.waitForEvent("stopped ok"));
  EXPECT_EQ(journal.countOf("end"), 1U);
}

}  // namespace

// Premultiplied "over", clipped at every edge, on channels placed by the masks.
TEST(CursorOverlay, BlendsPremultipliedPixelsClippedToTheImage) {
  const uint32_t kOpaqueWhite = 0xffffffff;
  const uint32_t kHalfBlack = 0x80000000;  // premultiplied: colour 0, alpha 128
  const uint32_t kClear = 0x00000000;
  const uint32_t cursor[4] = {kOpaqueWhite, kHalfBlack, kClear, kOpaqueWhite};

  // 3x2 image, BGRX in memory (masks as on Xvfb), one spare byte at the end of each row.
  constexpr int kStride = 13;
  std::vector<uint8_t> pixels(kStride * 2, 0);
  auto set = [&](int x, int y, uint32_t value) {
    std::memcpy(pixels.data() + y * kStride + x * 4, &value, 4);
  };
  auto get = [&](int x, int y) {
    uint32_t value = 0;
    std::memcpy(&value, pixels.data() + y * kStride + x * 4, 4);
    return value;
  };
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) set(x, y, 0xaa102030);  // the top byte is not a channel
  }
  const MutableImage image{pixels.data(), 3, 2, kStride, 0xff0000, 0xff00, 0xff};
  // 2x2 cursor whose top-left corner sits at (2, 1): only its first pixel is inside.
  drawCursor(image, CursorPicture{cursor, 2, 2, 2, 1});
  EXPECT_EQ(get(2, 1), 0xaaffffffU);
  EXPECT_EQ(get(1, 1), 0xaa102030U);
  EXPECT_EQ(pixels[kStride - 1], 0) << "wrote past the row";

  // Placed at (-1, 0): only its right column is inside, on x = 0.
  drawCursor(image, CursorPicture{cursor, 2, 2, -1, 0});
  EXPECT_EQ(get(0, 0), 0xaa081018U);  // half black over: each channel about halved
  EXPECT_EQ(get(0, 1), 0xaaffffffU);
  EXPECT_EQ(get(1, 0), 0xaa102030U);
}

TEST(CursorOverlay, PutsEachChannelWhereTheMasksSay) {
  const uint32_t halfRed = 0x80800000;  // premultiplied
  uint32_t pixel = 0xaa302010;          // red in the low byte, blue in the high one
  const MutableImage image{reinterpret_cast<uint8_t*>(&pixel), 1, 1, 4, 0xff, 0xff00, 0xff0000};
  drawCursor(image, CursorPicture{&halfRed, 1, 1, 0, 0});
  EXPECT_EQ(pixel, 0xaa181088U);

  EXPECT_TRUE(hasByteChannels(0xff0000, 0xff00, 0xff));
  EXPECT_FALSE(hasByteChannels(0x3ff00000, 0xffc00, 0x3ff));  // 10-bit channels
}

}  // namespace darvo::capture::x11
