#include "recorder/window_recorder.hpp"

#include <csignal>
#include <exception>

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>

#include "app/json_lines.hpp"
#include "app/parsing.hpp"
#include "supervision/health_monitor.hpp"
#include "supervision/outline_geometry.hpp"

namespace darvo::recorder {
namespace {

constexpr const char* kTestStopVariable = "DARVO_HELPER_TEST_SYSTEM_STOP_AT";

}  // namespace

WindowRecorder::WindowRecorder(capture::Window window, std::optional<double> duration,
                               bool showOutline, asio::io_context& mainQueue,
                               capture::CaptureService& captureService, RecorderPorts ports)
    // startWall is initialised before ports_ (declaration order), so `ports` is still whole.
    : startWall(ports.now()),
      window(std::move(window)),
      duration(duration),
      showOutline(showOutline),
      mainQueue_(mainQueue),
      captureService_(captureService),
      ports_(std::move(ports)) {}

double WindowRecorder::elapsed() const {
  return std::chrono::duration<double>(ports_.now() - startWall).count();
}

double WindowRecorder::wallClockMilliseconds() const {
  return std::chrono::duration<double, std::milli>(ports_.now().time_since_epoch()).count();
}

void WindowRecorder::emit(const app::JsonObject& object) const {
  ports_.emit(object);
}

void WindowRecorder::fail(const std::string& code) const {
  ports_.emit({{"error", code}});
  ports_.exit(1);
  std::terminate();  // exit never returns
}

asio::awaitable<std::optional<capture::CaptureError>> WindowRecorder::start(std::string path) {
  basePath = std::move(path);
  installControlInputs();
  installSignal(SIGINT);
  installSignal(SIGTERM);
  std::optional<double> testStopAt;
  if (const auto value = ports_.environment(kTestStopVariable)) {
    testStopAt = app::parseWholeDouble(*value);
  }
  health = std::make_unique<supervision::HealthTimer>(
      mainQueue_, ports_.healthPeriod,
      [self = shared_from_this(), testStopAt] { supervision::checkHealth(*self, testStopAt); });
  updateOutline(window.frame);
  co_return co_await beginSegment();
}

void WindowRecorder::installControlInputs() {
  ports_.startInputReader([self = shared_from_this()] { self->stop(); });
}

void WindowRecorder::installSignal(int signalNumber) {
  // Ignored first, so the signal never ends the process by its default action.
  std::signal(signalNumber, SIG_IGN);
  auto signalSet = std::make_unique<asio::signal_set>(mainQueue_, signalNumber);
  watchSignal(*signalSet);
  signals.push_back(std::move(signalSet));
}

void WindowRecorder::watchSignal(asio::signal_set& signalSet) {
  signalSet.async_wait(
      [self = shared_from_this(), &signalSet](const std::error_code& error, int /*signal*/) {
        if (error) return;
        self->watchSignal(signalSet);
        self->stop();
      });
}

void WindowRecorder::spawn(asio::awaitable<void> task) {
  asio::co_spawn(mainQueue_, std::move(task),
                 [self = shared_from_this()](const std::exception_ptr& error) {
                   if (!error) return;
                   try {
                     std::rethrow_exception(error);
                   } catch (const app::ProcessEnded&) {
                     throw;
                   } catch (...) {
                     // Nothing escapes silently.
                     self->endWithInternalError();
                   }
                 });
}

void WindowRecorder::updateOutline(const capture::Rect& windowFrame) {
  if (!showOutline) return;
  const capture::Rect panelFrame = supervision::outlinePanelFrame(windowFrame);
  if (!outline) outline = ports_.makeOutline(panelFrame);
  outline->setFrame(panelFrame);
  outline->orderFrontRegardless();
}

}  // namespace darvo::recorder
