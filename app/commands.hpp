// The top-level task: one content request, then the window listing or the record command.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include "capture/capture.hpp"
#include "protocol/json.hpp"
#include "recording/outline_panel.hpp"
#include "recording/window_recorder.hpp"

namespace darvo::app {

// The `windows` line for the candidate windows, in their order.
protocol::JsonObject windowListing(const std::vector<capture::Window>& candidates);

// Runs on the main queue; ends the process itself in every branch but a started recording.
// `captureService` is null when no X server could be reached.
asio::awaitable<void> topLevelTask(asio::io_context& mainQueue,
                                   capture::CaptureService* captureService,
                                   std::vector<std::string> arguments);

// Told the recorder as soon as it exists, to send the parent's stop requests to it.
using StopsGoTo = std::function<void(const std::shared_ptr<recording::WindowRecorder>&)>;

// Starts the one recorder of the process, which is kept until the process ends; ends the process
// when the start fails.
asio::awaitable<void> record(asio::io_context& mainQueue, capture::CaptureService& captureService,
                             capture::Window window, std::string outputPath,
                             std::optional<double> duration, bool showOutline,
                             recording::OutlinePanelFactory makeOutline,
                             StopsGoTo stopsGoTo);

// For an exception that escaped a handler of the main queue: a recording under way ends as
// failed, with its summary, once the queue runs again; anything else ends with
// "recording_failed".
void endAfterEscapedException();

}  // namespace darvo::app
