// The record command's operand checks, in the order that decides the error line.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "capture/capture.hpp"

namespace darvo::app {

struct RecordRequest {
  capture::Window window;
  std::string outputPath;
  std::optional<double> duration;  // seconds; absent for "none"
  bool showOutline = false;
};

// The error code of the first failing check.
struct CommandError {
  std::string code;
};

// Whether anything exists at a path (a symbolic link counts, dangling or not).
using PathExists = std::function<bool(const std::string& path)>;
bool pathExists(const std::string& path);

std::variant<RecordRequest, CommandError> checkRecordCommand(
    const std::vector<std::string>& arguments, const std::vector<capture::Window>& candidates,
    const PathExists& exists = pathExists);

// `record portal ...` or `record portal:<restore-token> ...`: a window the user chooses through
// the desktop portal, with the same words after it.
struct PortalRecordRequest {
  std::optional<std::string> restoreToken;
  std::string outputPath;
  std::optional<double> duration;
  bool showOutline = false;
};

// Whether the command line records through the portal (whatever its other words are).
bool isPortalRecordCommand(const std::vector<std::string>& arguments);

// The same checks in the same order; the window word is "portal", or "portal:" and a token of
// printable UTF-8, at most kLongestRestoreToken bytes.
std::variant<PortalRecordRequest, CommandError> checkPortalRecordCommand(
    const std::vector<std::string>& arguments, const PathExists& exists = pathExists);

inline constexpr std::size_t kLongestRestoreToken = 1024;

}  // namespace darvo::app
