#include "tests/integration/harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>

#include "capture/x11/xcb_handles.hpp"

extern char** environ;

namespace darvo::test {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, 1'000'000));
}

void closeDescriptor(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

std::array<int, 2> makePipe() {
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
  }
  return ends;
}

// Reads what one descriptor has; closes it at end of data.
void drain(int& fd, std::string& buffer) {
  std::array<char, 8192> chunk{};
  const ssize_t count = ::read(fd, chunk.data(), chunk.size());
  if (count > 0) {
    buffer.append(chunk.data(), static_cast<std::size_t>(count));
  } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
    closeDescriptor(fd);
  }
}

}  // namespace

std::string binaryPath(std::string_view name) {
  return std::string(DARVO_BINARY_DIR) + "/" + std::string(name);
}

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "darvo-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  }
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool ExitStatus::exited() const {
  return WIFEXITED(raw);
}
int ExitStatus::exitCode() const {
  return exited() ? WEXITSTATUS(raw) : -1;
}
bool ExitStatus::signaled() const {
  return WIFSIGNALED(raw);
}
int ExitStatus::termSignal() const {
  return signaled() ? WTERMSIG(raw) : 0;
}

ChildProcess::ChildProcess(std::vector<std::string> argv, ChildOptions options) {
  static std::once_flag ignoreSigpipe;
  std::call_once(ignoreSigpipe, [] { std::signal(SIGPIPE, SIG_IGN); });
  if (argv.empty()) {
    throw std::invalid_argument("ChildProcess needs a program");
  }
  auto input = makePipe();
  auto output = makePipe();
  auto errors = makePipe();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
  // Copies above any target number first, so that no dup2 is a no-op that keeps close-on-exec.
  std::vector<int> handed;
  for (const auto& [ours, theirs] : options.descriptors) {
    const int copy = ::fcntl(ours, F_DUPFD_CLOEXEC, 100);
    if (copy < 0) {
      throw std::runtime_error(std::string("fcntl: ") + std::strerror(errno));
    }
    handed.push_back(copy);
    posix_spawn_file_actions_adddup2(&actions, copy, theirs);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);  // ignored here; an ignored signal would stay ignored in the child
  sigset_t noMask;
  sigemptyset(&noMask);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &noMask);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    environment.emplace_back(*entry);
  }
  for (const auto& [name, value] : options.environment) {
    std::erase_if(environment, [&](const std::string& entry) {
      return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
             entry[name.size()] == '=';
    });
    if (value) {
      environment.push_back(name + "=" + *value);
    }
  }
  std::vector<char*> argvPointers;
  for (auto& argument : argv) {
    argvPointers.push_back(argument.data());
  }
  argvPointers.push_back(nullptr);
  std::vector<char*> environmentPointers;
  for (auto& entry : environment) {
    environmentPointers.push_back(entry.data());
  }
  environmentPointers.push_back(nullptr);

  const int result = ::posix_spawnp(&pid_, argvPointers[0], &actions, &attributes,
                                    argvPointers.data(), environmentPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  for (int fd : handed) {
    ::close(fd);
  }
  ::close(input[0]);
  ::close(output[1]);
  ::close(errors[1]);
  stdin_ = input[1];
  stdout_ = output[0];
  stderr_ = errors[0];
  if (result != 0) {
    pid_ = -1;
    closeDescriptor(stdin_);
    closeDescriptor(stdout_);
    closeDescriptor(stderr_);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(result));
  }
#ifdef SYS_pidfd_open
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));  // -1 on old kernels: we poll
#endif
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  closeDescriptor(stdin_);
  closeDescriptor(stdout_);
  closeDescriptor(stderr_);
  closeDescriptor(pidfd_);
}

bool ChildProcess::pump(Clock::time_point deadline, bool wantExit) {
  std::array<pollfd, 3> fds{};
  std::size_t count = 0;
  int* owners[3] = {nullptr, nullptr, nullptr};
  std::string* buffers[3] = {nullptr, nullptr, nullptr};
  if (stdout_ >= 0) {
    owners[count] = &stdout_;
    buffers[count] = &stdoutBuffer_;
    fds[count++] = {stdout_, POLLIN, 0};
  }
  if (stderr_ >= 0) {
    owners[count] = &stderr_;
    buffers[count] = &stderrBuffer_;
    fds[count++] = {stderr_, POLLIN, 0};
  }
  // Without a pidfd an exit cannot wake us: look again every few milliseconds.
  int timeout = remainingMs(deadline);
  if (wantExit) {
    if (pidfd_ >= 0) {
      fds[count++] = {pidfd_, POLLIN, 0};
    } else {
      timeout = std::min(timeout, 5);
    }
  }
  if (count == 0 && !wantExit) {
    return false;
  }
  const int ready = ::poll(fds.data(), count, timeout);
  if (ready <= 0) {
    return ready == 0 || errno == EINTR;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (owners[i] != nullptr && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      drain(*owners[i], *buffers[i]);
    }
  }
  return true;
}

bool ChildProcess::reap(bool block) {
  if (status_) {
    return true;
  }
  int raw = 0;
  pid_t result = 0;
  do {
    result = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == pid_) {
    status_ = ExitStatus{raw};
    closeDescriptor(pidfd_);
    return true;
  }
  return false;
}

std::optional<std::string> ChildProcess::readLine(Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    if (const auto newline = stdoutBuffer_.find('\n'); newline != std::string::npos) {
      std::string line = stdoutBuffer_.substr(0, newline);
      stdoutBuffer_.erase(0, newline + 1);
      return line;
    }
    if (stdout_ < 0) {
      if (stdoutBuffer_.empty()) {
        return std::nullopt;
      }
      return std::exchange(stdoutBuffer_, {});  // a last line without newline
    }
    if (Clock::now() >= deadline) {
      return std::nullopt;
    }
    pump(deadline, false);
  }
}

std::string ChildProcess::readRemainingOutput(Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (stdout_ >= 0 && Clock::now() < deadline) {
    pump(deadline, false);
  }
  return std::exchange(stdoutBuffer_, {});
}

bool ChildProcess::writeStdin(std::string_view text) {
  while (!text.empty() && stdin_ >= 0) {
    const ssize_t written = ::write(stdin_, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return text.empty();
}

void ChildProcess::closeStdin() {
  closeDescriptor(stdin_);
}

void ChildProcess::signal(int signalNumber) {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, signalNumber);
  }
}

std::optional<ExitStatus> ChildProcess::waitExit(Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!reap(false)) {
    if (Clock::now() >= deadline) {
      return std::nullopt;
    }
    pump(deadline, true);
  }
  return status_;
}

std::string ChildProcess::stderrText() {
  while (stderr_ >= 0) {
    pollfd waiting{stderr_, POLLIN, 0};
    if (::poll(&waiting, 1, 0) <= 0) {
      break;
    }
    drain(stderr_, stderrBuffer_);
  }
  return stderrBuffer_;
}

ToolResult runTool(std::vector<std::string> argv, ChildOptions options, Milliseconds timeout) {
  const std::string program = argv.empty() ? std::string() : argv.front();
  ChildProcess child(std::move(argv), std::move(options));
  child.closeStdin();
  const auto status = child.waitExit(timeout);
  if (!status) {
    throw std::runtime_error(program + " did not end in time; stderr: " + child.stderrText());
  }
  ToolResult result{*status, child.readRemainingOutput(1s), {}};
  result.errors = child.stderrText();
  return result;
}

XvfbServer::XvfbServer(XvfbOptions options) {
  if (options.cookie) {
    authDirectory_.emplace();
    authorityFile_ = (authDirectory_->path() / "xauthority").string();
    // The server loads every cookie in the file whatever its display number; the entry for the
    // real number (added below, once known) is the one clients look up.
    const auto added =
        runTool({"xauth", "-q", "-f", authorityFile_, "add", ":0", ".", *options.cookie});
    if (added.status.exitCode() != 0) {
      throw std::runtime_error("xauth add failed: " + added.errors);
    }
  }
  auto displayPipe = makePipe();
  // -noreset: an X server resets when its last client leaves, and a connection made during the
  // reset fails as if refused.
  std::vector<std::string> argv = {"Xvfb",         "-displayfd", "3",   "-screen", "0",
                                   options.screen, "-nolisten",  "tcp", "-noreset"};
  if (options.cookie) {
    argv.insert(argv.end(), {"-auth", authorityFile_});
  }
  argv.insert(argv.end(), options.extraArguments.begin(), options.extraArguments.end());
  try {
    process_.emplace(std::move(argv), ChildOptions{{}, {{displayPipe[1], 3}}});
  } catch (...) {
    ::close(displayPipe[0]);
    ::close(displayPipe[1]);
    throw;
  }
  ::close(displayPipe[1]);

  std::string text;
  const auto deadline = Clock::now() + 15s;
  while (text.find('\n') == std::string::npos && Clock::now() < deadline) {
    pollfd waiting{displayPipe[0], POLLIN, 0};
    if (::poll(&waiting, 1, remainingMs(deadline)) <= 0) {
      continue;
    }
    std::array<char, 64> chunk{};
    const ssize_t count = ::read(displayPipe[0], chunk.data(), chunk.size());
    if (count <= 0) {
      break;  // the server ended before naming its display
    }
    text.append(chunk.data(), static_cast<std::size_t>(count));
  }
  ::close(displayPipe[0]);
  if (text.find('\n') == std::string::npos) {
    const std::string errors = process_->stderrText();
    stop();
    throw std::runtime_error("Xvfb did not start: " + errors);
  }
  number_ = std::stoi(text);
  display_ = ":" + std::to_string(number_);
  if (options.cookie) {
    const auto added =
        runTool({"xauth", "-q", "-f", authorityFile_, "add", display_, ".", *options.cookie});
    if (added.status.exitCode() != 0) {
      throw std::runtime_error("xauth add failed: " + added.errors);
    }
  }
}

XvfbServer::~XvfbServer() {
  stop();
}

ChildOptions XvfbServer::clientOptions() const {
  ChildOptions options;
  options.environment.emplace_back("DISPLAY", display_);
  if (!authorityFile_.empty()) {
    options.environment.emplace_back("XAUTHORITY", authorityFile_);
  }
  return options;
}

void XvfbServer::stop() {
  if (!process_) {
    return;
  }
  // SIGTERM lets the server remove its socket and lock file.
  process_->signal(SIGTERM);
  if (!process_->waitExit(5s)) {
    process_->signal(SIGKILL);
    process_->waitExit(5s);
  }
  process_.reset();
}

TestWindows::TestWindows(const std::string& display,
                         const std::vector<std::vector<std::string>>& windows, Milliseconds timeout)
    : process_(
          [&] {
            std::vector<std::string> argv = {binaryPath("darvo-test-window")};
            for (const auto& options : windows) {
              argv.emplace_back("--window");
              argv.insert(argv.end(), options.begin(), options.end());
            }
            return argv;
          }(),
          ChildOptions{{{"DISPLAY", display}}, {}}) {
  const auto deadline = Clock::now() + timeout;
  const std::size_t expected = std::max<std::size_t>(1, windows.size());
  while (ids_.size() < expected) {
    const auto line = process_.readLine(Milliseconds(remainingMs(deadline)));
    if (!line) {
      throw std::runtime_error("the test window did not start: " + process_.stderrText());
    }
    ids_.push_back(static_cast<uint32_t>(std::stoul(*line, nullptr, 16)));
  }
}

std::string TestWindows::command(const std::string& line, Milliseconds timeout) {
  if (!process_.writeStdin(line + "\n")) {
    return {};
  }
  return process_.readLine(timeout).value_or(std::string());
}

bool waitForProperty(const std::string& display, const std::vector<uint32_t>& windows,
                     std::string_view name, Milliseconds timeout) {
  using capture::x11::takeReply;
  const auto deadline = Clock::now() + timeout;
  const capture::x11::XcbConnection connection(xcb_connect(display.c_str(), nullptr));
  xcb_connection_t* const c = connection.get();
  if (xcb_connection_has_error(c) != 0) {
    return false;
  }
  const auto atomReply =
      takeReply(xcb_intern_atom_reply, c,
                xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.data()));
  if (!atomReply) {
    return false;
  }
  const xcb_atom_t atom = atomReply->atom;
  // Listen first, then look: a change between the two still arrives as an event.
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  for (const uint32_t window : windows) {
    xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &mask);
  }
  std::vector<xcb_get_property_cookie_t> cookies;
  for (const uint32_t window : windows) {
    cookies.push_back(xcb_get_property(c, 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 0));
  }
  std::set<uint32_t> missing;
  for (std::size_t i = 0; i < windows.size(); ++i) {
    const auto reply = takeReply(xcb_get_property_reply, c, cookies[i]);
    if (!reply || reply->type == XCB_ATOM_NONE) {
      missing.insert(windows[i]);
    }
  }
  while (!missing.empty()) {
    while (const capture::x11::XcbEvent event{xcb_poll_for_event(c)}) {
      if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
        const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event.get());
        if (notify->atom == atom && notify->state == XCB_PROPERTY_NEW_VALUE) {
          missing.erase(notify->window);
        }
      }
    }
    if (missing.empty() || xcb_connection_has_error(c) != 0 || Clock::now() >= deadline) {
      break;
    }
    pollfd waiting{xcb_get_file_descriptor(c), POLLIN, 0};
    ::poll(&waiting, 1, remainingMs(deadline));
  }
  return missing.empty();
}

bool waitForWindowManager(const std::string& display, Milliseconds timeout) {
  const capture::x11::XcbConnection connection(xcb_connect(display.c_str(), nullptr));
  if (xcb_connection_has_error(connection.get()) != 0) {
    return false;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection.get())).data->root;
  return waitForProperty(display, {root}, "_NET_SUPPORTING_WM_CHECK", timeout);
}

}  // namespace darvo::test
