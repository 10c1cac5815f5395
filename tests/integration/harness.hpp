// Shared pieces of the integration tests: a private Xvfb, child processes with pipes, the test
// window program, ffprobe. Every wait has a timeout; failures to start throw std::runtime_error,
// which GoogleTest reports as a failure of the test that asked.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace darvo::test {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::milliseconds;

// The build directory's copy of `name` (darvo-helper, darvo-test-window, ...).
std::string binaryPath(std::string_view name);

// A fresh directory, removed with its contents on destruction.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A wait status.
struct ExitStatus {
  int raw = 0;
  [[nodiscard]] bool exited() const;
  [[nodiscard]] int exitCode() const;  // -1 unless exited()
  [[nodiscard]] bool signaled() const;
  [[nodiscard]] int termSignal() const;  // 0 unless signaled()
};

struct ChildOptions {
  // Changes to the inherited environment: a value sets, nothing unsets.
  std::vector<std::pair<std::string, std::optional<std::string>>> environment = {};
  // Descriptors of ours to hand over, as {our descriptor, its number in the child} (>= 3).
  std::vector<std::pair<int, int>> descriptors = {};
};

// A child process with pipes on its stdin, stdout and stderr (stderr is collected as it comes, so
// a chatty child never blocks). Killed (SIGKILL) and reaped on destruction if still running.
// SIGPIPE is ignored in this process once the first child starts, so writing to a child that
// ended fails instead of killing the tests.
class ChildProcess {
 public:
  // argv[0] is looked up in PATH unless it contains a '/'.
  explicit ChildProcess(std::vector<std::string> argv, ChildOptions options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  // The next line of stdout without its newline; nothing on timeout or at end of output.
  std::optional<std::string> readLine(Milliseconds timeout);
  // Everything on stdout until it closes (or the timeout passes), after what readLine took.
  std::string readRemainingOutput(Milliseconds timeout);
  // False when the child's stdin is closed or the write fails.
  bool writeStdin(std::string_view text);
  void closeStdin();
  void signal(int signalNumber);
  // Nothing when it still runs after `timeout`.
  std::optional<ExitStatus> waitExit(Milliseconds timeout);
  // What it wrote to stderr so far.
  std::string stderrText();

 private:
  // Reads what stdout and stderr have, waiting at most until `deadline` (and, with wantExit,
  // waking when the child ends).
  bool pump(std::chrono::steady_clock::time_point deadline, bool wantExit);
  bool reap(bool block);

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  int pidfd_ = -1;
  std::string stdoutBuffer_;
  std::string stderrBuffer_;
  std::optional<ExitStatus> status_;
};

// Runs a program to its end; throws when it does not end within the timeout.
struct ToolResult {
  ExitStatus status;
  std::string output;
  std::string errors;
};
ToolResult runTool(std::vector<std::string> argv, ChildOptions options = {},
                   Milliseconds timeout = 10s);

struct XvfbOptions {
  std::string screen = "1280x1024x24";
  // When set, the server demands this MIT-MAGIC-COOKIE-1 (32 hex digits); the cookie file is
  // created in a private directory and is usable as XAUTHORITY (authorityFile()).
  std::optional<std::string> cookie = std::nullopt;
  // Appended to the command line, e.g. {"-extension", "Composite"} or {"-listen", "tcp"}.
  std::vector<std::string> extraArguments = {};
};

// Xvfb on a free display number (-displayfd), stopped on destruction.
class XvfbServer {
 public:
  explicit XvfbServer(XvfbOptions options = {});
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  [[nodiscard]] const std::string& display() const { return display_; }  // ":N"
  [[nodiscard]] int number() const { return number_; }
  // Empty unless started with a cookie.
  [[nodiscard]] const std::string& authorityFile() const { return authorityFile_; }
  // {"DISPLAY", display()}, plus XAUTHORITY when the server demands a cookie.
  [[nodiscard]] ChildOptions clientOptions() const;
  // Ends the server now (SIGTERM, then SIGKILL).
  void stop();

 private:
  std::optional<TemporaryDirectory> authDirectory_;
  std::string authorityFile_;
  std::optional<ChildProcess> process_;
  std::string display_;
  int number_ = -1;
};

// The test window program with one window per entry of `windows` (each entry the options of one
// window, e.g. {"--name", "a", "--geometry", "200x100+10+20"}), started on `display`; ready once
// every window is created and the mapped ones are mapped.
class TestWindows {
 public:
  TestWindows(const std::string& display, const std::vector<std::vector<std::string>>& windows,
              Milliseconds timeout = 10s);
  [[nodiscard]] const std::vector<uint32_t>& ids() const { return ids_; }
  [[nodiscard]] uint32_t id(std::size_t index) const { return ids_.at(index); }
  [[nodiscard]] pid_t pid() const { return process_.pid(); }
  ChildProcess& process() { return process_; }
  // Sends one command ("unmap 0", "destroy 0x200002", "move 1 10 10", ...) and returns the
  // answer: "ok", "error ...", or "" when none came in time.
  std::string command(const std::string& line, Milliseconds timeout = 5s);

 private:
  ChildProcess process_;
  std::vector<uint32_t> ids_;
};

// Waits until each window has the property `name` (e.g. WM_STATE once a window manager manages
// it); false on timeout. Event driven: no polling of the server.
bool waitForProperty(const std::string& display, const std::vector<uint32_t>& windows,
                     std::string_view name, Milliseconds timeout = 10s);

// Waits until a window manager has taken the screen (_NET_SUPPORTING_WM_CHECK on the root), so
// that windows mapped from then on are managed; false on timeout.
bool waitForWindowManager(const std::string& display, Milliseconds timeout = 10s);

}  // namespace darvo::test
