#include "app/record_command.hpp"

#include <sys/stat.h>
#include <algorithm>
#include <cmath>
#include <string_view>

#include "protocol/parsing.hpp"
#include "protocol/utf8.hpp"

namespace darvo::app {
namespace {

constexpr const char* kInvalidWindowOrOutput = "invalid_window_or_output";
constexpr double kShortestDuration = 1.0;
constexpr double kLongestDuration = 1800.0;

// The duration word: "none", or a finite number of seconds from 1 to 1800.
std::optional<std::optional<double>> readDuration(const std::string& word) {
  if (word == "none") return std::optional<double>{};
  const auto seconds = protocol::parseWholeDouble(word);
  if (!seconds || !std::isfinite(*seconds) || *seconds < kShortestDuration ||
      *seconds > kLongestDuration) {
    return std::nullopt;
  }
  return std::optional<double>{*seconds};
}

// The words after the window's, checked in order: the output path, the duration, the outline.
std::variant<PortalRecordRequest, CommandError> checkOperands(
    const std::vector<std::string>& arguments, const PathExists& exists) {
  const std::string& outputPath = arguments[2];
  if (!outputPath.starts_with('/')) return CommandError{kInvalidWindowOrOutput};
  if (exists(outputPath)) return CommandError{kInvalidWindowOrOutput};
  const auto duration = readDuration(arguments[3]);
  if (!duration) return CommandError{"invalid_duration"};
  const std::string& outlineWord = arguments[4];
  if (outlineWord != "outline" && outlineWord != "no-outline") {
    return CommandError{"invalid_outline"};
  }
  return PortalRecordRequest{std::nullopt, outputPath, *duration, outlineWord == "outline"};
}

// A restore token as the portal hands them out: printable text, no control characters.
bool isRestoreToken(std::string_view token) {
  return !token.empty() && token.size() <= kLongestRestoreToken && protocol::isValidUtf8(token) &&
         std::none_of(token.begin(), token.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

constexpr std::string_view kPortalWord = "portal";

}  // namespace

bool pathExists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

std::variant<RecordRequest, CommandError> checkRecordCommand(
    const std::vector<std::string>& arguments, const std::vector<capture::Window>& candidates,
    const PathExists& exists) {
  if (arguments.size() != 5 || arguments[0] != "record")
    return CommandError{kInvalidWindowOrOutput};
  const std::string& windowWord = arguments[1];
  if (!windowWord.starts_with("0x")) return CommandError{kInvalidWindowOrOutput};
  const auto windowNumber = protocol::parseHexWindowNumber(std::string_view(windowWord).substr(2));
  if (!windowNumber) return CommandError{kInvalidWindowOrOutput};
  const auto window =
      std::find_if(candidates.begin(), candidates.end(),
                   [&](const auto& candidate) { return candidate.windowID == *windowNumber; });
  if (window == candidates.end()) return CommandError{kInvalidWindowOrOutput};
  auto operands = checkOperands(arguments, exists);
  if (auto* error = std::get_if<CommandError>(&operands)) return *error;
  auto& checked = std::get<PortalRecordRequest>(operands);
  return RecordRequest{*window, std::move(checked.outputPath), checked.duration,
                       checked.showOutline};
}

bool isPortalRecordCommand(const std::vector<std::string>& arguments) {
  return arguments.size() >= 2 && arguments[0] == "record" &&
         (arguments[1] == kPortalWord || arguments[1].starts_with("portal:"));
}

std::variant<PortalRecordRequest, CommandError> checkPortalRecordCommand(
    const std::vector<std::string>& arguments, const PathExists& exists) {
  if (arguments.size() != 5 || !isPortalRecordCommand(arguments)) {
    return CommandError{kInvalidWindowOrOutput};
  }
  std::optional<std::string> token;
  if (arguments[1] != kPortalWord) {
    token = arguments[1].substr(kPortalWord.size() + 1);
    if (!isRestoreToken(*token)) return CommandError{kInvalidWindowOrOutput};
  }
  auto operands = checkOperands(arguments, exists);
  if (auto* request = std::get_if<PortalRecordRequest>(&operands)) {
    request->restoreToken = std::move(token);
  }
  return operands;
}

}  // namespace darvo::app
