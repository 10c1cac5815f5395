// Connecting to the X server, and telling a server that refuses us from one that is not there.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include <xcb/xcb.h>

#include "capture/x11/xcb_handles.hpp"

namespace darvo::capture::x11 {

// An open connection and the screen the display name asked for. `screen` points into the
// connection's setup data and lives as long as the connection.
struct DisplayConnection {
  XcbConnection connection;
  xcb_screen_t* screen = nullptr;
};

// Why no connection could be had.
enum class ConnectFailure {
  refused,      // a server listens at the display's socket but refused us (authorization, limits)
  unavailable,  // no or malformed display name, nothing listening, no such screen
};

using ConnectResult = std::variant<DisplayConnection, ConnectFailure>;

// Connects to `displayName`, or to DISPLAY when it is null or empty.
ConnectResult connectToDisplay(const char* displayName = nullptr);

// xcb_connect for every thread of the process: one at a time, since libXau finds the
// authorization file through a static buffer, and with descriptor 2 pointed at /dev/null, since
// libxcb writes a refusing server's reason there. The connection may be in an error state.
XcbConnection openConnection(const char* displayName, int* screen);

// A display name taken apart the way xcb reads it: [protocol/][host]:display[.screen].
struct DisplayAddress {
  std::string protocol;  // empty, or what precedes the last '/': "unix", "tcp", "inet", "inet6"
  std::string host;      // empty (or "unix") for the local machine; a socket path if it starts '/'
  int display = 0;
  int screen = 0;
};

// Nothing when the name (DISPLAY when null or empty) is absent or malformed.
std::optional<DisplayAddress> parseDisplayName(const char* displayName);

// Whether something accepts a stream connection where xcb would connect for `address`: the
// abstract, then the file socket of /tmp/.X11-unix/X<n> for a local display (then TCP on
// localhost, as xcb does), TCP port 6000+n for host:n.
bool displaySocketAccepts(const DisplayAddress& address);

}  // namespace darvo::capture::x11
