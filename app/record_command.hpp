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

}  // namespace darvo::app
