// A test window program: one or more plain X windows, controllable from standard input.
//
//   darvo-test-window [WINDOW OPTIONS] [--window WINDOW OPTIONS]...
//
// Each `--window` starts the options of another window. Window options:
//   --name N             WM_CLASS instance and class N, and the title N
//   --title T            WM_NAME T
//   --geometry WxH+X+Y   size and position (default 200x150+0+0)
//   --color RRGGBB       background colour (default 3366cc)
//   --override-redirect  never managed by a window manager
//   --unmapped           created but not mapped
//   --animate            a white bar moves across the window about 30 times a second
//   --type T             _NET_WM_WINDOW_TYPE_<T> (normal, dialog, dock, desktop, utility, ...)
//   --above              _NET_WM_STATE_ABOVE
//   --pid-property[=N]   set _NET_WM_PID to N (default: this process's id)
//   --app-id ID          _GTK_APPLICATION_ID
//   --argb               a 32-bit visual with alpha (opaque content)
//   --border N           X border width N (default 0)
//   --frame-extents L,R,T,B  _GTK_FRAME_EXTENTS (CARDINAL[4]: left, right, top, bottom)
//
// Prints the XID of each window ("0x%x", one per line, in option order) once every mapped one has
// been mapped (MapNotify), then reads commands from standard input, one per line, where W is a
// window's index (from 0) or its XID, and answers each with "ok" or "error <why>":
//   map W | unmap W | destroy W | raise W | move W X Y | resize W WIDTH HEIGHT | color W RRGGBB
//   extents W L R T B (replaces _GTK_FRAME_EXTENTS) | extents W (deletes it)
// "map" answers once the window is mapped; the others once the server has done them.
// Exits when standard input closes, on SIGTERM/SIGINT, or when the window manager closes the
// last window (WM_DELETE_WINDOW).

#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

struct ConnectionDeleter {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

struct WindowOptions {
  std::string name;
  std::string title;
  uint16_t width = 200;
  uint16_t height = 150;
  int16_t x = 0;
  int16_t y = 0;
  uint32_t color = 0x3366cc;
  bool overrideRedirect = false;
  bool unmapped = false;
  bool animate = false;
  std::string type;
  bool above = false;
  std::optional<uint32_t> pidProperty;
  std::string appId;
  bool argb = false;
  uint16_t border = 0;
  std::optional<std::array<uint32_t, 4>> frameExtents;
};

struct TestWindow {
  WindowOptions options;
  xcb_window_t id = XCB_WINDOW_NONE;
  xcb_gcontext_t gc = XCB_NONE;
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t pixelBase = 0;  // the alpha bits of a 32-bit visual
  bool mapped = false;
  bool destroyed = false;
  bool mapAnswerPending = false;  // a "map" command waits for MapNotify
};

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "darvo-test-window: %s\n", message.c_str());
  std::exit(2);
}

std::optional<uint32_t> parseColor(std::string_view text) {
  if (text.size() != 6) {
    return std::nullopt;
  }
  char* end = nullptr;
  const std::string copy(text);
  const unsigned long value = std::strtoul(copy.c_str(), &end, 16);
  if (end == nullptr || *end != '\0') {
    return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

std::optional<std::array<uint32_t, 4>> parseExtents(const std::string& text) {
  std::array<uint32_t, 4> extents{};
  char rest = 0;
  if (std::sscanf(text.c_str(), "%u,%u,%u,%u%c", &extents[0], &extents[1], &extents[2], &extents[3],
                  &rest) != 4) {
    return std::nullopt;
  }
  return extents;
}

std::vector<WindowOptions> parseArguments(int argc, char** argv) {
  std::vector<WindowOptions> windows(1);
  bool anyArgument = false;  // a leading --window starts the first window, not a second
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        fail("missing value after " + std::string(argument));
      }
      return argv[++i];
    };
    if (argument == "--window") {
      if (anyArgument) {
        windows.emplace_back();
      }
      anyArgument = true;
      continue;
    }
    anyArgument = true;
    WindowOptions& window = windows.back();
    if (argument == "--name") {
      window.name = value();
    } else if (argument == "--title") {
      window.title = value();
    } else if (argument == "--geometry") {
      const std::string geometry = value();
      unsigned width = 0;
      unsigned height = 0;
      int x = 0;
      int y = 0;
      const int fields = std::sscanf(geometry.c_str(), "%ux%u%d%d", &width, &height, &x, &y);
      if ((fields != 2 && fields != 4) || width == 0 || height == 0 || width > 32767 ||
          height > 32767) {
        fail("bad geometry " + geometry);
      }
      window.width = static_cast<uint16_t>(width);
      window.height = static_cast<uint16_t>(height);
      window.x = static_cast<int16_t>(x);
      window.y = static_cast<int16_t>(y);
    } else if (argument == "--color") {
      const std::string text = value();
      const auto color = parseColor(text);
      if (!color) {
        fail("bad color " + text);
      }
      window.color = *color;
    } else if (argument == "--override-redirect") {
      window.overrideRedirect = true;
    } else if (argument == "--unmapped") {
      window.unmapped = true;
    } else if (argument == "--animate") {
      window.animate = true;
    } else if (argument == "--type") {
      window.type = value();
    } else if (argument == "--above") {
      window.above = true;
    } else if (argument == "--pid-property") {
      window.pidProperty = static_cast<uint32_t>(getpid());
    } else if (argument.starts_with("--pid-property=")) {
      window.pidProperty = static_cast<uint32_t>(
          std::strtoul(std::string(argument.substr(15)).c_str(), nullptr, 10));
    } else if (argument == "--app-id") {
      window.appId = value();
    } else if (argument == "--argb") {
      window.argb = true;
    } else if (argument == "--border") {
      const std::string text = value();
      const unsigned long border = std::strtoul(text.c_str(), nullptr, 10);
      if (border > 1000) {
        fail("bad border " + text);
      }
      window.border = static_cast<uint16_t>(border);
    } else if (argument == "--frame-extents") {
      const std::string text = value();
      window.frameExtents = parseExtents(text);
      if (!window.frameExtents) {
        fail("bad frame extents " + text);
      }
    } else {
      fail("unknown option " + std::string(argument));
    }
  }
  return windows;
}

class App {
 public:
  explicit App(std::vector<WindowOptions> options) {
    int screenNumber = 0;
    connection_.reset(xcb_connect(nullptr, &screenNumber));
    if (xcb_connection_has_error(connection_.get()) != 0) {
      fail("cannot connect to the X server");
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection_.get()));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
      xcb_screen_next(&screens);
    }
    screen_ = screens.data;
    internAtoms();
    for (auto& windowOptions : options) {
      windows_.push_back(TestWindow{std::move(windowOptions)});
    }
  }

  int run() {
    for (auto& window : windows_) {
      create(window);
    }
    roundTrip();  // every window exists on the server before its id is printed
    for (auto& window : windows_) {
      if (!window.options.unmapped) {
        xcb_map_window(connection_.get(), window.id);
      }
    }
    xcb_flush(connection_.get());
    bool printed = false;
    std::string input;
    auto nextFrame = std::chrono::steady_clock::now();
    while (true) {
      const bool animating = anyAnimating();
      if (animating && std::chrono::steady_clock::now() >= nextFrame) {
        drawFrames();
        frame_ += 1;
        nextFrame =
            std::max(std::chrono::steady_clock::now(), nextFrame + std::chrono::milliseconds(33));
      }
      xcb_flush(connection_.get());
      // Drains the queue and the socket, so the poll below misses no event xcb already read.
      if (!handleEvents()) {
        return 0;
      }
      if (xcb_connection_has_error(connection_.get()) != 0) {
        fail("lost the X connection");
      }
      if (!printed && std::all_of(windows_.begin(), windows_.end(), [](const TestWindow& w) {
            return w.options.unmapped || w.mapped;
          })) {
        for (const auto& window : windows_) {
          std::printf("0x%x\n", window.id);
        }
        std::fflush(stdout);
        printed = true;
      }
      int timeout = -1;
      if (anyAnimating()) {  // asked again: a MapNotify just handled may start one
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            nextFrame - std::chrono::steady_clock::now());
        timeout = static_cast<int>(std::max<int64_t>(0, wait.count())) + 1;
      }
      std::array<pollfd, 2> fds{{{xcb_get_file_descriptor(connection_.get()), POLLIN, 0},
                                 {STDIN_FILENO, static_cast<short>(printed ? POLLIN : 0), 0}}};
      if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
        fail("poll failed");
      }
      if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        std::array<char, 4096> buffer{};
        const ssize_t count = read(STDIN_FILENO, buffer.data(), buffer.size());
        if (count <= 0) {
          return 0;  // standard input closed
        }
        input.append(buffer.data(), static_cast<std::size_t>(count));
        for (auto newline = input.find('\n'); newline != std::string::npos;
             newline = input.find('\n')) {
          command(input.substr(0, newline));
          input.erase(0, newline + 1);
        }
      }
    }
  }

 private:
  enum Atom : std::size_t {
    kWmProtocols,
    kWmDeleteWindow,
    kNetWmPid,
    kNetWmWindowType,
    kNetWmState,
    kNetWmStateAbove,
    kGtkApplicationId,
    kGtkFrameExtents,
    kUtf8String,
    kAtomCount
  };

  xcb_atom_t intern(std::string_view name) {
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection_.get(),
        xcb_intern_atom(connection_.get(), 0, static_cast<uint16_t>(name.size()), name.data()),
        nullptr));
    if (!reply) {
      fail("cannot intern " + std::string(name));
    }
    return reply->atom;
  }

  void internAtoms() {
    constexpr std::array<std::string_view, kAtomCount> names = {
        "WM_PROTOCOLS",        "WM_DELETE_WINDOW",   "_NET_WM_PID",
        "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE",      "_NET_WM_STATE_ABOVE",
        "_GTK_APPLICATION_ID", "_GTK_FRAME_EXTENTS", "UTF8_STRING"};
    for (std::size_t i = 0; i < kAtomCount; ++i) {
      atoms_[i] = intern(names[i]);
    }
  }

  void roundTrip() {
    const Reply<xcb_get_input_focus_reply_t> reply(xcb_get_input_focus_reply(
        connection_.get(), xcb_get_input_focus(connection_.get()), nullptr));
  }

  xcb_visualid_t argbVisual() {
    for (auto depths = xcb_screen_allowed_depths_iterator(screen_); depths.rem > 0;
         xcb_depth_next(&depths)) {
      if (depths.data->depth != 32) {
        continue;
      }
      for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0;
           xcb_visualtype_next(&visuals)) {
        if (visuals.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) {
          return visuals.data->visual_id;
        }
      }
    }
    fail("no 32-bit visual");
  }

  void setText(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, std::string_view text) {
    xcb_change_property(connection_.get(), XCB_PROP_MODE_REPLACE, window, property, type, 8,
                        static_cast<uint32_t>(text.size()), text.data());
  }

  void create(TestWindow& window) {
    xcb_connection_t* const c = connection_.get();
    const WindowOptions& options = window.options;
    window.id = xcb_generate_id(c);
    window.width = options.width;
    window.height = options.height;
    uint8_t depth = XCB_COPY_FROM_PARENT;
    xcb_visualid_t visual = screen_->root_visual;
    xcb_colormap_t colormap = XCB_NONE;
    if (options.argb) {
      depth = 32;
      visual = argbVisual();
      colormap = xcb_generate_id(c);
      xcb_create_colormap(c, XCB_COLORMAP_ALLOC_NONE, colormap, screen_->root, visual);
      window.pixelBase = 0xff000000U;
    }
    uint32_t mask =
        XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK;
    std::vector<uint32_t> values = {window.pixelBase | options.color, 0,
                                    options.overrideRedirect ? 1U : 0U,
                                    XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    if (colormap != XCB_NONE) {
      mask |= XCB_CW_COLORMAP;
      values.push_back(colormap);
    }
    xcb_create_window(c, depth, window.id, screen_->root, options.x, options.y, options.width,
                      options.height, options.border, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual, mask,
                      values.data());
    if (colormap != XCB_NONE) {
      xcb_free_colormap(c, colormap);  // the window keeps it alive
    }
    window.gc = xcb_generate_id(c);
    const uint32_t gcValues[] = {window.pixelBase | 0xffffffU, 0};
    xcb_create_gc(c, window.gc, window.id, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, gcValues);

    if (!options.name.empty()) {
      std::string wmClass = options.name;
      wmClass.push_back('\0');
      wmClass += options.name;
      wmClass.push_back('\0');
      setText(window.id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, wmClass);
    }
    const std::string title = options.title.empty() ? options.name : options.title;
    if (!title.empty()) {
      setText(window.id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, title);
    }
    // Position and size chosen by the user, so a window manager keeps them.
    std::array<uint32_t, 18> sizeHints{};
    sizeHints[0] = 1 | 2 | 4 | 8;  // USPosition | USSize | PPosition | PSize
    sizeHints[1] = static_cast<uint32_t>(options.x);
    sizeHints[2] = static_cast<uint32_t>(options.y);
    sizeHints[3] = options.width;
    sizeHints[4] = options.height;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window.id, XCB_ATOM_WM_NORMAL_HINTS,
                        XCB_ATOM_WM_SIZE_HINTS, 32, sizeHints.size(), sizeHints.data());
    const xcb_atom_t deleteWindow = atoms_[kWmDeleteWindow];
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window.id, atoms_[kWmProtocols], XCB_ATOM_ATOM,
                        32, 1, &deleteWindow);
    if (!options.type.empty()) {
      std::string typeName = "_NET_WM_WINDOW_TYPE_" + options.type;
      std::transform(typeName.begin(), typeName.end(), typeName.begin(),
                     [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
      const xcb_atom_t type = intern(typeName);
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, window.id, atoms_[kNetWmWindowType],
                          XCB_ATOM_ATOM, 32, 1, &type);
    }
    if (options.above) {
      const xcb_atom_t above = atoms_[kNetWmStateAbove];
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, window.id, atoms_[kNetWmState], XCB_ATOM_ATOM,
                          32, 1, &above);
    }
    if (options.pidProperty) {
      const uint32_t pid = *options.pidProperty;
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, window.id, atoms_[kNetWmPid], XCB_ATOM_CARDINAL,
                          32, 1, &pid);
    }
    if (!options.appId.empty()) {
      setText(window.id, atoms_[kGtkApplicationId], atoms_[kUtf8String], options.appId);
    }
    if (options.frameExtents) {
      setExtents(window.id, *options.frameExtents);
    }
  }

  void setExtents(xcb_window_t window, const std::array<uint32_t, 4>& extents) {
    xcb_change_property(connection_.get(), XCB_PROP_MODE_REPLACE, window, atoms_[kGtkFrameExtents],
                        XCB_ATOM_CARDINAL, 32, extents.size(), extents.data());
  }

  void drawFrames() {
    xcb_connection_t* const c = connection_.get();
    constexpr int kBarWidth = 16;
    constexpr int kStep = 8;
    for (auto& window : windows_) {
      if (!window.options.animate || !window.mapped || window.destroyed) {
        continue;
      }
      const int span = std::max(1, window.width - kBarWidth);
      const auto x = static_cast<int16_t>((frame_ * kStep) % span);
      xcb_clear_area(c, 0, window.id, 0, 0, 0, 0);
      const xcb_rectangle_t bar{x, 0, static_cast<uint16_t>(kBarWidth), window.height};
      xcb_poly_fill_rectangle(c, window.id, window.gc, 1, &bar);
    }
  }

  bool anyAnimating() const {
    return std::any_of(windows_.begin(), windows_.end(), [](const TestWindow& w) {
      return w.options.animate && w.mapped && !w.destroyed;
    });
  }

  TestWindow* find(xcb_window_t id) {
    for (auto& window : windows_) {
      if (window.id == id) {
        return &window;
      }
    }
    return nullptr;
  }

  // False when the program should end.
  bool handleEvents() {
    while (true) {
      const Reply<xcb_generic_event_t> event(xcb_poll_for_event(connection_.get()));
      if (!event) {
        return true;
      }
      switch (event->response_type & 0x7f) {
        case XCB_MAP_NOTIFY: {
          auto* notify = reinterpret_cast<xcb_map_notify_event_t*>(event.get());
          if (TestWindow* window = find(notify->window)) {
            window->mapped = true;
            if (window->mapAnswerPending) {
              window->mapAnswerPending = false;
              answer("ok");
            }
          }
          break;
        }
        case XCB_UNMAP_NOTIFY: {
          auto* notify = reinterpret_cast<xcb_unmap_notify_event_t*>(event.get());
          if (TestWindow* window = find(notify->window)) {
            window->mapped = false;
          }
          break;
        }
        case XCB_CONFIGURE_NOTIFY: {
          auto* notify = reinterpret_cast<xcb_configure_notify_event_t*>(event.get());
          if (TestWindow* window = find(notify->window)) {
            window->width = notify->width;
            window->height = notify->height;
          }
          break;
        }
        case XCB_DESTROY_NOTIFY: {
          auto* notify = reinterpret_cast<xcb_destroy_notify_event_t*>(event.get());
          if (TestWindow* window = find(notify->window)) {
            window->destroyed = true;
            window->mapped = false;
          }
          break;
        }
        case XCB_CLIENT_MESSAGE: {
          auto* message = reinterpret_cast<xcb_client_message_event_t*>(event.get());
          if (message->type == atoms_[kWmProtocols] &&
              message->data.data32[0] == atoms_[kWmDeleteWindow]) {
            if (TestWindow* window = find(message->window); window && !window->destroyed) {
              xcb_destroy_window(connection_.get(), window->id);
              window->destroyed = true;
              window->mapped = false;
              if (std::all_of(windows_.begin(), windows_.end(),
                              [](const TestWindow& w) { return w.destroyed; })) {
                xcb_flush(connection_.get());
                return false;
              }
            }
          }
          break;
        }
        default:
          break;
      }
    }
  }

  static void answer(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }

  void command(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    std::string target;
    words >> verb >> target;
    if (verb.empty()) {
      return;
    }
    TestWindow* window = nullptr;
    if (target.starts_with("0x")) {
      window = find(static_cast<xcb_window_t>(std::strtoul(target.c_str(), nullptr, 16)));
    } else if (!target.empty() && std::all_of(target.begin(), target.end(), [](unsigned char ch) {
                 return std::isdigit(ch) != 0;
               })) {
      const auto index = std::strtoul(target.c_str(), nullptr, 10);
      window = index < windows_.size() ? &windows_[index] : nullptr;
    }
    if (window == nullptr || window->destroyed) {
      answer("error no such window: " + target);
      return;
    }
    xcb_connection_t* const c = connection_.get();
    if (verb == "map") {
      if (window->mapped) {
        answer("ok");
        return;
      }
      window->mapAnswerPending = true;
      xcb_map_window(c, window->id);
      xcb_flush(c);
      return;
    }
    if (verb == "unmap") {
      xcb_unmap_window(c, window->id);
    } else if (verb == "destroy") {
      xcb_destroy_window(c, window->id);
      window->destroyed = true;
      window->mapped = false;
    } else if (verb == "raise") {
      const uint32_t above = XCB_STACK_MODE_ABOVE;
      xcb_configure_window(c, window->id, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    } else if (verb == "move" || verb == "resize") {
      int first = 0;
      int second = 0;
      if (!(words >> first >> second)) {
        answer("error " + verb + " needs two numbers");
        return;
      }
      const uint32_t values[] = {static_cast<uint32_t>(first), static_cast<uint32_t>(second)};
      const uint16_t mask = verb == "move" ? XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y
                                           : XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;
      xcb_configure_window(c, window->id, mask, values);
    } else if (verb == "color") {
      std::string text;
      words >> text;
      const auto color = parseColor(text);
      if (!color) {
        answer("error bad color " + text);
        return;
      }
      window->options.color = *color;
      const uint32_t pixel = window->pixelBase | *color;
      xcb_change_window_attributes(c, window->id, XCB_CW_BACK_PIXEL, &pixel);
      xcb_clear_area(c, 0, window->id, 0, 0, 0, 0);
    } else if (verb == "extents") {
      const std::vector<uint32_t> values{std::istream_iterator<uint32_t>(words), {}};
      if (values.size() == 4 && words.eof()) {
        setExtents(window->id, {values[0], values[1], values[2], values[3]});
      } else if (values.empty() && words.eof()) {
        xcb_delete_property(c, window->id, atoms_[kGtkFrameExtents]);
      } else {
        answer("error extents needs four numbers or none");
        return;
      }
    } else {
      answer("error unknown command " + verb);
      return;
    }
    roundTrip();  // the server has done it before we say so
    answer("ok");
  }

  std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection_;
  xcb_screen_t* screen_ = nullptr;
  std::array<xcb_atom_t, kAtomCount> atoms_{};
  std::vector<TestWindow> windows_;
  int frame_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  App app(parseArguments(argc, argv));
  return app.run();
}
