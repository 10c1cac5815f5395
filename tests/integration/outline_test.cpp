// The X11 outline panel on a real (virtual) X server.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <xcb/shape.h>
#include <xcb/xcb.h>

#include "app/x11_outline_panel.hpp"
#include "capture/x11/xcb_handles.hpp"
#include "harness.hpp"
#include "recording/outline_geometry.hpp"

namespace darvo::app {
namespace {

using namespace std::chrono_literals;
using capture::x11::takeReply;
using capture::x11::XcbConnection;
using capture::x11::XcbEvent;
using recording::outlineBand;
using recording::OutlinePanel;
using recording::OutlinePanelFactory;
using recording::outlinePanelFrame;
using recording::PixelRect;

// The panel talks over its own connection, so its requests reach the server some time after it
// returns; the test waits for what it expects to become true.
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + 3s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

constexpr uint32_t kRed = 0xFF3B30;
constexpr uint32_t kBlue = 0x0000FF;
// The recorded window; the panel goes 3 pixels around it: (97, 47) 806 × 606.
constexpr capture::Rect kRecorded{100, 50, 800, 600};

class OutlineOnX : public testing::Test {
 protected:
  void SetUp() override {
    const char* previous = std::getenv("DISPLAY");
    if (previous != nullptr) previousDisplay_ = previous;
    setenv("DISPLAY", server_.display().c_str(), 1);
    connection_.reset(xcb_connect(server_.display().c_str(), nullptr));
    ASSERT_EQ(xcb_connection_has_error(c()), 0);
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c())).data;
    ASSERT_EQ(screen_->root_depth, 24);
    ASSERT_EQ(xcb_get_setup(c())->image_byte_order, XCB_IMAGE_ORDER_LSB_FIRST);

    // A blue window under the whole panel that records the clicks it gets.
    below_ = xcb_generate_id(c());
    const std::array<uint32_t, 3> values = {kBlue, 1, XCB_EVENT_MASK_BUTTON_PRESS};
    xcb_create_window(c(), XCB_COPY_FROM_PARENT, below_, screen_->root, 40, 20, 960, 700, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK,
                      values.data());
    xcb_map_window(c(), below_);
    sync();
  }

  void TearDown() override {
    if (previousDisplay_) {
      setenv("DISPLAY", previousDisplay_->c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
  }

  xcb_connection_t* c() { return connection_.get(); }
  void sync() { takeReply(xcb_get_input_focus_reply, c(), xcb_get_input_focus(c())); }

  std::unique_ptr<X11OutlinePanel> openShownPanel(const capture::Rect& windowFrame) {
    auto panel = X11OutlinePanel::open(outlinePanelFrame(windowFrame), server_.display().c_str());
    if (panel) {
      panel->setFrame(outlinePanelFrame(windowFrame));
      panel->orderFrontRegardless();
      EXPECT_TRUE(eventually([&] { return viewable(panel->window()); }));
    }
    return panel;
  }

  bool viewable(xcb_window_t window) {
    const auto attributes =
        takeReply(xcb_get_window_attributes_reply, c(), xcb_get_window_attributes(c(), window));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  }

  capture::x11::XcbReply<xcb_get_geometry_reply_t> geometry(xcb_window_t window) {
    return takeReply(xcb_get_geometry_reply, c(), xcb_get_geometry(c(), window));
  }

  std::vector<PixelRect> shape(xcb_window_t window, xcb_shape_kind_t kind) {
    const auto reply =
        takeReply(xcb_shape_get_rectangles_reply, c(), xcb_shape_get_rectangles(c(), window, kind));
    std::vector<PixelRect> rects;
    if (!reply) return rects;
    const xcb_rectangle_t* data = xcb_shape_get_rectangles_rectangles(reply.get());
    for (int i = 0; i < xcb_shape_get_rectangles_rectangles_length(reply.get()); ++i) {
      rects.push_back({data[i].x, data[i].y, data[i].width, data[i].height});
    }
    return rects;
  }

  // The screen as shown, 0xRRGGBB per pixel.
  std::vector<uint32_t> screenshot() {
    const auto image =
        takeReply(xcb_get_image_reply, c(),
                  xcb_get_image(c(), XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, 0, 0,
                                screen_->width_in_pixels, screen_->height_in_pixels, ~0U));
    std::vector<uint32_t> pixels(size_t{screen_->width_in_pixels} * screen_->height_in_pixels);
    if (!image || static_cast<size_t>(xcb_get_image_data_length(image.get())) !=
                      pixels.size() * sizeof(uint32_t)) {
      ADD_FAILURE() << "unexpected image";
      return pixels;
    }
    const uint8_t* data = xcb_get_image_data(image.get());
    for (size_t i = 0; i < pixels.size(); ++i) {
      pixels[i] = (data[4 * i + 2] << 16) | (data[4 * i + 1] << 8) | data[4 * i];
    }
    return pixels;
  }
  uint32_t at(const std::vector<uint32_t>& pixels, int x, int y) const {
    return pixels[static_cast<size_t>(y) * screen_->width_in_pixels + x];
  }

  std::optional<xcb_button_press_event_t> nextButtonPress() {
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < deadline) {
      while (const XcbEvent event{xcb_poll_for_event(c())}) {
        if ((event->response_type & 0x7F) == XCB_BUTTON_PRESS) {
          return *reinterpret_cast<const xcb_button_press_event_t*>(event.get());
        }
      }
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }

  test::XvfbServer server_{{.screen = "1024x768x24", .cookie = {}, .extraArguments = {"-br"}}};
  std::optional<std::string> previousDisplay_;
  XcbConnection connection_;
  const xcb_screen_t* screen_ = nullptr;
  xcb_window_t below_ = 0;
};

TEST_F(OutlineOnX, FactoryPanelIsAHiddenOverrideRedirectWindowUntilFronted) {
  const OutlinePanelFactory factory = makeX11OutlinePanelFactory();
  const std::unique_ptr<OutlinePanel> made = factory(outlinePanelFrame(kRecorded));
  auto* panel = dynamic_cast<X11OutlinePanel*>(made.get());
  ASSERT_NE(panel, nullptr) << "the factory fell back although $DISPLAY works";
  const xcb_window_t window = panel->window();

  const auto attributes =
      takeReply(xcb_get_window_attributes_reply, c(), xcb_get_window_attributes(c(), window));
  ASSERT_TRUE(attributes);
  EXPECT_EQ(attributes->override_redirect, 1);
  EXPECT_EQ(attributes->map_state, XCB_MAP_STATE_UNMAPPED);
  const auto wmClass =
      takeReply(xcb_get_property_reply, c(),
                xcb_get_property(c(), 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64));
  ASSERT_TRUE(wmClass);
  EXPECT_EQ(std::string(static_cast<const char*>(xcb_get_property_value(wmClass.get())),
                        xcb_get_property_value_length(wmClass.get())),
            std::string("darvo-helper-outline\0darvo-helper-outline\0", 42));

  panel->setFrame(outlinePanelFrame(kRecorded));
  panel->orderFrontRegardless();
  ASSERT_TRUE(eventually([&] { return viewable(window); }));
  const auto frame = geometry(window);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->root, screen_->root);
  EXPECT_EQ(frame->x, 97);
  EXPECT_EQ(frame->y, 47);
  EXPECT_EQ(frame->width, 806);
  EXPECT_EQ(frame->height, 606);
  EXPECT_EQ(frame->border_width, 0);
}

TEST_F(OutlineOnX, ShowsTheRedBandAndLeavesInsideAndCornersToTheWindowBelow) {
  const auto panel = openShownPanel(kRecorded);
  ASSERT_TRUE(panel);
  EXPECT_EQ(shape(panel->window(), XCB_SHAPE_SK_BOUNDING), outlineBand(806, 606));
  std::vector<uint32_t> pixels;
  ASSERT_TRUE(eventually([&] {
    pixels = screenshot();
    return at(pixels, 97, 300) == kRed;
  }));
  // The band: two pixels at each straight edge, and the corner's diagonal.
  for (const auto& [x, y] : {std::pair{97, 300},
                             {98, 300},
                             {901, 300},
                             {902, 300},
                             {500, 47},
                             {500, 48},
                             {500, 651},
                             {500, 652},
                             {99, 49},
                             {900, 650}}) {
    EXPECT_EQ(at(pixels, x, y), kRed) << x << "," << y;
  }
  // The gap pixel, the window's edge and its middle, and the rounded-off panel corners.
  for (const auto& [x, y] : {std::pair{99, 300},
                             {100, 300},
                             {500, 49},
                             {500, 300},
                             {97, 47},
                             {902, 47},
                             {97, 652},
                             {902, 652},
                             {100, 50}}) {
    EXPECT_EQ(at(pixels, x, y), kBlue) << x << "," << y;
  }
}

TEST_F(OutlineOnX, ClicksOnTheBandReachTheWindowBelow) {
  const auto panel = openShownPanel(kRecorded);
  ASSERT_TRUE(panel);
  EXPECT_TRUE(shape(panel->window(), XCB_SHAPE_SK_INPUT).empty());
  xcb_flush(c());

  const test::ToolResult clicked =
      test::runTool({"xdotool", "mousemove", "97", "300", "click", "1"}, server_.clientOptions());
  ASSERT_EQ(clicked.status.exitCode(), 0) << clicked.errors;
  const std::optional<xcb_button_press_event_t> press = nextButtonPress();
  ASSERT_TRUE(press) << "the click did not reach the window below";
  EXPECT_EQ(press->event, below_);
  EXPECT_EQ(press->root_x, 97);
  EXPECT_EQ(press->root_y, 300);
}

TEST_F(OutlineOnX, ANewSizeMovesAndReshapesTheBand) {
  const auto panel = openShownPanel(kRecorded);
  ASSERT_TRUE(panel);
  panel->setFrame(outlinePanelFrame({200, 100, 400, 300}));
  panel->orderFrontRegardless();
  ASSERT_TRUE(eventually([&] {
    const auto frame = geometry(panel->window());
    return frame && frame->x == 197 && frame->y == 97 && frame->width == 406 &&
           frame->height == 306;
  }));
  ASSERT_TRUE(eventually(
      [&] { return shape(panel->window(), XCB_SHAPE_SK_BOUNDING) == outlineBand(406, 306); }));
  std::vector<uint32_t> pixels;
  ASSERT_TRUE(eventually([&] {
    pixels = screenshot();
    return at(pixels, 197, 250) == kRed && at(pixels, 97, 300) == kBlue;
  }));
  EXPECT_EQ(at(pixels, 602, 250), kRed);
  EXPECT_EQ(at(pixels, 400, 402), kRed);
  EXPECT_EQ(at(pixels, 400, 250), kBlue);
  EXPECT_EQ(at(pixels, 197, 97), kBlue);
  EXPECT_TRUE(shape(panel->window(), XCB_SHAPE_SK_INPUT).empty());
}

TEST_F(OutlineOnX, EveryFrontingRaisesItOverWindowsMappedSince) {
  const auto panel = openShownPanel(kRecorded);
  ASSERT_TRUE(panel);
  constexpr uint32_t kGreen = 0x00FF00;
  const xcb_window_t cover = xcb_generate_id(c());
  const std::array<uint32_t, 2> values = {kGreen, 1};
  xcb_create_window(c(), XCB_COPY_FROM_PARENT, cover, screen_->root, 0, 0, 300, 300, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values.data());
  xcb_map_window(c(), cover);
  sync();
  ASSERT_EQ(at(screenshot(), 97, 200), kGreen);

  panel->orderFrontRegardless();
  EXPECT_TRUE(eventually([&] { return at(screenshot(), 97, 200) == kRed; }));
}

TEST_F(OutlineOnX, CloseHidesThePanelForGood) {
  const auto panel = openShownPanel(kRecorded);
  ASSERT_TRUE(panel);
  panel->close();
  ASSERT_TRUE(eventually([&] { return !viewable(panel->window()); }));

  panel->setFrame(outlinePanelFrame({200, 100, 400, 300}));
  panel->orderFrontRegardless();
  panel->close();
  // Nothing is sent after close; give a stray request time to arrive before looking.
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(viewable(panel->window()));
  const auto frame = geometry(panel->window());
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->x, 97);
  EXPECT_EQ(frame->width, 806);
}

TEST_F(OutlineOnX, FactoryGivesAPanelThatDoesNothingWithoutAServer) {
  EXPECT_EQ(X11OutlinePanel::open(outlinePanelFrame(kRecorded), ":65000"), nullptr);
  setenv("DISPLAY", ":65000", 1);
  const std::unique_ptr<OutlinePanel> panel =
      makeX11OutlinePanelFactory()(outlinePanelFrame(kRecorded));
  ASSERT_NE(panel, nullptr);
  EXPECT_EQ(dynamic_cast<X11OutlinePanel*>(panel.get()), nullptr);
  panel->setFrame(outlinePanelFrame(kRecorded));
  panel->orderFrontRegardless();
  panel->close();
}

}  // namespace
}  // namespace darvo::app
