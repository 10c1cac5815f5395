// app::checkRecordCommand on a duration word of arbitrary bytes (and, for one input in four,
// on arbitrary words): it never fails on its input, and what it accepts holds what a recording
// relies on: a listed window, an absolute path looked up once, "none" or a finite duration of
// 1..1800 seconds, and the outline word's choice.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "app/record_command.hpp"
#include "fuzz_support.hpp"

namespace {

using darvo::app::CommandError;
using darvo::app::RecordRequest;
using darvo::fuzz::require;

const std::vector<darvo::capture::Window> kCandidates = {
    {0x1a2b, {0, 0, 800, 600}, 0, darvo::capture::RunningApplication{"app", "app.id", 7}},
    {0x0, {5, 5, 10, 10}, 1, std::nullopt},
    {0xffffffff, {1, 2, 3, 4}, 0, darvo::capture::RunningApplication{"b", "b", 8}}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const uint8_t shape = provider.ConsumeIntegral<uint8_t>();
  const bool pathTaken = (shape & 0x10U) != 0;
  std::vector<std::string> words;
  if ((shape & 0x03U) == 0) {
    const size_t count = provider.ConsumeIntegralInRange<size_t>(0, 6);
    for (size_t index = 0; index < count; ++index) {
      words.push_back(provider.ConsumeRandomLengthString(40));
    }
  } else {
    words = {"record", (shape & 0x04U) != 0 ? "0xffffffff" : "0x1A2B", "/tmp/out.mp4",
             provider.ConsumeRemainingBytesAsString(),
             (shape & 0x08U) != 0 ? "outline" : "no-outline"};
  }

  std::vector<std::string> queried;
  const auto result =
      darvo::app::checkRecordCommand(words, kCandidates, [&](const std::string& path) {
        queried.push_back(path);
        return pathTaken;
      });
  require(queried.size() <= 1, "the output path is looked up at most once");
  if (const auto* error = std::get_if<CommandError>(&result)) {
    const bool known = error->code == "invalid_window_or_output" ||
                       error->code == "invalid_duration" || error->code == "invalid_outline";
    require(known, "every refusal is one of the command's error codes");
    require(error->code == "invalid_window_or_output" || (queried.size() == 1 && !pathTaken),
            "the duration and the outline are judged only once window and path passed");
    return 0;
  }
  const auto& request = std::get<RecordRequest>(result);
  require(words.size() == 5 && words[0] == "record", "only the five-word record command");
  require(queried.size() == 1 && queried.front() == words[2] && !pathTaken,
          "an accepted output path was looked up and is free");
  require(request.outputPath == words[2] && words[2].starts_with('/'),
          "the output path is the absolute word as given");
  const bool listed = std::any_of(kCandidates.begin(), kCandidates.end(), [&](const auto& window) {
    return window.windowID == request.window.windowID &&
           window.frame.width == request.window.frame.width;
  });
  require(listed && words[1].starts_with("0x"), "the window is a listed candidate");
  require(words[4] == "outline" || words[4] == "no-outline", "only the two outline words");
  require(request.showOutline == (words[4] == "outline"), "the outline word decides");
  if (request.duration) {
    require(std::isfinite(*request.duration), "an accepted duration is finite");
    require(*request.duration >= 1.0 && *request.duration <= 1800.0,
            "an accepted duration is within 1..1800 seconds");
  } else {
    require(words[3] == "none", "only \"none\" means no duration");
  }
  return 0;
}
