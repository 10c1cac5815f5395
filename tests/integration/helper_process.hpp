// Running the built helper the way a parent application does.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <string>
#include <vector>

#include "harness.hpp"

namespace darvo::test {

// A finished run of the helper: its lines, its status and whatever reached standard error.
struct HelperRun {
  std::vector<std::string> lines;
  ExitStatus status;
  std::string errors;
};

inline HelperRun runHelper(std::vector<std::string> arguments, ChildOptions options = {},
                           Milliseconds timeout = 20s) {
  arguments.insert(arguments.begin(), binaryPath("darvo-helper"));
  ChildProcess helper(arguments, options);
  helper.closeStdin();
  HelperRun run;
  while (auto line = helper.readLine(timeout)) run.lines.push_back(*line);
  const auto status = helper.waitExit(timeout);
  if (!status) throw std::runtime_error("the helper did not end");
  run.status = *status;
  run.errors = helper.stderrText();
  return run;
}

inline std::string hexId(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", id);
  return text;
}

// A recording in progress: the helper with standard input kept open.
class Recording {
 public:
  Recording(const XvfbServer& server, uint32_t window, const std::string& path,
            const std::string& duration = "none", const std::string& outline = "no-outline",
            std::vector<std::pair<std::string, std::optional<std::string>>> environment = {})
      : helper_({binaryPath("darvo-helper"), "record", hexId(window), path, duration, outline},
                [&] {
                  auto options = server.clientOptions();
                  for (auto& variable : environment) options.environment.push_back(variable);
                  return options;
                }()) {}

  // The next line, which must match `pattern` (a regular expression over the whole line).
  std::string expectLine(const std::string& pattern, Milliseconds timeout = 10s) {
    const auto line = helper_.readLine(timeout);
    if (!line) {
      ADD_FAILURE() << "no line matching " << pattern << "; stderr: " << helper_.stderrText();
      return "";
    }
    EXPECT_TRUE(std::regex_match(*line, std::regex(pattern))) << *line << " !~ " << pattern;
    return *line;
  }
  // The next lines, one matching each pattern, in any order: they come from independent
  // observers (the capture's pause, the health check's on-screen changes).
  void expectLinesInAnyOrder(std::vector<std::string> patterns, Milliseconds timeout = 10s) {
    while (!patterns.empty()) {
      const auto line = helper_.readLine(timeout);
      if (!line) {
        ADD_FAILURE() << "no line matching " << patterns.front();
        return;
      }
      const auto match = std::find_if(patterns.begin(), patterns.end(), [&](const auto& pattern) {
        return std::regex_match(*line, std::regex(pattern));
      });
      if (match == patterns.end()) {
        ADD_FAILURE() << "unexpected line " << *line;
        return;
      }
      patterns.erase(match);
    }
  }
  void expectReady() {
    expectLine(R"(\{"event":"segment","file":".*","index":0,"startedAtMs":[0-9.e+]+\})");
    expectLine(R"(\{"event":"ready"\})");
  }
  int expectExit(Milliseconds timeout = 15s) {
    const auto status = helper_.waitExit(timeout);
    if (!status) {
      ADD_FAILURE() << "the helper did not end";
      return -1;
    }
    EXPECT_TRUE(status->exited());
    EXPECT_EQ(helper_.readRemainingOutput(1s), "") << "nothing after the last line";
    EXPECT_EQ(helper_.stderrText(), "");
    return status->exitCode();
  }
  ChildProcess& process() { return helper_; }

 private:
  ChildProcess helper_;
};

// A private X server and a directory for the files of one test.
class RecordingFixture : public ::testing::Test {
 protected:
  std::string path(const std::string& name = "out.mp4") {
    return (directory.path() / name).string();
  }

  XvfbServer server;
  TemporaryDirectory directory;
};

// Whether FFmpeg decodes every frame of the file without an error.
inline ::testing::AssertionResult decodesCleanly(const std::string& path) {
  const auto decode =
      runTool({"ffmpeg", "-v", "error", "-i", path, "-fps_mode", "passthrough", "-f", "null", "-"});
  if (decode.status.exitCode() == 0 && decode.errors.empty()) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << path << ": " << decode.errors;
}

inline constexpr const char* kStoppedSummary =
    R"(\{"detail":"","event":"finished","reason":"stopped","segments":1\})";

}  // namespace darvo::test
