#include "app/record_command.hpp"

#include <sys/stat.h>
#include <algorithm>
#include <cmath>

#include "protocol/parsing.hpp"

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
  const std::string& outputPath = arguments[2];
  if (!outputPath.starts_with('/')) return CommandError{kInvalidWindowOrOutput};
  if (exists(outputPath)) return CommandError{kInvalidWindowOrOutput};
  const auto duration = readDuration(arguments[3]);
  if (!duration) return CommandError{"invalid_duration"};
  const std::string& outlineWord = arguments[4];
  if (outlineWord != "outline" && outlineWord != "no-outline") {
    return CommandError{"invalid_outline"};
  }
  return RecordRequest{*window, outputPath, *duration, outlineWord == "outline"};
}

}  // namespace darvo::app
