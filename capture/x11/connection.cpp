#include "capture/x11/connection.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "capture/x11/x11_server.hpp"

namespace darvo::capture::x11 {
namespace {

constexpr int kTcpPortBase = 6000;
// A TCP probe must not hang on a host that drops packets; xcb itself already failed here.
constexpr int kTcpProbeTimeoutMs = 2000;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_;
};

bool unixSocketAccepts(std::string_view path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t offset = abstract ? 1 : 0;  // an abstract name starts with a NUL byte
  if (path.size() + offset + 1 > sizeof(address.sun_path)) {
    return false;
  }
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                             path.size() + (abstract ? 0 : 1));
  const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) {
    return false;
  }
  int result = 0;
  do {
    result = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), length);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool tcpConnectWithTimeout(const addrinfo& info) {
  const FileDescriptor socket(
      ::socket(info.ai_family, info.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, info.ai_protocol));
  if (socket.get() < 0) {
    return false;
  }
  if (::connect(socket.get(), info.ai_addr, info.ai_addrlen) == 0) {
    return true;
  }
  if (errno != EINPROGRESS) {
    return false;
  }
  pollfd waiting{socket.get(), POLLOUT, 0};
  int ready = 0;
  do {
    ready = ::poll(&waiting, 1, kTcpProbeTimeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) {
    return false;
  }
  int error = 0;
  socklen_t errorLength = sizeof(error);
  return ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &errorLength) == 0 && error == 0;
}

bool tcpAccepts(std::string host, int port) {
  if (host.empty()) {
    host = "localhost";
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  // xcb accepts IPv6 literals in brackets.
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    hints.ai_family = AF_INET6;
    hints.ai_flags |= AI_NUMERICHOST;
  }
  addrinfo* results = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &results) != 0) {
    return false;
  }
  bool accepted = false;
  for (const addrinfo* info = results; info != nullptr && !accepted; info = info->ai_next) {
    accepted = tcpConnectWithTimeout(*info);
  }
  ::freeaddrinfo(results);
  return accepted;
}

// Nothing may reach the helper's standard error: descriptor 2 points at /dev/null while
// connecting. The mutex keeps two connecting threads from saving each other's /dev/null as "the
// original", and from sharing libXau's buffer.
class SilencedStandardError {
 public:
  SilencedStandardError() {
    saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    wasClosed_ = saved_ < 0 && errno == EBADF;
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      if (saved_ >= 0 || wasClosed_) {
        ::dup2(null, STDERR_FILENO);
      }
      ::close(null);
    }
  }
  ~SilencedStandardError() {
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
    } else if (wasClosed_) {
      ::close(STDERR_FILENO);
    }
  }
  SilencedStandardError(const SilencedStandardError&) = delete;
  SilencedStandardError& operator=(const SilencedStandardError&) = delete;

 private:
  static std::mutex& mutex() {
    static std::mutex instance;
    return instance;
  }
  std::lock_guard<std::mutex> lock_{mutex()};
  int saved_ = -1;
  bool wasClosed_ = false;
};

}  // namespace

std::optional<DisplayAddress> parseDisplayName(const char* displayName) {
  if (displayName == nullptr || *displayName == '\0') {
    displayName = std::getenv("DISPLAY");
  }
  if (displayName == nullptr || *displayName == '\0') {
    return std::nullopt;
  }
  char* host = nullptr;
  DisplayAddress address;
  // The library that connects also parses, so both agree on what a name means.
  if (xcb_parse_display(displayName, &host, &address.display, &address.screen) == 0) {
    return std::nullopt;
  }
  address.host = host;
  std::free(host);
  const std::string_view name(displayName);
  if (const auto slash = name.rfind('/'); slash != std::string_view::npos && name.front() != '/') {
    address.protocol = name.substr(0, slash);
  }
  return address;
}

bool displaySocketAccepts(const DisplayAddress& address) {
  // The same choice of transport as xcb's own.
  if (!address.host.empty() && address.host.front() == '/') {
    return unixSocketAccepts(address.host, false);
  }
  const std::string& protocol = address.protocol;
  if (protocol != "unix" && !address.host.empty() && address.host != "unix") {
    const bool tcp =
        protocol.empty() || protocol == "tcp" || protocol == "inet" || protocol == "inet6";
    return tcp && tcpAccepts(address.host, kTcpPortBase + address.display);
  }
  if (!protocol.empty() && protocol != "unix") {
    return false;
  }
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(address.display);
  if (unixSocketAccepts(path, true) || unixSocketAccepts(path, false)) {
    return true;
  }
  // For a bare ":n" xcb falls back to TCP on localhost.
  return protocol.empty() && address.host.empty() && tcpAccepts("", kTcpPortBase + address.display);
}

ConnectResult connectToDisplay(const char* displayName) {
  if (displayName != nullptr && *displayName == '\0') {
    displayName = nullptr;
  }
  int screen = 0;
  // Owned even in error state: xcb hands out an error object that must still be released.
  XcbConnection connection = openConnection(displayName, &screen);
  if (connection == nullptr) {
    return ConnectFailure::unavailable;
  }
  if (const int error = xcb_connection_has_error(connection.get()); error != 0) {
    if (error == XCB_CONN_CLOSED_PARSE_ERR || error == XCB_CONN_CLOSED_INVALID_SCREEN) {
      return ConnectFailure::unavailable;
    }
    // xcb says XCB_CONN_ERROR both when nobody listens and when the server refused the setup.
    const auto address = parseDisplayName(displayName);
    return address && displaySocketAccepts(*address) ? ConnectFailure::refused
                                                     : ConnectFailure::unavailable;
  }
  xcb_screen_t* const root = screenNumbered(xcb_get_setup(connection.get()), screen);
  if (root == nullptr) {
    return ConnectFailure::unavailable;
  }
  return DisplayConnection{std::move(connection), root};
}

XcbConnection openConnection(const char* displayName, int* screen) {
  const SilencedStandardError silenced;
  return XcbConnection(xcb_connect(displayName, screen));
}

}  // namespace darvo::capture::x11
