#include "app/portal_command.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <utility>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "app/commands.hpp"
#include "app/portal_capture_service.hpp"
#include "app/record_command.hpp"
#include "app/stop_requests.hpp"
#include "capture/portal/pipewire_source.hpp"
#include "capture/portal/screen_cast_portal.hpp"
#include "protocol/json_lines.hpp"
#include "recording/capture_awaitables.hpp"

namespace darvo::app {
namespace {

using capture::portal::PortalChoice;
using capture::portal::PortalFailure;
using protocol::emit;
using protocol::fail;

// How long a chosen window may take to send its first picture.
constexpr std::chrono::seconds kFirstPictureTimeout{5};
// How long a withdrawn request may take to be sent: the portal's thread may be held by a bus
// that does not answer, and the stop is answered anyway.
constexpr std::chrono::seconds kWithdrawalWait{1};

// The command as it goes on, on the main thread: the chosen window and what became of its
// screen cast (the desktop may close it before the source that watches it exists), and where
// the parent's stop goes.
class PortalCommand {
 public:
  explicit PortalCommand(asio::io_context& mainQueue) : withdrawal_(mainQueue) {}

  void asked(std::shared_ptr<capture::portal::WindowRequest> request) {
    request_ = std::move(request);
  }
  // The portal answered: false when the parent stopped the command meanwhile.
  bool answered() {
    choosing_ = false;
    return !withdrawing_;
  }
  void sourceStarted(std::shared_ptr<capture::portal::PipeWireSource> source) {
    source_ = std::move(source);
    if (closed_ && source_) source_->markClosed();
  }
  void recorderStarted(std::shared_ptr<recording::WindowRecorder> recorder) {
    recorder_ = std::move(recorder);
  }
  void markClosed() {
    closed_ = true;
    if (source_) source_->markClosed();
  }

  // The recorder's stop once it exists. Before, nothing is recorded yet: while the desktop asks
  // the user, the request is withdrawn (its dialog goes away) and the command ends as cancelled.
  void stop() {
    if (recorder_) return recorder_->stop();
    if (!choosing_) fail("capture_cancelled");
    if (withdrawing_) return;
    withdrawing_ = true;
    if (request_) request_->withdraw();  // the portal's answer, cancelled, ends the command
    withdrawal_.expires_after(kWithdrawalWait);
    withdrawal_.async_wait([](const std::error_code& error) {
      if (!error) fail("capture_cancelled");
    });
  }

 private:
  std::shared_ptr<capture::portal::WindowRequest> request_;
  std::shared_ptr<capture::portal::PipeWireSource> source_;
  std::shared_ptr<recording::WindowRecorder> recorder_;
  bool closed_ = false;
  bool choosing_ = true;
  bool withdrawing_ = false;
  asio::steady_timer withdrawal_;
};

// Service objects the recorder uses for the rest of the process; never destroyed.
std::unique_ptr<PortalCaptureService> portalService;

// Internal, like the types its frame holds.
asio::awaitable<void> portalTask(asio::io_context& mainQueue, std::vector<std::string> arguments) {
  auto checked = checkPortalRecordCommand(arguments);
  if (const auto* error = std::get_if<CommandError>(&checked)) fail(error->code);
  const auto& request = std::get<PortalRecordRequest>(checked);

  auto command = std::make_shared<PortalCommand>(mainQueue);
  startStopRequests(mainQueue, [command] { command->stop(); });
  auto choice = co_await recording::awaitCallback<PortalChoice>(
      [&](std::function<void(PortalChoice)> chosen) {
        command->asked(capture::portal::chooseWindow(
            request.restoreToken, std::move(chosen), [&mainQueue, command] {
              asio::post(mainQueue, [command] { command->markClosed(); });
            }));
      });
  if (!command->answered()) fail("capture_cancelled");
  if (const auto* failure = std::get_if<PortalFailure>(&choice)) {
    fail(*failure == PortalFailure::cancelled ? "capture_cancelled" : "capture_unavailable");
  }
  auto& chosen = std::get<capture::portal::ChosenWindow>(choice);
  // The token first: the portal has spent the one it was given, whatever happens next.
  if (!chosen.restoreToken.empty()) {
    emit({{"event", "source"}, {"restoreToken", chosen.restoreToken}});
  }
  // The window's size comes with its first picture.
  std::shared_ptr<capture::portal::PipeWireSource> source;
  const auto firstPicture =
      co_await recording::awaitCallbackWithin<std::optional<std::pair<int, int>>>(
          kFirstPictureTimeout, std::nullopt,
          [&](const capture::portal::PipeWireSource::Ready& ready) {
            source = capture::portal::PipeWireSource::start(chosen.pipewire, chosen.node, ready);
            if (!source) ready(std::nullopt);
          });
  if (!firstPicture || !source) fail("capture_unavailable");
  command->sourceStarted(source);
  portalService = std::make_unique<PortalCaptureService>(source, chosen.node);
  co_await record(
      mainQueue, *portalService, portalService->window(), request.outputPath, request.duration,
      request.showOutline,
      [](const capture::Rect&) { return std::make_unique<recording::InertOutlinePanel>(); },
      [command](const std::shared_ptr<recording::WindowRecorder>& recorder) {
        command->recorderStarted(recorder);
      });
}

}  // namespace

asio::awaitable<void> portalTopLevelTask(asio::io_context& mainQueue,
                                         std::vector<std::string> arguments) {
  return portalTask(mainQueue, std::move(arguments));
}

}  // namespace darvo::app
