#include "app/stop_requests.hpp"

#include <unistd.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <memory>
#include <string_view>
#include <thread>

#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include "protocol/stop_request.hpp"

namespace darvo::app {
namespace {

// Each read() result is one chunk; runs on its own thread.
void readStandardInput(asio::io_context& mainQueue, const std::function<void()>& requestStop) {
  try {
    std::array<char, 65536> buffer{};
    while (true) {
      const ssize_t count = ::read(STDIN_FILENO, buffer.data(), buffer.size());
      if (count < 0 && errno == EINTR) continue;
      // A read error ends input as surely as end of file does.
      const std::string_view chunk(buffer.data(), count > 0 ? static_cast<size_t>(count) : 0);
      if (protocol::chunkRequestsStop(chunk)) asio::post(mainQueue, requestStop);
      if (count <= 0) return;
    }
  } catch (...) {
    asio::post(mainQueue, requestStop);
  }
}

void watchSignals(const std::shared_ptr<asio::signal_set>& signals,
                  std::function<void()> requestStop) {
  signals->async_wait([signals, requestStop = std::move(requestStop)](const std::error_code& error,
                                                                      int /*signal*/) {
    if (error) return;
    watchSignals(signals, requestStop);
    requestStop();
  });
}

}  // namespace

void startStopRequests(asio::io_context& mainQueue, std::function<void()> requestStop) {
  std::thread([&mainQueue, requestStop] { readStandardInput(mainQueue, requestStop); }).detach();
  // Ignored first, so that neither signal can end the process by its default action.
  std::signal(SIGINT, SIG_IGN);
  std::signal(SIGTERM, SIG_IGN);
  watchSignals(std::make_shared<asio::signal_set>(mainQueue, SIGINT, SIGTERM),
               std::move(requestStop));
}

}  // namespace darvo::app
