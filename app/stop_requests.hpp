// The parent's ways to end a recording: standard input and SIGINT/SIGTERM.
#pragma once

#include <functional>

#include <asio/io_context.hpp>

namespace darvo::app {

// Calls `requestStop` on the main queue for every standard-input chunk that asks for a stop, at
// end of input or a read error, and for every SIGINT and SIGTERM, which no longer end the process
// by their default action. The reader thread ends at end of input and is never joined; the signal
// sets live until the process ends (with _exit).
void startStopRequests(asio::io_context& mainQueue, std::function<void()> requestStop);

}  // namespace darvo::app
