#include "supervision/control_inputs.hpp"

#include <unistd.h>
#include <array>
#include <cerrno>
#include <thread>

#include <asio/post.hpp>

#include "app/utf8.hpp"

namespace darvo::supervision {

bool chunkRequestsStop(std::string_view chunk) {
  if (chunk.empty()) return true;
  return app::isValidUtf8(chunk) && chunk.find("stop") != std::string_view::npos;
}

void startStandardInputReader(asio::any_io_executor mainQueue, std::function<void()> requestStop) {
  std::thread([mainQueue = std::move(mainQueue), requestStop = std::move(requestStop)] {
    try {
      std::array<char, 65536> buffer{};
      while (true) {
        const ssize_t count = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) continue;
        // A read error ends input as surely as end of file does.
        const std::string_view chunk(buffer.data(), count > 0 ? static_cast<size_t>(count) : 0);
        if (chunkRequestsStop(chunk)) asio::post(mainQueue, requestStop);
        if (count <= 0) return;
      }
    } catch (...) {
      asio::post(mainQueue, requestStop);
    }
  }).detach();
}

}  // namespace darvo::supervision
