// The top-level task: one content request, then the window listing or the record command.
#pragma once

#include <string>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include "capture/capture.hpp"
#include "protocol/json.hpp"

namespace darvo::app {

// The `windows` line for the candidate windows, in their order.
protocol::JsonObject windowListing(const std::vector<capture::Window>& candidates);

// Runs on the main queue; ends the process itself in every branch but a started recording.
// `captureService` is null when no X server could be reached.
asio::awaitable<void> topLevelTask(asio::io_context& mainQueue,
                                   capture::CaptureService* captureService,
                                   std::vector<std::string> arguments);

// `record portal[:<restore-token>] <output-path> <duration> <outline-mode>`: the window the user
// chooses through the desktop portal, recorded from its screen cast. Needs no X server.
asio::awaitable<void> portalTopLevelTask(asio::io_context& mainQueue,
                                         std::vector<std::string> arguments);

// For an exception that escaped a handler of the main queue: a recording under way ends as
// failed, with its summary, once the queue runs again; anything else ends with
// "recording_failed".
void endAfterEscapedException();

}  // namespace darvo::app
