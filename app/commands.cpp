#include "app/commands.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>

#include <asio/post.hpp>

#include "app/record_command.hpp"
#include "app/stop_requests.hpp"
#include "app/x11_outline_panel.hpp"
#include "capture/candidates.hpp"
#include "protocol/json_lines.hpp"
#include "protocol/parsing.hpp"
#include "recording/capture_awaitables.hpp"
#include "recording/window_recorder.hpp"

namespace darvo::app {
namespace {

using protocol::emit;
using protocol::endProcess;
using protocol::fail;
using protocol::JsonObject;

// Set by tests: the recording simulates one system stop this many seconds after it began.
constexpr const char* kTestStopVariable = "DARVO_HELPER_TEST_SYSTEM_STOP_AT";

// Keeps the recorder alive once the top-level task has ended; never cleared.
std::shared_ptr<recording::WindowRecorder> retained;

std::string formatWindowId(uint32_t windowID) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%" PRIx32, windowID);
  return text;
}

recording::RecorderPorts processPorts(recording::OutlinePanelFactory makeOutline) {
  recording::RecorderPorts ports;
  ports.emit = [](const JsonObject& object) { emit(object); };
  ports.exit = [](int status) { endProcess(status); };
  ports.now = [] { return std::chrono::system_clock::now(); };
  ports.makeOutline = std::move(makeOutline);
  if (const char* value = std::getenv(kTestStopVariable)) {
    ports.simulatedStopAt = protocol::parseWholeDouble(value);
  }
  return ports;
}

asio::awaitable<void> runRecordCommand(asio::io_context& mainQueue,
                                       capture::CaptureService& captureService,
                                       const std::vector<std::string>& arguments,
                                       const std::vector<capture::Window>& candidates) {
  auto checked = checkRecordCommand(arguments, candidates);
  if (const auto* error = std::get_if<CommandError>(&checked)) fail(error->code);
  auto& request = std::get<RecordRequest>(checked);
  co_await record(mainQueue, captureService, std::move(request.window), request.outputPath,
                  request.duration, request.showOutline, makeX11OutlinePanelFactory(),
                  [&mainQueue](const std::shared_ptr<recording::WindowRecorder>& recorder) {
                    startStopRequests(mainQueue, [recorder] { recorder->stop(); });
                  });
}

}  // namespace

asio::awaitable<void> record(asio::io_context& mainQueue, capture::CaptureService& captureService,
                             capture::Window window, std::string outputPath,
                             std::optional<double> duration, bool showOutline,
                             recording::OutlinePanelFactory makeOutline,
                             StopsGoTo stopsGoTo) {
  auto windowRecorder = std::make_shared<recording::WindowRecorder>(
      std::move(window), duration, showOutline, mainQueue, captureService,
      processPorts(std::move(makeOutline)));
  retained = windowRecorder;
  stopsGoTo(windowRecorder);
  if (co_await windowRecorder->start(outputPath)) fail("capture_unavailable");
}

JsonObject windowListing(const std::vector<capture::Window>& candidates) {
  std::vector<JsonObject> entries;
  entries.reserve(candidates.size());
  for (const auto& window : candidates) {
    const auto& application = *window.owningApplication;
    entries.push_back({{"id", formatWindowId(window.windowID)},
                       {"width", static_cast<int64_t>(std::trunc(window.frame.width))},
                       {"height", static_cast<int64_t>(std::trunc(window.frame.height))},
                       {"app", application.applicationName},
                       {"bundleId", application.bundleIdentifier},
                       {"pid", int64_t{application.processID}}});
  }
  return {{"windows", std::move(entries)}};
}

asio::awaitable<void> topLevelTask(asio::io_context& mainQueue,
                                   capture::CaptureService* captureService,
                                   std::vector<std::string> arguments) {
  if (captureService == nullptr) fail("capture_unavailable");
  const auto content = co_await recording::shareableContentOf(*captureService, true, true);
  const auto* shareable = std::get_if<capture::ShareableContent>(&content);
  if (shareable == nullptr) fail("capture_unavailable");
  const auto candidates = capture::candidateWindows(shareable->windows);
  if (arguments.size() == 1 && arguments[0] == "windows") {
    emit(windowListing(candidates));
    endProcess(0);
  }
  co_await runRecordCommand(mainQueue, *captureService, arguments, candidates);
}

void endAfterEscapedException() {
  if (!retained) fail("recording_failed");
  retained->endWithInternalError();
}

}  // namespace darvo::app
