// Entry point of the helper: version at once, then the screen check and the main queue.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "app/commands.hpp"
#include "app/portal_command.hpp"
#include "app/record_command.hpp"
#include "app/x11_capture_service.hpp"
#include "capture/x11/connection.hpp"
#include "protocol/json_lines.hpp"
#include "recording/output/ffmpeg_handles.hpp"

namespace {

// A descriptor 0, 1 or 2 that the parent left closed would be taken by the next open() or
// socket: standard input could then read the X connection. Nothing may reach standard error,
// whatever a library prints.
void settleStandardDescriptors() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (::fcntl(descriptor, F_GETFD) == -1) ::open("/dev/null", O_RDWR);
  }
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull >= 0) {
    ::dup2(devNull, STDERR_FILENO);
    ::close(devNull);
  }
}

// The X server's capture service; nothing when no server can be reached. Ends the process when
// the server refuses us.
std::unique_ptr<darvo::app::X11CaptureService> connectToX11() {
  using darvo::capture::x11::ConnectFailure;
  using darvo::capture::x11::DisplayConnection;
  // The access check's connection is the one the capture service goes on with.
  auto connection = darvo::capture::x11::connectToDisplay();
  if (const auto* failure = std::get_if<ConnectFailure>(&connection);
      failure != nullptr && *failure == ConnectFailure::refused) {
    darvo::protocol::fail("screen_permission_required");
  }
  auto* display = std::get_if<DisplayConnection>(&connection);
  if (display == nullptr) return nullptr;
  try {
    return std::make_unique<darvo::app::X11CaptureService>(std::move(*display));
  } catch (const std::system_error&) {
    darvo::protocol::fail("capture_unavailable");  // no thread for the queries
  }
}

}  // namespace

int main(int argc, char** argv) {
  using darvo::protocol::emit;
  using darvo::protocol::endProcess;
  using darvo::protocol::fail;

  settleStandardDescriptors();
  // A parent that closed its end of standard output must not kill a recording.
  std::signal(SIGPIPE, SIG_IGN);
  ::umask(077);
  // libx264 asks for transparent huge pages for its buffers, and the kernel then clears 2 MiB at
  // each first touch, much of it never used: small pages take a fifth off the CPU of a short
  // idle recording and 8 MiB off its memory.
  ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);

  if (arguments.size() == 1 && arguments[0] == "version") {
    emit({{"minimumMacOS", "15.0"}, {"protocol", 1}});
    endProcess(0);
  }

  darvo::recording::output::silenceLogging();
  asio::io_context mainQueue(1);
  const auto ended = [](const std::exception_ptr& error) {
    if (error) fail("capture_unavailable");
  };
  std::unique_ptr<darvo::app::X11CaptureService> captureService;
  if (darvo::app::isPortalRecordCommand(arguments)) {
    asio::co_spawn(mainQueue, darvo::app::portalTopLevelTask(mainQueue, std::move(arguments)),
                   ended);
  } else {
    captureService = connectToX11();
    asio::co_spawn(mainQueue,
                   darvo::app::topLevelTask(mainQueue, captureService.get(), std::move(arguments)),
                   ended);
  }
  // The queue runs on after an exception, so a recording still ends with its summary.
  for (;;) {
    try {
      mainQueue.run();
      break;
    } catch (...) {
      darvo::app::endAfterEscapedException();
    }
  }
  endProcess(0);
}
