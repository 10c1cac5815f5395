// `record portal[:<restore-token>] <output-path> <duration> <outline-mode>`: the window the user
// chooses through the desktop portal, recorded from its screen cast. Needs no X server.
#pragma once

#include <string>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

namespace darvo::app {

// Runs on the main queue; ends the process itself in every branch but a started recording. The
// parent may stop it from the start: while the desktop asks the user, the request is withdrawn
// and the command ends with "capture_cancelled".
asio::awaitable<void> portalTopLevelTask(asio::io_context& mainQueue,
                                         std::vector<std::string> arguments);

}  // namespace darvo::app
