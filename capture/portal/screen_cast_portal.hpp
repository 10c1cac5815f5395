// The desktop portal's screen cast of one window that the user chooses (org.freedesktop.portal
// .ScreenCast, through libportal). Its D-Bus conversation runs on a GLib main loop of its own
// thread, for the life of the process: the screen cast lasts as long as our bus connection, and
// the main thread never waits on the session bus.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace darvo::capture::portal {

struct ChosenWindow {
  uint32_t node = 0;         // the window's PipeWire node
  int pipewire = -1;         // the PipeWire remote the portal opened for us, ours to close
  std::string restoreToken;  // for choosing the same window again; empty when none was given
};

enum class PortalFailure {
  // No session bus, no portal, no screen casts of windows (a desktop that casts monitors only),
  // a stream that is not a window's, no PipeWire remote.
  unavailable,
  cancelled,  // the user closed the chooser, or the request was withdrawn
};

using PortalChoice = std::variant<ChosenWindow, PortalFailure>;

// The request for a window, as it goes on on the portal's thread.
class WindowRequest {
 public:
  virtual ~WindowRequest() = default;
  // Any thread: the portal is asked to close the request and the session, so that the desktop's
  // dialog goes away; `chosen` is then called with `cancelled`, unless it was called already.
  virtual void withdraw() = 0;
};

// Asks for one window, the cursor drawn in, the choice kept until revoked, without the chooser
// where the desktop still honours `restoreToken`. The portal must offer screen casts of windows,
// and answer with a window's stream. `chosen` is called once and `closed` when the desktop later
// ends the screen cast (the window closed, or the user stopped the sharing), both on the
// portal's thread. Throws std::system_error when no thread can be started.
std::shared_ptr<WindowRequest> chooseWindow(std::optional<std::string> restoreToken,
                                            std::function<void(PortalChoice)> chosen,
                                            std::function<void()> closed);

}  // namespace darvo::capture::portal
