#include "app/commands.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/json_lines.hpp"
#include "app/record_command.hpp"
#include "capture/candidates.hpp"
#include "recorder/main_queue.hpp"
#include "recorder/window_recorder.hpp"
#include "supervision/control_inputs.hpp"
#include "supervision/x11_outline_panel.hpp"

namespace darvo::app {
namespace {

// Keeps the recorder alive once the top-level task has ended; never cleared.
std::shared_ptr<recorder::WindowRecorder> retained;

std::string formatWindowId(uint32_t windowID) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%" PRIx32, windowID);
  return text;
}

recorder::RecorderPorts processPorts(asio::io_context& mainQueue) {
  recorder::RecorderPorts ports;
  ports.emit = [](const JsonObject& object) { app::emit(object); };
  ports.exit = [](int status) { endProcess(status); };
  ports.now = [] { return std::chrono::system_clock::now(); };
  ports.startInputReader = [&mainQueue](std::function<void()> requestStop) {
    supervision::startStandardInputReader(mainQueue.get_executor(), std::move(requestStop));
  };
  ports.makeOutline = supervision::makeX11OutlinePanelFactory();
  ports.environment = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
  return ports;
}

asio::awaitable<void> runRecordCommand(asio::io_context& mainQueue,
                                       capture::CaptureService& captureService,
                                       const std::vector<std::string>& arguments,
                                       const std::vector<capture::Window>& candidates) {
  auto checked = checkRecordCommand(arguments, candidates);
  if (const auto* error = std::get_if<CommandError>(&checked)) fail(error->code);
  auto& request = std::get<RecordRequest>(checked);
  auto windowRecorder = std::make_shared<recorder::WindowRecorder>(
      std::move(request.window), request.duration, request.showOutline, mainQueue, captureService,
      processPorts(mainQueue));
  retained = windowRecorder;
  if (co_await windowRecorder->start(request.outputPath)) fail("capture_unavailable");
}

}  // namespace

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
  const auto content = co_await recorder::shareableContentOf(*captureService, true, true);
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
